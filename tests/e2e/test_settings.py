"""The product's settings as a release engineer stores them in setup.exe: every default when none
is stored, a long PROPERTIES value delivered whole, and the checks of MINIMUM_MSI, OPERATION and
DATABASE with their boxes and exit codes, at every UI level."""

import unittest

from demo_product import CAPTION, RUNTIME_KEY
from demo_product import PRODUCT_CODE as DEMO_PRODUCT
from demo_product import RECEIVED_KEY as RECEIVED
from testbed import SetupTestCase, artifact, win_build_dir

ERROR_INVALID_PARAMETER = 87
ERROR_INSTALL_FAILURE = 1603


class SettingsTest(SetupTestCase):
    root_cert = str(win_build_dir() / "signing" / "publisher" / "ca.cer")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The C++ runtime counts as present, so every run goes from its settings straight on to
        # the product package.
        cls.prefix.reg_set("HKLM", RUNTIME_KEY, "DisplayVersion", "REG_SZ", "9.0.30729")

    def run_variant(self, name, args=("/qn",)):
        result = self.run_program(artifact(f"{name}.exe"), args=list(args), timeout=120)
        if self.prefix.msi_state(DEMO_PRODUCT) == 5:
            # Cleanups run last first: the product goes, then its folder with the logs copied
            # into it.
            self.addCleanup(self.prefix.delete,
                            self.prefix.msi_product_prop(DEMO_PRODUCT, "InstallLocation"))
            self.addCleanup(self.prefix.msi_remove, DEMO_PRODUCT)
        return result

    def resource_lines(self, result):
        return [line for line in result.log_lines if line.startswith("[Resource]")]

    def test_without_settings_every_default_applies(self):
        result = self.run_variant("setup-defaults")
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([
            "[Resource] lpName = OPERATION NOT FOUND",
            "[Resource] lpName = PRODUCTNAME NOT FOUND",
            "[Resource] lpName = DATABASE NOT FOUND",
            "[Resource] Using default database = Halvane5.msi",
            "[Resource] lpName = MINIMUM_MSI NOT FOUND",
            "[Resource] Using default Minimum Msi Value = 301",
            "[Resource] Minimum Msi Value = 301",
            "[Resource] lpName = BASEURL NOT FOUND",
            "[Resource] lpName = PROPERTIES NOT FOUND",
        ], self.resource_lines(result), result.describe())
        self.assertIn(f"[Info] path to Msi: {result.work_folder}Halvane5.msi", result.log_lines)
        # The embedded package, under the default name, installed without extra properties.
        self.assertEqual(5, self.prefix.msi_state(DEMO_PRODUCT))
        self.assertEqual(("REG_SZ", ""), self.prefix.reg_get("HKLM", RECEIVED, "MSI_VIA_EXE"))
        # The installer's log is named after the default product name.
        folder = self.prefix.msi_product_prop(DEMO_PRODUCT, "InstallLocation")
        self.assertIn("Halvane5.log", self.prefix.ls(folder))

    def test_properties_longer_than_the_first_buffer_arrive_whole(self):
        value = "0123456789" * 30
        result = self.run_variant("setup-longprops")
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertIn(f"[Resource] lpName = PROPERTIES, lpBuf = MSI_VIA_EXE={value}",
                      result.log_lines)
        self.assertEqual(("REG_SZ", value), self.prefix.reg_get("HKLM", RECEIVED, "MSI_VIA_EXE"))

    def test_minimum_msi_that_is_not_a_whole_number_of_150_or_more_is_refused(self):
        for variant, text in (("setup-min149", "149"), ("setup-min3x", "3x"),
                              ("setup-min3dot1", "3.1"), ("setup-minempty", "")):
            with self.subTest(text=text):
                # Silent, yet the box is shown.
                result = self.run_variant(variant)
                self.assertEqual(ERROR_INVALID_PARAMETER, result.exit_code, result.describe())
                self.assertEqual(
                    [(CAPTION, f"'{text}' is an invalid Msi version. Be sure that it is numeric "
                               "and is at least '150'.", "error")],
                    [(b.caption, b.text, b.icon) for b in result.boxes])
                self.assertIn(f"[Resource] lpName = MINIMUM_MSI, lpBuf = {text}",
                              result.log_lines)
                self.assertFalse(any("Minimum Msi Value =" in line for line in result.log_lines))
                self.assertEqual(-1, self.prefix.msi_state(DEMO_PRODUCT))

    def test_minimum_msi_of_150_or_301_is_accepted(self):
        for variant, number in (("setup-min150", 150), ("setup-min301", 301)):
            with self.subTest(number=number):
                result = self.run_variant(variant)
                self.assertEqual(0, result.exit_code, result.describe())
                self.assertIn(f"[Resource] Minimum Msi Value = {number}", result.log_lines)
                self.doCleanups()

    def test_operation_is_checked_without_regard_to_case(self):
        result = self.run_variant("setup-op-install")
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes)
        for operation in ("MINPATCH", "UNINSTALL"):
            with self.subTest(operation=operation):
                result = self.run_variant(f"setup-op-{operation.lower()}", args=["/qb"])
                self.assertEqual(ERROR_INVALID_PARAMETER, result.exit_code, result.describe())
                self.assertEqual(
                    [(CAPTION, f"The setup was authored with an incorrect operation resource "
                               f"'{operation}' and cannot continue.", "error")],
                    [(b.caption, b.text, b.icon) for b in result.boxes])
                # Checked after the engine step and before the package is looked for.
                lines = result.log_lines
                error = lines.index(f"[Error] Operation {operation} is not valid for a package")
                self.assertEqual("[Info] Windows Installer has been upgraded, or was already "
                                 "correct version", lines[error - 1])
                self.assertNotIn("[Info] Recovering BASEURL", lines)

    def test_database_whose_ini_name_does_not_fit_is_refused(self):
        result = self.run_variant("setup-db-long")
        self.assertEqual(ERROR_INSTALL_FAILURE, result.exit_code, result.describe())
        self.assertEqual([(CAPTION, "An irrecoverable internal error occured.", "error")],
                         [(b.caption, b.text, b.icon) for b in result.boxes])
        # Refused as soon as the name is known: MINIMUM_MSI is not read and nothing is written.
        self.assertIn("[Resource] lpName = DATABASE, lpBuf = " + "L" * 36 + ".msi",
                      result.log_lines)
        self.assertFalse(any(line.startswith(("[ExtractFileFromResource]",
                                              "[Resource] lpName = MINIMUM_MSI"))
                             for line in result.log_lines), result.describe())


if __name__ == "__main__":
    unittest.main()
