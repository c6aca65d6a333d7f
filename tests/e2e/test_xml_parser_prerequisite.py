"""The XML parser prerequisite of setup.exe in a 32-bit and a 64-bit prefix.

A fresh prefix has an msxml6.dll; the tests delete it to make the parser missing. The demo
product carries stand-in MSXML 6 packages (payloads 1002 and 1003) that put a marker file named
msxml6.dll where the vendor's packages put the parser; with STANDIN_MSXML_REBOOT=1 they ask for a
restart. The bootstrapper must choose the package for the platform's bitness, install it with
the Windows Installer before the product, and remove it and its folders from Temp at the end.
"""

import unittest

from demo_product import PRODUCT_CODE
from testbed import SetupTestCase, artifact

PARSER_X86 = "{3C9A2E58-1D40-4B72-8E04-6B2D7A0C1E53}"
PARSER_X64 = "{5E0B4C7A-2F61-4D83-9A15-7C3E8B1D2F64}"
MARKER = b"Stand-in for msxml6.dll"
UI_NONE = "[Info] Setting Internal UI level to NONE..."
UI_BASIC = "[Info] Setting Internal UI level to BASIC..."
UI_FULL = "[Info] Setting Internal UI level to FULL..."


class _XmlParserPrerequisite:
    package = None           # what the platform needs
    parser_code = None       # and the product code of that package
    other_parser_code = None
    system_folders = ()      # below C:\windows, where the parser is looked for and installed

    def parser_files(self):
        return [self.prefix.drive_c / "windows" / folder / "msxml6.dll"
                for folder in self.system_folders]

    def remove_parser(self):
        """Deletes the prefix's own parser; the test's clean-up puts it back."""
        for path in self.parser_files():
            # A 64-bit Windows made without its 32-bit part has none in SysWOW64.
            if not path.exists():
                continue
            original = path.read_bytes()
            path.unlink()
            self.addCleanup(path.write_bytes, original)
        self.addCleanup(self.prefix.msi_remove, self.parser_code)

    def run_setup(self, args, env=None):
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        return self.run_program(artifact("setup.exe"), args=args, env=env)

    def ui_lines(self, result):
        return [line for line in result.log_lines if "Internal UI level" in line]

    def test_missing_parser_is_installed_from_the_package_for_the_platform(self):
        for args, ui_lines in ((["/qn"], [UI_NONE, UI_FULL]),
                               (["/qb"], [UI_BASIC, UI_FULL])):
            with self.subTest(args=args):
                self.remove_parser()
                result = self.run_setup(args)
                self.assertEqual(0, result.exit_code, result.describe())
                relative = f"Prereqs\\MSXML6\\{self.package}"
                temp = result.work_folder
                start = result.log_lines.index(f"[Resource] Installing Prerequisite = {relative}")
                self.assertEqual([
                    f"[Info] path to Prereq: {temp}{relative}",
                    f"[ExtractFileFromResource] Creating file: {temp}{relative}",
                    "[Info] MsiInstallProduct returned 0",
                ], result.log_lines[start + 1:start + 4], result.describe())
                self.assertEqual(ui_lines, self.ui_lines(result), result.describe())
                self.assertEqual(5, self.prefix.msi_state(self.parser_code))
                self.assertEqual(-1, self.prefix.msi_state(self.other_parser_code))
                for path in self.parser_files():
                    self.assertTrue(path.read_bytes().startswith(MARKER), path)
                self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE), result.describe())
                self.assert_work_folder_gone(result)
                self.doCleanups()

    def test_present_parser_is_left_alone(self):
        for args, ui_lines in ((["/qn"], [UI_NONE, UI_FULL]), (["/qb"], [UI_FULL])):
            with self.subTest(args=args):
                result = self.run_setup(args)
                self.assertEqual(0, result.exit_code, result.describe())
                self.assertFalse(any("Installing Prerequisite" in line
                                     for line in result.log_lines), result.describe())
                self.assertEqual(ui_lines, self.ui_lines(result), result.describe())
                self.assertEqual(-1, self.prefix.msi_state(self.parser_code))
                self.doCleanups()

    def test_restart_request_or_failure_of_the_package_ends_the_run_before_the_product(self):
        # Neither result has a box: the installer has told the user already (or will restart).
        for variable, exit_code in (("STANDIN_MSXML_REBOOT", 3010), ("STANDIN_MSXML_FAIL", 1603)):
            with self.subTest(variable):
                self.remove_parser()
                result = self.run_setup(["/qn"], env={variable: "1"})
                self.assertEqual(exit_code, result.exit_code, result.describe())
                self.assertEqual([], result.boxes, result.describe())
                self.assertIn("[Resource] Installing Prerequisite = "
                              f"Prereqs\\MSXML6\\{self.package}", result.log_lines)
                self.assertIn(f"[Info] Setup exit code is {exit_code}", result.log_lines)
                self.assertEqual(-1, self.prefix.msi_state(PRODUCT_CODE), result.describe())
                self.assertFalse(any("Calling MsiInstallProduct" in line
                                     for line in result.log_lines))
                self.assert_work_folder_gone(result)
                self.doCleanups()

    def test_administrative_install_and_removal_leave_the_parser_alone(self):
        self.remove_parser()
        target = self.prefix.temp_dir_windows.rstrip("\\") + "\\Admin Image"
        for args in (["/a", target, "/qn"], ["/x", "/qn"]):
            with self.subTest(args=args):
                result = self.run_setup(args)
                self.assertFalse(any("Installing Prerequisite" in line
                                     for line in result.log_lines), result.describe())
                self.assertEqual(-1, self.prefix.msi_state(self.parser_code))
                for path in self.parser_files():
                    self.assertFalse(path.exists(), path)


class XmlParser32Test(_XmlParserPrerequisite, SetupTestCase):
    arch = "win32"
    package = "msxml6_x86.msi"
    parser_code = PARSER_X86
    other_parser_code = PARSER_X64
    system_folders = ("system32",)


class XmlParser64Test(_XmlParserPrerequisite, SetupTestCase):
    # The 32-bit bootstrapper runs under WOW64 and looks at SysWOW64, the 64-bit one at the
    # 64-bit system folder; the x64 package fills both.
    arch = "win64"
    package = "msxml6_x64.msi"
    parser_code = PARSER_X64
    other_parser_code = PARSER_X86
    system_folders = ("system32", "syswow64")


if __name__ == "__main__":
    unittest.main()
