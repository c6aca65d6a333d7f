"""The check of product descriptions: each kind of mistake stops the build with the
description's file and line and a sentence saying what is wrong; good descriptions pass
without a word; and a real configuration of the Windows build stops on a bad one.

Needs BOOTSTRAPPER_RULES_TOOL (the host build's description_rules) and BOOTSTRAPPER_WIN_BUILD
(for the demo's built package), which CTest sets."""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from tooling import description as pd  # noqa: E402
from tooling import resources as product_resources  # noqa: E402
from tooling.description.model import normalized_option  # noqa: E402

WIN_BUILD = Path(os.environ.get("BOOTSTRAPPER_WIN_BUILD", REPO / "build" / "windows"))
DEMO_BUILD = WIN_BUILD / "products" / "demo"

# A product that needs nothing more than its package, readme and support document.
GOOD = """\
[settings]
PRODUCTNAME = Tallow Notes
DATABASE = TallowNotes2.msi
[prerequisites]
runtime = off
xmlparser = off
[payloads]
1004 = package.msi
1005 = readme.txt
1007 = support.rtf
"""


def setting(line, text=GOOD):
    """`text` with `line` added at the end of its [settings] section (line 4 of GOOD)."""
    return text.replace("[prerequisites]", f"{line}\n[prerequisites]")


