"""What the engine upgrade scenarios share: the texts the program shows, and a test case that
runs a variant with the update stand-in's exit code and record and answers the two questions.

The update package is a stand-in: it writes its command line into the file named by
BOOTSTRAPPER_UPDATE_RECORD and ends with the code in BOOTSTRAPPER_UPDATE_EXIT, both of which reach
it through setup.exe's environment.
"""

from demo_product import PRODUCT_CODE, DemoProductCase  # noqa: F401 (tests import it here)
from testbed import artifact

UPGRADE_QUESTION = ("This package requires a newer version of the Windows Installer. Do you want "
                    "to update the version of the Windows Installer on your system?")
RESTART_QUESTION = ("You must restart your system for the configuration changes to take effect. "
                    "Click Yes to restart now or No if you plan to manually restart later.")
CANCELLED = "Setup was cancelled"
UPGRADE_REQUESTED = "[Info] Upgrade of Windows Installer is requested"
UPGRADED_LINE = "[Info] Windows Installer has been upgraded, or was already correct version"
PASSIVE = " /passive /norestart"


class EngineUpgradeTestCase(DemoProductCase):
    """Runs a variant with the stand-in's exit code and record, and answers the questions."""

    def setUp(self):
        super().setUp()
        self.record = self.prefix.scratch / "update-starts.txt"
        self.record.unlink(missing_ok=True)

    def run_setup(self, variant, args=(), exit_code=0, upgrade="yes", restart="no", **kwargs):
        env = {"BOOTSTRAPPER_UPDATE_EXIT": str(exit_code),
               "BOOTSTRAPPER_UPDATE_RECORD": self.prefix.to_windows(self.record)}
        env.update(kwargs.pop("env", {}))
        return self.run_program(artifact(variant), args=list(args), env=env,
                                answers=[("newer version of the Windows Installer", upgrade),
                                         ("You must restart your system", restart)],
                                **kwargs)

    def starts(self):
        """The command lines the update package was started with."""
        if not self.record.exists():
            return []
        return self.record.read_text(encoding="utf-8").splitlines()

    @staticmethod
    def media_package(result):
        """The update package as the run wrote it, in the folder the run made for itself."""
        return result.work_folder + "Prereqs\\instmsi3.exe"

    def box_summary(self, result):
        return [(b.icon, b.text, b.has_owner) for b in result.boxes]
