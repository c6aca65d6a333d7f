"""Tallow Notes 2, a product that is not the demo, built from its own description
(tests/products/notes): a distributor's Feature.ini selects its own features, no C++ runtime or
XML parser step runs, its boxes carry its own caption, a German user sees its German table, and
Explorer finds its own version resource."""

import shutil
import unittest

from testbed import SetupTestCase, artifact, win_build_dir

NOTES_PRODUCT = "{8C2D4E6F-1A3B-4C5D-8E9F-0A1B2C3D4E5F}"
RECEIVED = "Software\\Tallow\\Notes\\Received"
GERMAN_USER = {"LC_ALL": "de_DE.UTF-8"}
FEATURE_INI = b"[oem]\r\ninclude=DictGerman\r\nexclude=tour\r\n"


class SecondProductTest(SetupTestCase):
    root_cert = str(win_build_dir() / "signing" / "publisher" / "ca.cer")

    def media(self, variant):
        """A media folder of this test's own: the variant and a distributor's Feature.ini."""
        folder = self.prefix.drive_c / f"media-{self._testMethodName}"
        (folder / "OEM").mkdir(parents=True)
        self.addCleanup(shutil.rmtree, folder, True)
        (folder / "OEM" / "Feature.ini").write_bytes(FEATURE_INI)
        exe = folder / "setup.exe"
        shutil.copyfile(artifact(f"{variant}.exe"), exe)
        return exe

    def installed_files(self):
        """What the product put on the machine; Wine's installer leaves files of a removed
        package behind, so they go with the product."""
        folder = self.prefix.to_linux(self.prefix.program_files_32 + "\\Tallow Notes 2")
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", RECEIVED)
        self.addCleanup(shutil.rmtree, folder, True)
        self.addCleanup(self.prefix.msi_remove, NOTES_PRODUCT)
        # The two logs that setup.exe copies in are not the package's.
        return sorted(str(p.relative_to(folder)) for p in folder.rglob("*")
                      if p.is_file() and p.suffix != ".log")

    def test_feature_ini_selects_its_own_features_with_no_prerequisite_step(self):
        result = self.run_program(self.media("setup-notes"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(5, self.prefix.msi_state(NOTES_PRODUCT))
        self.assertEqual(["Dictionaries/de.dic", "help.txt", "notes.txt"], self.installed_files())
        # Without PROPERTIES the selection follows the space that always comes before it.
        self.assertIn("[Info] Calling MsiInstallProduct with szInstallPath = "
                      f"{result.work_folder}TallowNotes2.msi, and szCommandLine =  "
                      "ALLDRIVERS=exclude ADDLOCAL=NotesCore,NotesHelp,Dictionaries,DictGerman "
                      "NOTES_TOUR=0 TOUR=exclude\r\n", result.log)
        self.assertFalse([line for line in result.log_lines
                          if "CRT" in line or "Prerequisite" in line or "BASIC" in line],
                         result.describe())

    def test_without_a_feature_selection_feature_ini_is_not_read(self):
        result = self.run_program(self.media("setup-notes-nofeatures"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        # Every feature of the package at its own level: the distributor's file had no say.
        self.assertEqual(["Dictionaries/de.dic", "Dictionaries/en.dic", "help.txt", "notes.txt",
                          "tour.txt"], self.installed_files())
        self.assertEqual(1, result.log_lines.count(
            "[Info] This setup has no feature selection; OEM\\Feature.ini is not read"),
            result.describe())
        self.assertIn("szCommandLine = {null}", result.log)

    def test_boxes_speak_the_users_language(self):
        # The usage box in English; in German a message with a number put in: Wine's installer
        # answers an administrative installation with 1626, which has no text of its own.
        for args, wine_env, code, caption, text in (
                (["/?"], None, 0, "Tallow Notes 2 Setup", "Usage: (Version 1.15)\n"),
                (["/a", "C:\\admin", "/qn"], GERMAN_USER, 1626, "Tallow Notes 2 Installation",
                 "Bei der Installation ist ein Fehler aufgetreten. Der Windows Installer "
                 "meldete '1626'.")):
            with self.subTest(language=wine_env):
                result = self.run_program(artifact("setup-notes.exe"), args=args,
                                          wine_env=wine_env)
                self.assertEqual(code, result.exit_code, result.describe())
                self.assertEqual(1, len(result.boxes), result.describe())
                self.assertEqual(caption, result.boxes[0].caption)
                self.assertTrue(result.boxes[0].text.startswith(text), result.describe())

    def test_version_resource_comes_from_the_package_and_the_description(self):
        for variant, product, version, company, copyright_ in (
                ("setup-notes", "Tallow Notes 2", "2.1.0", "Tallow Software",
                 "Copyright \u00a9 Tallow Software"),
                ("setup", "Corvell Vesk", "5.0.0", "Corvell", "Copyright (C) Corvell")):
            with self.subTest(variant=variant):
                info = self.prefix.version_info(artifact(f"{variant}.exe"))
                self.assertEqual({"ProductName": product, "ProductVersion": version,
                                  "CompanyName": company, "FileDescription": f"{product} Setup",
                                  "FileVersion": version, "LegalCopyright": copyright_},
                                 info["strings"])
                self.assertEqual(f"{version}.0", info["product_version"])


if __name__ == "__main__":
    unittest.main()
