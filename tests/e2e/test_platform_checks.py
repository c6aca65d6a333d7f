"""The platform check of setup.exe under Wine's Windows-version setting, and the progress window
that an interactive run shows and a silent run keeps hidden.

An older Windows than XP SP3 is turned away with 1633, with the "Is OS Supported" box unless the
run is silent; XP SP3, Server 2003 and the default 7 pass on to the signature check. The refusal
of a non-administrator cannot be produced under Wine (everyone is an administrator); the Windows
unit tests force it.
"""

import unittest

from demo_product import PRODUCT_CODE, RUNTIME_KEY
from testbed import SetupTestCase, artifact

PLATFORM_UNSUPPORTED = 1633


def lines_after_command_options(log_lines):
    """The log lines from the first one that does not belong to the start (own path, options)."""
    return [line for line in log_lines[1:] if not line.startswith("[Info] command option --> ")]


class UnsupportedWindowsTest(SetupTestCase):
    windows_version = "win2k"

    def test_refused_with_the_platform_box_unless_silent(self):
        self.assertEqual((5, 0), (self.prefix.version()["major"], self.prefix.version()["minor"]))
        for args, shows_box in (([], True), (["/qb"], True), (["/qn"], False)):
            with self.subTest(args=args):
                result = self.run_program(artifact("setup.exe"), args=args)
                self.assertEqual(PLATFORM_UNSUPPORTED, result.exit_code, result.describe())
                boxes = [(b.caption, b.text, b.icon, b.owner_is_dialog) for b in result.boxes]
                expected = [("Is OS Supported", "This package is not supported on this platform.",
                             "error", True)] if shows_box else []
                self.assertEqual(expected, boxes, result.describe())
                # The check comes right after the command line, before the signature check, and
                # the run goes straight to clean-up.
                self.assertTrue(result.log_lines[0].startswith("[Info] we are running from --> "))
                self.assertEqual(["[Info] IsOSSupported returned: 0", "[Info] Begin CleanUp."],
                                 lines_after_command_options(result.log_lines)[:2],
                                 result.describe())
                self.assertIn("[Info] Setup exit code is 1633", result.log_lines)


class _SupportedWindows:
    """Runs a silent installation on a supported version; the check lets it through."""

    expected_version = None  # (major, minor, service pack)

    def setUp(self):
        super().setUp()
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)

    def test_passes_on_to_the_signature_check(self):
        version = self.prefix.version()
        self.assertEqual(self.expected_version,
                         (version["major"], version["minor"], version["sp_major"]))
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertNotIn("[Info] IsOSSupported returned: 0", result.log_lines)
        self.assertEqual("[Info] Verifying File Signature, Silent is 1",
                         lines_after_command_options(result.log_lines)[0], result.describe())


class WindowsXpSp3Test(_SupportedWindows, SetupTestCase):
    windows_version = "winxp"
    expected_version = (5, 1, 3)


class WindowsServer2003Test(_SupportedWindows, SetupTestCase):
    windows_version = "win2003"
    expected_version = (5, 2, 2)


class DefaultWindowsTest(_SupportedWindows, SetupTestCase):
    expected_version = (6, 1, 1)

    def setUp(self):
        super().setUp()
        # The runtime step keeps the window up while its stand-in runs; the stand-in finishes
        # only once the harness has recorded both texts of the step.
        self.prefix.reg_delete_key("HKLM", RUNTIME_KEY)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", RUNTIME_KEY)

    def run_held(self, args):
        seen = self.prefix.scratch / "runtime-texts-seen"
        return self.run_program(
            artifact("setup.exe"), args=args,
            env={"STANDIN_RUNTIME_HOLD": self.prefix.to_windows(seen)},
            seen_files={"Checking Prerequisites, Please wait...": seen,
                        "Updating 2008 SP1 CRT": seen})

    def test_interactive_run_shows_the_progress_window_centred(self):
        result = self.run_held(["/qb"])
        self.assertEqual(0, result.exit_code, result.describe())
        dialog = result.dialog
        self.assertTrue(dialog.seen and dialog.visible, result.describe())
        self.assertEqual("Windows Installer Wrapper", dialog.title)
        self.assertIn((114, "Checking Prerequisites, Please wait..."), dialog.texts)
        self.assertIn((116, "Updating 2008 SP1 CRT"), dialog.texts)
        area = dialog.work_area
        self.assertEqual(area.left + (area.width - dialog.rect.width) // 2, dialog.rect.left)
        self.assertEqual(area.top + (area.height - dialog.rect.height) // 2, dialog.rect.top)

    def test_silent_run_keeps_the_window_hidden_but_updates_it(self):
        result = self.run_held(["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        dialog = result.dialog
        self.assertTrue(dialog.seen, result.describe())
        self.assertFalse(dialog.visible, result.describe())
        self.assertIn((114, "Checking Prerequisites, Please wait..."), dialog.texts)
        self.assertIn((116, "Updating 2008 SP1 CRT"), dialog.texts)


if __name__ == "__main__":
    unittest.main()
