"""The product package taken from setup.exe itself: written with the readme and the support
document to the temporary folder, replaced by a distributor's files beside the executable, and
refused with its box when it is missing, cannot be created or written, or does not fit the
volume."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from testbed import SetupTestCase, artifact, win_build_dir

DEMO_PRODUCT = "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}"
SNAPSHOT_PRODUCT = "{3E5F7A21-4B6C-4D8E-9FA0-B1C2D3E4F5A6}"
RUNTIME_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" \
              "{9BE518E6-ECC6-35A9-88E4-87755C07200F}"
CAPTION = "Windows Installer Wrapper"
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
        temp = self.prefix.temp_dir_windows
        lines = result.log_lines
        start = lines.index("[Info] Recovering BASEURL")
        self.assertEqual([
            "[Info] Recovering BASEURL",
            "[Resource] lpName = BASEURL NOT FOUND",
            "[Info] No BASEURL, generating media source.",
            f"[Info] path to Msi: {temp}CorvellVesk5.msi",
            f"[ExtractFileFromResource] Creating file: {temp}CorvellVesk5.msi",
            f"[Info] path to OEM: {temp}OEM\\",
            f"[ExtractFileFromResource] Creating file: {temp}OEM\\readme.txt",
            f"[ExtractFileFromResource] Creating file: {temp}OEM\\technicalsupport.rtf",
            "[Resource] lpName = PROPERTIES, lpBuf = MSI_VIA_EXE=true",
        ], lines[start:start + 9], result.describe())
        self.assertIn(f"[Info] Calling MsiInstallProduct with szInstallPath = {temp}CorvellVesk5.msi"
                      ", and szCommandLine = MSI_VIA_EXE=true", "\n".join(lines))
        self.assertEqual(5, self.prefix.msi_state(DEMO_PRODUCT))
        # Clean-up takes the written files away again.
        self.assertFalse((self.prefix.temp_dir / "CorvellVesk5.msi").exists())
        self.assertFalse((self.prefix.temp_dir / "OEM").exists())

    def test_package_step_sees_the_extracted_files_and_the_distributors_replacements(self):
        # The DATABASE x.msi variant carries the snapshot package, which copies the temporary
        # folder while it installs.
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

    def test_read_only_package_in_the_temporary_folder_is_not_replaced(self):
        # Wine keeps the read-only attribute in the Unix permissions, which do not stop root;
        # the immutable flag stops root too, as the attribute stops an administrator on Windows.
        target = self.prefix.temp_dir / "CorvellVesk5.msi"
        target.write_bytes(b"an older package")
        target.chmod(0o444)
        if subprocess.run(["chattr", "+i", str(target)], capture_output=True).returncode != 0:
            self.skipTest("this file system has no immutable flag")
        self.addCleanup(subprocess.run, ["chattr", "-i", str(target)], check=True)
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(ERROR_FILE_NOT_FOUND, result.exit_code, result.describe())
        self.assertEqual([(CAPTION, "Could not create   CorvellVesk5.msi", "error")],
                         [(b.caption, b.text, b.icon) for b in result.boxes])
        self.assertIn("[ExtractFileFromResource] CreateFile failure: 5", result.log_lines)
        self.assertEqual(b"an older package", target.read_bytes())

    def test_a_write_that_fails_is_refused_with_message_48(self):
        # The package's name leads to a device that takes no byte: the file opens, the write
        # fails with "disk full". Clean-up may not take the link away; the test does.
        target = self.prefix.temp_dir / "CorvellVesk5.msi"
        target.symlink_to("/dev/full")
        self.addCleanup(target.unlink)
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(ERROR_FILE_NOT_FOUND, result.exit_code, result.describe())
        self.assertEqual([(CAPTION, "Could not write   CorvellVesk5.msi", "error", False)],
                         [(b.caption, b.text, b.icon, b.has_owner) for b in result.boxes])
        self.assertIn("[ExtractFileFromResource] WriteFile failure: 112", result.log_lines)
        self.assertEqual(-1, self.prefix.msi_state(DEMO_PRODUCT))

    def test_volume_short_of_twice_the_package_is_refused_with_message_50(self):
        # A real volume of 24 KiB as drive T:, the temporary folder of the run. Less its log's
        # page it has room for the demo package's 12,800 bytes, but not for twice that.
        mount = Path(tempfile.mkdtemp(prefix="short-volume-", dir=self.prefix.path))
        self.addCleanup(os.rmdir, mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24k", "tmpfs", str(mount)],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a small volume here")
        self.addCleanup(subprocess.run, ["umount", "-l", str(mount)], check=True)
        drive = self.prefix.path / "dosdevices" / "t:"
        drive.symlink_to(mount)
        self.addCleanup(drive.unlink)

        result = self.run_program(artifact("setup.exe"), args=["/qn"],
                                  env={"TMP": "T:\\", "TEMP": "T:\\"})
        self.assertEqual(ERROR_FILE_NOT_FOUND, result.exit_code, result.describe())
        self.assertEqual(
            [(CAPTION, "There is not enough space available on the destination drive: T:\\, "
                       "the install cannot continue.", "error", False)],
            [(b.caption, b.text, b.icon, b.has_owner) for b in result.boxes])
        self.assertIn("[Info] path to Msi: T:\\CorvellVesk5.msi", result.log_lines)
        self.assertFalse((mount / "CorvellVesk5.msi").exists())


if __name__ == "__main__":
    unittest.main()