# Each mistake: the description (GOOD with a change), the line reported and what is said.
MISTAKES = [
    ("unknown section", GOOD + "[setings]\nUPDATE = x\n", 11,
     "unknown section [setings]; did you mean settings?"),
    ("misspelt setting", GOOD.replace("PRODUCTNAME", "PRODUCTNAM"), 2,
     "unknown setting PRODUCTNAM; did you mean PRODUCTNAME?"),
    ("key given twice", GOOD.replace("DATABASE = TallowNotes2.msi",
                                     "DATABASE = TallowNotes2.msi\nDATABASE = Other.msi"), 4,
     "DATABASE is given twice in [settings] (first on line 3)"),
    ("comment after a value", GOOD.replace("Tallow Notes", "Tallow Notes ; the name"), 2,
     'holds ";", which looks like a comment'),
    ("ini name does not fit", GOOD.replace("TallowNotes2", "T" * 36), 3,
     "at most 35 before \".msi\""),
    ("MINIMUM_MSI not a number", setting("MINIMUM_MSI = abc"), 4,
     "MINIMUM_MSI = abc is not a Windows Installer version the program accepts"),
    ("MINIMUM_MSI below 150", setting("MINIMUM_MSI = 149"), 4, "of at least 150"),
    ("OPERATION not a keyword", setting("OPERATION = UNINSTAL"), 4,
     "OPERATION = UNINSTAL is not accepted; it is one of INSTALL, INSTALLUPD, DEFAULT"),
    ("PACKAGESIGNER not a keyword", setting("PACKAGESIGNER = OWN"), 4,
     "PACKAGESIGNER = OWN is not accepted; it is SETUP"),
    ("BASEURL not a web URL", setting("BASEURL = ftp://host/x"), 4,
     "BASEURL = ftp://host/x is not an http or https URL"),
    ("no package at all", GOOD.replace("1004 = package.msi\n", ""), 7,
     "names neither payload 1004 (the product package) nor BASEURL"),
    ("payload file missing", GOOD.replace("readme.txt", "missing.txt"), 9,
     "payload 1005 (the readme): no such file:"),
    ("payload not read by the program", GOOD + "1006 = readme.txt\n", 11,
     "payload 1006 is not one that setup.exe reads"),
    ("undefined build folder", GOOD.replace("package.msi", "${NOTES_BUILD}/package.msi"), 8,
     "payload 1004 (the product package): ${NOTES_BUILD} is not defined by the build"),
    ("runtime step without its payload", GOOD.replace("runtime = off", "runtime = on"), 5,
     "the C++ runtime step is on, but payload 90 (the C++ runtime setup) is missing"),
    ("switch neither on nor off", GOOD.replace("xmlparser = off", "xmlparser = no"), 6,
     "xmlparser = no: the value is on or off"),
    ("media path without readme", GOOD.replace("1005 = readme.txt\n", ""), 7,
     "payload 1005 (the readme) is missing"),
    ("placeholder lost", GOOD + "[strings]\n16 = Bitte warten...\n", 12,
     "row 16 must keep exactly the placeholders of the row it replaces, in the same order, "
     "since the program fills them: %s, not none"),
    ("placeholder changed", GOOD + "[strings.de-DE]\n25 = %d ist keine Version (%s)\n", 12,
     "%s %d, not %d %s"),
    ("unknown row", GOOD + "[strings]\n999 = x\n", 12, "there is no message row 999"),
    ("setting row as a message", GOOD + "[strings]\n17 = Notes\n", 12,
     "row 17 is not a message but a setting row, the default of PRODUCTNAME"),
    ("unknown language", GOOD + "[strings.xx-YY]\n11 = x\n", 11,
     "xx-YY is not a language this build knows by name; give a Windows language name"),
    ("language by its English name", GOOD + "[strings.french]\n11 = x\n", 11,
     "did you mean [strings.fr-FR]?"),
    ("language with a country Windows does not pair it with", GOOD + "[strings.fr_FX]\n11 = x\n",
     11, "did you mean [strings.fr-FR]?"),
    ("section named as written", GOOD + "[Strings.fr_FR]\n999 = x\n", 12,
     "[Strings.fr_FR]: there is no message row 999"),
    # What builds but would fail on the user's machine.
    ("product name that cannot name the log", GOOD.replace("Tallow Notes", "Tallow: Notes"), 2,
     "PRODUCTNAME = Tallow: Notes cannot name a file: it names the installer's log"),
    ("product name with a folder", GOOD.replace("Tallow Notes", "Tallow/Notes"), 2,
     "cannot name a file"),
    ("selection property with an open quote", GOOD + '[feature-selection]\nfeatures = Core\n'
                                                     'properties = TOUR="a b C=1\n', 13,
     'properties: the double quote in TOUR="a b C=1 is not closed where its value ends'),
    ("drivers with a blank", GOOD + '[feature-selection]\nfeatures = Core\ndrivers = " Drv"\n', 13,
     'drivers = " Drv" is not one feature name'),
    ("PROPERTIES that are no assignments", setting("PROPERTIES = MSI_VIA_EXE"), 4,
     'PROPERTIES: "MSI_VIA_EXE" is not NAME=value'),
    ("PROPERTIES with an open quote", setting('PROPERTIES = A="x'), 4,
     'PROPERTIES: the double quote in A="x is not closed'),
    ("message row longer than the program reads", GOOD + "[strings]\n18 = %s" + "x" * 1022 + "\n",
     12, "row 18 is too long: the program reads at most 1023 characters of it"),
    ("package name that breaks its URL",
     setting("BASEURL = https://t.example/p", GOOD.replace("TallowNotes2.msi", "Tallow#2.msi")
             .replace("1004 = package.msi\n", "")) + "[upload]\npackage = package.msi\n",
     3, "DATABASE = Tallow#2.msi cannot end a download URL"),
    ("feature name that cannot be one", GOOD + "[feature-selection]\nfeatures = Core,9lives\n", 12,
     '"9lives" cannot name a feature'),
    ("properties that are no assignments", GOOD + "[feature-selection]\nfeatures = Core\n"
                                                  "properties = PLUGINS\n", 13,
     'properties: "PLUGINS" is not NAME=value'),
    ("version that is none", GOOD + "[version]\nProductVersion = 2.x\n", 12,
     "ProductVersion = 2.x is not a version"),
    ("signing URL", GOOD + "[signing]\nurl = www.tallow.example\n", 12,
     "url = www.tallow.example is not an http or https URL"),
    # Digits that str.isdigit() takes and int() refuses.
    ("payload id in superscript digits", GOOD + "\u00b9 = readme.txt\n", 11,
     "payload \u00b9 is not one that setup.exe reads"),
    ("language id in superscript digits", GOOD + "[strings.\u00b2]\n11 = x\n", 11,
     "[strings.\u00b2]: \u00b2 is not a language this build knows by name"),
]

