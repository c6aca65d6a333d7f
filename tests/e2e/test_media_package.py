"""The product package taken from setup.exe itself: written with the readme and the support
document to the folder the run makes for itself, replaced by a distributor's files beside the
executable, and refused with its box when it is missing. (A volume too small for the package
cannot be had here: the run's folder lies below the Windows folder's Temp, and a smaller volume
mounted there is a reparse point on its path, which the run refuses; the unit tests of the
extraction hold the free-space rule.)"""

import shutil
import unittest
from pathlib import Path

from demo_product import CAPTION, RUNTIME_KEY
from demo_product import PRODUCT_CODE as DEMO_PRODUCT
from testbed import SetupTestCase, artifact, win_build_dir

SNAPSHOT_PRODUCT = "{3E5F7A21-4B6C-4D8E-9FA0-B1C2D3E4F5A6}"
DEMO_SOURCES = Path(__file__).resolve().parents[2] / "products" / "demo"
ERROR_FILE_NOT_FOUND = 2


class MediaPackageTest(SetupTestCase):
    root_cert = str(win_build_dir() / "signing" / "publisher" / "ca.cer")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The C++ runtime counts as present: the run goes from the package on to the installer.
        cls.prefix.reg_set("HKLM", RUNTIME_KEY, "DisplayVersion", "REG_SZ", "9.0.30729")

    def media(self, variant):
        """A media folder of this test's own holding a copy of the variant, as on a disc."""
        folder = self.prefix.drive_c / f"media-{self._testMethodName}"
        folder.mkdir()
        self.addCleanup(shutil.rmtree, folder, True)
        exe = folder / f"{variant}.exe"
        shutil.copyfile(artifact(f"{variant}.exe"), exe)
        return folder, exe

    def remove_after(self, product):
        if self.prefix.msi_state(product) == 5:
            self.addCleanup(self.prefix.delete,
                            self.prefix.msi_product_prop(product, "InstallLocation"))
            self.addCleanup(self.prefix.msi_remove, product)

    def test_demo_run_writes_package_readme_and_support_document_then_removes_them(self):
        _, exe = self.media("setup")
        result = self.run_program(exe, args=["/qn"])
        self.remove_after(DEMO_PRODUCT)
        self.assertEqual(0, result.exit_code, result.describe())
        work = result.work_folder
        lines = result.log_lines
        start = lines.index("[Info] Recovering BASEURL")
        self.assertEqual([
            "[Info] Recovering BASEURL",
            "[Resource] lpName = BASEURL NOT FOUND",
            "[Info] No BASEURL, generating media source.",
            f"[Info] path to Msi: {work}CorvellVesk5.msi",
            f"[ExtractFileFromResource] Creating file: {work}CorvellVesk5.msi",
            f"[Info] path to OEM: {work}OEM\\",
            f"[ExtractFileFromResource] Creating file: {work}OEM\\readme.txt",
            f"[ExtractFileFromResource] Creating file: {work}OEM\\technicalsupport.rtf",
            "[Resource] lpName = PROPERTIES, lpBuf = MSI_VIA_EXE=true",
        ], lines[start:start + 9], result.describe())
        self.assertIn("[Info] Calling MsiInstallProduct with szInstallPath = "
                      f"{work}CorvellVesk5.msi, and szCommandLine = MSI_VIA_EXE=true",
                      "\n".join(lines))
        self.assertEqual(5, self.prefix.msi_state(DEMO_PRODUCT))
        # Clean-up takes the folder away with the written files.
        self.assertFalse(self.prefix.to_linux(work).exists())

    def test_package_step_sees_the_extracted_files_and_the_distributors_replacements(self):
        # The DATABASE x.msi variant carries the snapshot package, which copies its own folder
        # while it installs.
        folder, exe = self.media("setup-db-x")
        (folder / "OEM").mkdir()
        (folder / "OEM" / "readme.txt").write_bytes(b"The distributor's readme.\r\n")
        (folder / "x.ini").write_bytes(b"[Installation Properties]\r\nDISTRIBUTOR=1\r\n")
        (folder / "CorvellVesk5.ini").write_bytes(b"not this product's ini file\r\n")
        snapshot = self.prefix.drive_c / "snapshot"
        self.addCleanup(shutil.rmtree, snapshot, True)

        result = self.run_program(exe, args=["/qn"],
                                  env={"VESK_SNAPSHOT": self.prefix.to_windows(snapshot)})
        self.remove_after(SNAPSHOT_PRODUCT)
        self.assertEqual(0, result.exit_code, result.describe())
        package = artifact("setup-db-x.exe").parent / "packages" / "snapshot" / "VeskSnapshot.msi"
        self.assertEqual(package.read_bytes(), (snapshot / "x.msi").read_bytes())
        self.assertEqual(b"The distributor's readme.\r\n",
                         (snapshot / "OEM" / "readme.txt").read_bytes())
        # No replacement support document beside the executable: the extracted one stays.
        self.assertEqual((DEMO_SOURCES / "technicalsupport.rtf").read_bytes(),
                         (snapshot / "OEM" / "technicalsupport.rtf").read_bytes())
        self.assertEqual(b"[Installation Properties]\r\nDISTRIBUTOR=1\r\n",
                         (snapshot / "x.ini").read_bytes())
        self.assertFalse((snapshot / "CorvellVesk5.ini").exists())

    def test_missing_payload_ends_with_2_after_its_box(self):
        # The last row: a caption and a message as long as a product may make them, shown whole.
        long_caption = "Corvell Vesk Setup, " * 15
        long_text = "Could not find it. " * 52 + "Wanted:     CorvellVesk5.msi"
        for variant, caption, text in (
                ("setup-no-package", CAPTION, "Could not find   CorvellVesk5.msi"),
                ("setup-no-readme", CAPTION, "Could not find   readme.txt"),
                ("setup-no-package-long", long_caption, long_text)):
            with self.subTest(variant):
                result = self.run_program(artifact(f"{variant}.exe"), args=["/qn"])
                self.assertEqual(ERROR_FILE_NOT_FOUND, result.exit_code, result.describe())
                self.assertEqual([(caption, text, "error", False)],
                                 [(b.caption, b.text, b.icon, b.has_owner) for b in result.boxes])
                self.assertEqual(-1, self.prefix.msi_state(DEMO_PRODUCT))

if __name__ == "__main__":
    unittest.main()
