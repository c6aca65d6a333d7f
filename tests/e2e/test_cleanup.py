"""The end of every run, end to end: the log copies into the product's folder, what stays in and
what leaves the temporary folder, and the ini file that /w brings back beside the executable.

That nothing extracted stays in the temporary folder is checked by the test bed after every run
of every test; here the cases where something must stay are checked too.
"""

import shutil
import unittest

from demo_product import INI_NAME, INSTALLER_LOG, PRODUCT_CODE, DemoProductCase
from testbed import artifact, win_build_dir

UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT_CODE
UNABLE_INSTALL_LOG = "[Info] unable to copy Install log file."
COPY_BOOTSTRAP_LOG = "[Info] copy bootstrapper log file to INSTALLDIR."


class CleanUpTest(DemoProductCase):
    def install_location(self):
        value = self.prefix.reg_get("HKLM", UNINSTALL_KEY, "InstallLocation")
        self.assertIsNotNone(value, "the product wrote no InstallLocation")
        return self.prefix.to_linux(value[1])

    def test_run_ended_before_the_temporary_folder_deletes_nothing(self):
        # Files named like those a run extracts, already there: this run never got to make them.
        temp = self.prefix.temp_dir
        (temp / "OEM").mkdir()
        (temp / "OEM" / "readme.txt").write_text("someone else's")
        (temp / INI_NAME).write_text("someone else's")
        # Declining the engine upgrade ends the run before the temporary folder is chosen.
        result = self.run_program(artifact("setup-engine-media.exe"), args=["/qn"],
                                  answers={"newer version of the Windows Installer": "no"})
        self.assertEqual(1602, result.exit_code, result.describe())
        self.assertEqual(["[Info] Begin CleanUp.", UNABLE_INSTALL_LOG,
                          "[Info] Setup exit code is 1602"],
                         result.log_lines[-5:-2], result.describe())
        self.assertEqual("[Info] unable to copy bootstrapper log file.", result.log_lines[-1])
        self.assertTrue((temp / "OEM" / "readme.txt").exists())
        self.assertTrue((temp / INI_NAME).exists())

    def test_successful_install_leaves_both_logs_in_the_product_folder(self):
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertIn("[Info] copy Install log file to INSTALLDIR.", result.log_lines)
        self.assertEqual(COPY_BOOTSTRAP_LOG, result.log_lines[-1])
        folder = self.install_location()
        self.assertEqual(result.log_bytes, (folder / "bootstrap.log").read_bytes())
        installer_log = self.prefix.temp_dir / INSTALLER_LOG
        self.assertEqual(installer_log.read_bytes(), (folder / INSTALLER_LOG).read_bytes())
        # Only the two logs stay in the temporary folder.
        self.assertEqual({"bootstrap.log", INSTALLER_LOG},
                         {p.name for p in self.prefix.temp_dir.iterdir()})

    def test_administrative_install_and_removal_copy_no_log(self):
        package = win_build_dir() / "products" / "demo" / "CorvellVesk5.msi"
        self.assertEqual(0, self.prefix.msi_install(package))
        folder = self.install_location()
        target = self.prefix.drive_c / "admin image"
        self.addCleanup(shutil.rmtree, target, True)
        # Wine's installer answers the administrative installation with 1626; what matters
        # here is only what the clean-up copies.
        cases = [(["/a", self.prefix.to_windows(target), "/qn"], None), (["/x", "/qn"], 0)]
        for args, exit_code in cases:
            with self.subTest(args=args):
                result = self.run_program(artifact("setup.exe"), args=args)
                if exit_code is not None:
                    self.assertEqual(exit_code, result.exit_code, result.describe())
                self.assertIn(UNABLE_INSTALL_LOG, result.log_lines)
                self.assertEqual([], [line for line in result.log_lines
                                      if "bootstrapper log file" in line or
                                      "copy Install log file to" in line])
                self.assertFalse((folder / "bootstrap.log").exists())
                self.assertFalse((folder / INSTALLER_LOG).exists())
        self.assertEqual(-1, self.prefix.msi_state(PRODUCT_CODE))

    def test_ini_file_comes_back_beside_the_executable_only_with_w(self):
        media = self.media_copy()
        cases = [
            # Without /w the distributor's ini beside the executable is only read.
            ("without /w", ["/qn"], b"distributor's copy\r\n", b"distributor's copy\r\n"),
            # With /w the installer writes the ini into the temporary folder and clean-up
            # brings it back, replacing the one beside the executable.
            ("with /w", ["/w", "/qb"], b"distributor's copy\r\n", None),
        ]
        for name, args, beside, expected in cases:
            with self.subTest(name):
                self.remove_product()
                (media / INI_NAME).write_bytes(beside)
                result = self.run_program(media / "setup.exe", args=args)
                self.assertEqual(0, result.exit_code, result.describe())
                self.assertFalse((self.prefix.temp_dir / INI_NAME).exists())
                content = (media / INI_NAME).read_bytes()
                if expected is not None:
                    self.assertEqual(expected, content)
                else:
                    self.assertNotEqual(beside, content, result.describe())
                    self.assertIn(b"[Installation Properties]", content)


if __name__ == "__main__":
    unittest.main()