# Files that are no text an editor saves as a description: each is named in one sentence (with
# the line where there is one), nothing else is said of it, and none ends in a traceback.
UNREADABLE = [
    ("Latin-1", GOOD.replace("Tallow Notes", "Tallow Caf\u00e9").encode("latin-1"), 2,
     "byte 0xE9 is not UTF-8 (is the file saved in another encoding, such as Latin-1?)"),
    ("UTF-16 without a byte order mark", GOOD.encode("utf-16-le"), None,
     "looks like UTF-16 without a byte order mark"),
    ("UTF-16 of an odd length", GOOD.encode("utf-16")[:-1], None,
     "ends in the middle of a character: the file is incomplete"),
    ("UTF-8 cut in a character", (GOOD + "[strings]\n11 = Caf\u00e9").encode()[:-1], None,
     "ends in the middle of a character: the file is incomplete"),
    ("a NUL byte", GOOD.replace("TallowNotes2", "Tallow\0Notes2").encode(), 3,
     "holds a NUL character"),
    ("UTF-32", GOOD.encode("utf-32"), None, "is saved as UTF-32"),
    ("binary junk", bytes(range(256)) * 4, 3, "byte 0x80 is not UTF-8"),
    ("empty", b"", None, "the description is empty"),
    ("comments alone", b"; Tallow Notes 2\r\n", None, "the description is empty"),
]


# The package of GOOD: two features, made with wixl.
PACKAGE_SOURCE = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Tallow Notes 2" Language="1033" Version="2.1.0" Manufacturer="Tallow"
           UpgradeCode="{2E4F6A8B-3C5D-4E7F-9A1B-2C3D4E5F6A7B}">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Component Id="Core" Guid="{3F5A7B9C-4D6E-4F8A-AB2C-3D4E5F6A7B8C}">
        <File Id="Core" Name="readme.txt" Source="readme.txt" KeyPath="yes"/>
      </Component>
    </Directory>
    <Feature Id="Core" Level="1"><ComponentRef Id="Core"/></Feature>
    <Feature Id="Drv" Level="1"/>
  </Product>
</Wix>
"""


class DescriptionCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(folder.cleanup)
        made = Path(folder.name)
        (made / "readme.txt").write_text("Tallow Notes\n")
        (made / "package.wxs").write_text(PACKAGE_SOURCE)
        subprocess.run(["wixl", "-o", "package.msi", "package.wxs"], cwd=made, check=True)
        cls.package = made / "package.msi"

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = Path(folder.name)
        for name in ("readme.txt", "support.rtf"):
            (self.folder / name).write_bytes(b"x")
        shutil.copyfile(self.package, self.folder / "package.msi")

    def check(self, text, check_files=False, variables=None):
        path = self.folder / "product.ini"
        path.write_text(text, encoding="utf-8")
        findings, _ = pd.check_description(str(path), variables or {}, check_files=check_files)
        return path, [str(f) for f in findings]

    def test_each_mistake_is_named_with_file_and_line(self):
        for name, text, line, message in MISTAKES:
            with self.subTest(name):
                path, findings = self.check(text)
                errors = [f for f in findings if ": error: " in f]
                self.assertEqual(1, len(errors), findings)
                self.assertTrue(errors[0].startswith(f"{path}:{line}: error: "), errors[0])
                self.assertIn(message, errors[0])

    def test_a_file_that_is_no_text_is_named_in_one_sentence(self):
        for name, data, line, message in UNREADABLE:
            with self.subTest(name):
                path = self.folder / "product.ini"
                path.write_bytes(data)
                findings, _ = pd.check_description(str(path), check_files=True)
                self.assertEqual(1, len(findings), [str(f) for f in findings])
                where = f"{path}:{line}" if line else str(path)
                self.assertTrue(str(findings[0]).startswith(f"{where}: error: "), findings[0])
                self.assertIn(message, str(findings[0]))

    def test_no_description_ends_in_a_traceback(self):
        # Two descriptions, changed at random (with a fixed seed): bytes and pieces of the
        # format put in, cut out and changed, the file cut short.
        pieces = [b"[", b"]", b"=", b'"', b"\\", b"\\n", b"%s", b"%d", b"${", b"}", b"\xc2\xb2",
                  b"\xef\xbb\xbf", b"\xff\xfe", b"\r", b"\n", b"\x00", b"\xff", b"1004",
                  b"[strings.de-DE]", b"[payloads]\n", b"BASEURL = http://t.example/\n", b";",
                  b"\t", b",", b"[build]\nx64 = on\n", b"[upload]\npackage = ${X}/a.msi\n"]
        originals = [GOOD.encode(), (REPO / "products" / "demo" / "product.ini").read_bytes()]
        chance = random.Random(27)
        path = self.folder / "product.ini"
        for round in range(150):
            data = bytearray(chance.choice(originals))
            for _ in range(chance.randint(1, 6)):
                at, how = chance.randrange(len(data) + 1), chance.random()
                if how < 0.4:
                    data[at:at] = chance.choice(pieces)
                elif how < 0.7:
                    del data[at:at + chance.randint(1, 40)]
                elif how < 0.9:
                    data[at:at + 1] = bytes([chance.randrange(256)])
                else:
                    del data[at:]
            path.write_bytes(bytes(data))
            with self.subTest(round=round, data=bytes(data)):
                findings, _ = pd.check_description(str(path), {"PRODUCT_BUILD": str(DEMO_BUILD)},
                                                   check_files=True)
                self.assertTrue(all(f.file == str(path) for f in findings))

    def test_good_descriptions_pass_without_a_word(self):
        self.assertEqual([], self.check(GOOD)[1])
        # Both spellings of a language name; a quoted value with blanks and a doubled quote.
        self.assertEqual([], self.check(
            setting('PROPERTIES = A="x  ""y""" B=1')
            + '[feature-selection]\nfeatures = Core\nproperties = C="1  2"\n'
            + "[strings.fr_FR]\n24 = Annulé\n[strings.de-DE]\n24 = Abgebrochen\n")[1])
        # What the program is given keeps the blanks inside quotes.
        self.assertEqual('C="1  2" D=3', normalized_option("properties", ' C="1  2"   D=3 '))
        # In each encoding and with each line end an editor saves.
        translated = GOOD + "[strings.de-DE]\n24 = Abgebrochen \u00fcber \U0001F600\n"
        for encoding, mark, ends in (("utf-8", "\ufeff", "\r\n"), ("utf-16-le", "\ufeff", "\r\n"),
                                     ("utf-16-be", "\ufeff", "\n"), ("utf-8", "", "\r")):
            with self.subTest(f"{encoding}, mark {bool(mark)}, {ends!r}"):
                path = self.folder / "product.ini"
                path.write_bytes((mark + translated.replace("\n", ends)).encode(encoding))
                findings, description = pd.check_description(str(path))
                self.assertEqual([], [str(f) for f in findings])
                self.assertEqual("Abgebrochen \u00fcber \U0001F600",
                                 description.value("strings.1031", "24"))
                self.assertEqual("TallowNotes2.msi", description.value("settings", "DATABASE"))
        for product, variables in (("products/demo", {"PRODUCT_BUILD": str(DEMO_BUILD)}),
                                   ("tests/products/notes",
                                    {"NOTES_BUILD": str(WIN_BUILD / "tests" / "windows" / "notes")})):
            with self.subTest(product):
                findings, _ = pd.check_description(str(REPO / product / "product.ini"),
                                                   variables, check_files=True)
                self.assertEqual([], [str(f) for f in findings])

    def test_what_would_never_be_used_is_a_warning(self):
        # A package carried beside a BASEURL, and a signer rule without a download.
        for added, warning in (("BASEURL = https://tallow.example/p",
                                r"payload 1004 \(line 9\) is carried but never installed"),
                               ("PACKAGESIGNER = setup",
                                r"PACKAGESIGNER concerns the package downloaded from BASEURL")):
            with self.subTest(added):
                _, findings = self.check(setting(added))
                self.assertEqual(1, len(findings), findings)
                self.assertRegex(findings[0], r"product\.ini:4: warning: .*" + warning)

    def test_features_are_checked_against_the_carried_package(self):
        # A package that is a file is checked as the build is configured.
        text = GOOD.replace("package.msi", str(DEMO_BUILD / "CorvellVesk5.msi")) + \
            "[feature-selection]\nfeatures = Halvane,OPCPellin\ndrivers = DeviceDriver\n"
        path, findings = self.check(text)
        self.assertEqual([f"{path}:13: error: feature DeviceDriver is not in the Feature table of "
                          f"payload 1004, {DEMO_BUILD / 'CorvellVesk5.msi'}; did you mean "
                          f"DeviceDrivers?"], findings)
        # Downloaded and named for upload by no line: nothing to check against, and it is said.
        text = setting("BASEURL = https://t.example", text.replace("1004 = ", "; "))
        _, findings = self.check(text + "[version]\nProductName = N\nProductVersion = 2\n"
                                        "CompanyName = T\n", check_files=True)
        self.assertEqual(1, len(findings), findings)
        self.assertIn(": note: the features are not checked", findings[0])

    def test_a_built_executable_is_checked_alike(self):
        findings = pd.check_executable(
            {"MINIMUM_MSI": "3.1", "DATABASE": "x.msi", "PRODUCTNAM": "x"},
            {"FEATURES": "Core", "RUNTIME": "off", "XMLPARSER": "off"},
            {0x0409: {16: "Please wait for '%s'"}, 0x0407: {16: "Bitte warten"}},
            payload_ids=[1004, 1005, 1007])
        self.assertEqual(3, len(findings), [str(f) for f in findings])
        self.assertTrue(all(str(f).startswith("setup.exe: error: ") for f in findings))

    def test_prerequisite_keys_translations_and_signing_reach_their_resources(self):
        (self.folder / "runtime.exe").write_bytes(b"x")
        path, _ = self.check(GOOD.replace("runtime = off", "runtime = on\n"
                                          "runtime_uninstall_key = {R}\n"
                                          "runtime_file = vc_redist.x86.exe\n"
                                          "runtime_arguments = /install 'x y'\n"
                                          "runtime_detail = Neue Laufzeit")
                             + "90 = runtime.exe\n[strings.de-AT]\n24 = Abgebrochen\n"
                             + "[signing]\ndescription = Notes Setup\nurl = https://t.example/\n")
        out = self.folder / "out"
        self.assertEqual(0, product_resources.main(["--description", str(path), "--out", str(out)]))
        script = (out / "product.rc").read_text()
        english = script[script.index("LANGUAGE 0x09, 0x01"):script.index("LANGUAGE 0x07, 0x03")]
        austrian = script[script.index("LANGUAGE 0x07, 0x03"):]
        uninstall = r"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{R}"
        for table in (english, austrian):
            self.assertIn("  90 L\"vc_redist.x86.exe\"\n  92 L\"/install 'x y'\"\n", table)
            self.assertIn(f"  94 L\"{uninstall}\"", table)
        self.assertIn('  24 L"Setup was cancelled"', english)
        self.assertIn('  24 L"Abgebrochen"', austrian)
        self.assertEqual("Neue Laufzeit\0".encode("utf-16-le"),
                         (out / "options" / "RUNTIME_DETAIL.bin").read_bytes())
        # What the signing step reads: [signing], and the carried package for upload.
        self.assertEqual({"description": "Notes Setup", "url": "https://t.example/",
                          "upload_package": str(self.folder / "package.msi")},
                         json.loads((out / "signing.json").read_text()))

    def test_a_real_configuration_stops_on_a_bad_description(self):
        # Mistakes that would build and then fail on the user's machine, at once: the host
        # configuration itself stops, with the finding lines alone.
        # Saved as UTF-16, with a feature the package does not have.
        path, findings = self.check(
            setting('PROPERTIES = A="x', GOOD.replace("Tallow Notes", "Tallow: Notes"))
            + '[feature-selection]\nfeatures = Core,Drvs\ndrivers = " Drv"\n'
              '[strings.french]\n24 = x\n')
        path.write_text(path.read_text(encoding="utf-8"), encoding="utf-16")
        self.assertEqual(5, len(findings), findings)
        self.assertIn(f"{path}:13: error: feature Drvs is not in the Feature table of payload "
                      f"1004, {self.folder / 'package.msi'}; did you mean Drv?", findings)
        build = self.folder / "build"
        done = subprocess.run(
            ["cmake", "-S", str(REPO), "-B", str(build), f"-DBOOTSTRAPPER_PRODUCT={path}",
             f"-DBOOTSTRAPPER_RULES_TOOL={os.environ.get('BOOTSTRAPPER_RULES_TOOL', '')}"],
            capture_output=True, text=True, timeout=300, env={**os.environ, "CLICOLOR": "0"})
        self.assertNotEqual(0, done.returncode, done.stdout)
        lines = done.stderr.splitlines()
        self.assertEqual(findings, [line for line in lines if line.startswith(str(path))])
        self.assertNotIn("Call Stack", done.stderr)
        self.assertFalse(any(line.startswith("  " + str(path)) for line in lines), done.stderr)
        self.assertFalse((build / "windows").exists())


    def test_several_descriptions_configure_one_tree_with_a_folder_each(self):
        # Two descriptions in folders of their own and two named with dots, each output folder
        # named after the file without ".ini"; one named like the first is refused, both named.
        # Output folders of what is no longer built go when the tree is configured.
        paths = []
        for name in ("alpha", "beta"):
            folder = self.folder / name
            folder.mkdir()
            for file in ("package.msi", "readme.txt", "support.rtf"):
                (folder / file).write_bytes(b"x")
            (folder / "product.ini").write_text(GOOD, encoding="utf-8")
            paths.append(folder / "product.ini")
        for name in ("alpha.ini", "notes-3.0.ini", "notes-3.1.ini"):
            (self.folder / name).write_text(GOOD, encoding="utf-8")
        paths += [self.folder / "notes-3.0.ini", self.folder / "notes-3.1.ini"]
        build = self.folder / "build"
        for stale in ("gone/setup.exe", "alpha/x64/setup.exe", "beta/setup.exe",
                      "notes-3/setup.exe", "notes-3.0/setup.exe"):
            (build / "out" / stale).parent.mkdir(parents=True, exist_ok=True)
            (build / "out" / stale).write_bytes(b"old")

        def configure(descriptions):
            return subprocess.run(
                ["cmake", "-S", str(REPO), "-B", str(build), "-DBOOTSTRAPPER_BUILD_TESTS=OFF",
                 "-DBOOTSTRAPPER_PRODUCT=" + ";".join(map(str, descriptions)),
                 f"-DBOOTSTRAPPER_RULES_TOOL={os.environ.get('BOOTSTRAPPER_RULES_TOOL', '')}"],
                capture_output=True, text=True, timeout=300)
        done = configure(paths + [self.folder / "alpha.ini"])
        self.assertNotEqual(0, done.returncode)
        self.assertIn(f"Two product descriptions are named alpha: {paths[0]} and "
                      f"{self.folder / 'alpha.ini'};", " ".join(done.stderr.split()))
        done = configure(paths)
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertEqual(["alpha", "beta", "notes-3.0"],
                         sorted(p.name for p in (build / "out").iterdir()))
        self.assertFalse((build / "out" / "alpha" / "x64").exists())
        self.assertTrue((build / "out" / "beta" / "setup.exe").exists())

if __name__ == "__main__":
    unittest.main()
