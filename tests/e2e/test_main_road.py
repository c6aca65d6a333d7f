"""The main road: from the package inside setup.exe to the product installed, upgraded,
administratively installed or removed by Wine's Windows Installer, with the command line that
each case calls for. What the installer received is read back from the registry values that the
demo package writes from its properties."""

import shutil
import unittest

from demo_product import PRODUCT_CODE, RECEIVED_KEY, DemoProductCase, install_dir
from testbed import SetupTestCase, artifact

UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT_CODE
INSTALLED = 5
CALLING = "[Info] Calling MsiInstallProduct with szInstallPath = "
BASE_FEATURES = ("InstallationProperties,license_techsupport_rtfs,MicrosoftDependancies,Halvane,"
                 "OPCPellin")


class MainRoadCase(DemoProductCase):
    """Every test starts on a machine without the product and leaves none behind."""

    def setUp(self):
        super().setUp()
        self.remove_product()

    def setup(self, exe="setup.exe", args=("/qn",), **kwargs):
        return self.run_program(artifact(exe), args=list(args), **kwargs)

    def received(self, name):
        value = self.prefix.reg_get("HKLM", RECEIVED_KEY, name)
        return value[1] if value else None

    @staticmethod
    def logged(result, text):
        # The log set-up line has no line end of its own, so the next line runs on after it.
        return any(line.endswith(text) for line in result.log_lines)

    def installer_call(self, result):
        calls = [line for line in result.log_lines if CALLING in line]
        self.assertEqual(1, len(calls), result.describe())
        return calls[0].split(", and szCommandLine = ", 1)[1]

    def assert_temp_holds_only_the_logs(self):
        self.assertEqual(["Corvell Vesk.log", "bootstrap.log"],
                         sorted(p.name for p in self.prefix.temp_dir.iterdir()))


class FirstInstallTest(MainRoadCase):
    def test_silent_first_install(self):
        result = self.setup()
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes)
        self.assertEqual(INSTALLED, self.prefix.msi_state(PRODUCT_CODE))
        folder = self.prefix.to_linux(install_dir(self.prefix))
        for name in ("vesk.txt", "halvane.txt", "opcpellin.txt", "Drivers/serial-a.txt"):
            self.assertTrue((folder / name).is_file(), name)
        # PROPERTIES reached the installer.
        self.assertEqual("MSI_VIA_EXE=true", self.installer_call(result))
        self.assertEqual("true", self.received("MSI_VIA_EXE"))
        self.assertIn("[Info] Setting Internal UI level to NONE...", result.log_lines)
        self.assertIn(f"[Info] The product code '{PRODUCT_CODE}' is unknown. Will use first time "
                      "install logic...", result.log_lines)
        # The verbose installer log, kept in the temporary folder and copied with bootstrap.log
        # into the install folder; everything extracted is gone.
        verbose = (self.prefix.temp_dir / "Corvell Vesk.log").read_text("latin-1")
        self.assertIn("MSI_VIA_EXE", verbose)
        self.assert_temp_holds_only_the_logs()
        self.assertTrue((folder / "Corvell Vesk.log").is_file())
        copied = (folder / "bootstrap.log").read_bytes()
        self.assertTrue(copied.endswith(b"[Info] copy bootstrapper log file to INSTALLDIR.\r\n"))

    def test_the_same_version_again_is_installed_as_for_the_first_time(self):
        self.assertEqual(0, self.setup().exit_code)
        result = self.setup()
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertIn(f"[Info] The product code '{PRODUCT_CODE}' is known, same version. Use first "
                      "run logic", result.log_lines)
        self.assertEqual("MSI_VIA_EXE=true", self.installer_call(result))

    def test_another_version_of_the_product_is_reinstalled_over_it(self):
        self.assertEqual(0, self.setup(args=("/qn", "/p")).exit_code)
        result = self.setup("setup-v510.exe", args=("/qn", "/p"))
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertIn(f"[Info] The product code '{PRODUCT_CODE}' is known, but different version. "
                      "Will use QFE recache and reinstall upgrade logic...", result.log_lines)
        # Exactly the reinstall text: no properties, no /p, no features.
        self.assertEqual("REINSTALL=ALL REINSTALLMODE=vomus", self.installer_call(result))
        self.assertEqual("5.1.0", self.received("ProductVersion"))
        self.assertEqual("ALL", self.received("REINSTALL"))
        self.assertEqual("vomus", self.received("REINSTALLMODE"))
        self.assertEqual("", self.received("MSI_VIA_EXE"))
        self.assertEqual("", self.received("IGNORE_PATH_CHECK"))

    def test_each_ui_switch_is_the_level_of_the_products_installation(self):
        # The installer's verbose log names the level it ran the product's installation at. On a
        # window station nobody sees (a deployment system's service) the installer's wizard would
        # wait for ever: without /q the run still ends by itself, the installer showing nothing.
        no_desktop = "[Info] No interactive desktop: the installer's UI level is NONE"
        for switches, station, level in ((["/qn"], None, 2), (["/qb"], None, 3),
                                         (["/qr"], None, 4), (["/qf"], None, 5),
                                         ([], "Deployment", 2)):
            with self.subTest(switches=switches, station=station):
                result = self.setup(args=switches, hidden_station=station)
                self.assertEqual(0, result.exit_code, result.describe())
                verbose = (self.prefix.temp_dir / "Corvell Vesk.log").read_text("latin-1")
                self.assertIn(f"Property(S): UILevel = {level}", verbose.splitlines())
                self.assertEqual(station is not None, no_desktop in result.log_lines)
                self.remove_product()

    def test_without_properties_flags_or_features_the_installer_gets_an_empty_text(self):
        result = self.setup("setup-noprops.exe")
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertTrue(self.logged(result, f"{CALLING}{result.work_folder}CorvellVesk5.msi, "
                                             "and szCommandLine = {null}"), result.describe())
        self.assertEqual("", self.received("MSI_VIA_EXE"))


class RemovalTest(MainRoadCase):
    def test_removal_of_the_installed_product(self):
        self.assertEqual(0, self.setup().exit_code)
        result = self.setup(args=("/x", "/qn"))
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual("REMOVE=ALL", self.installer_call(result))
        self.assertNotEqual(INSTALLED, self.prefix.msi_state(PRODUCT_CODE))
        # A removal reads no package identity and copies no log.
        self.assertFalse(any("MsiQueryProductState" in line for line in result.log_lines))
        self.assertIn("[Info] unable to copy Install log file.", result.log_lines)
        self.assertNotIn("[Info] copy bootstrapper log file to INSTALLDIR.", result.log_lines)

    def test_removal_on_a_machine_without_the_product(self):
        result = self.setup(args=("/x", "/qb"))
        self.assertEqual("REMOVE=ALL", self.installer_call(result))
        code = result.exit_code
        self.assertIn(f"[Info] MsiInstallProduct returned {code}", result.log_lines)
        self.assertIn(f"[Info] Setup exit code is {code}", result.log_lines)
        if code in (0, 1602, 1603, 1604, 1641, 3010):
            self.assertEqual([], result.boxes, result.describe())
        else:
            self.assertEqual(1, len(result.boxes), result.describe())
            self.assertFalse(result.boxes[0].has_owner)


class AdministrativeInstallTest(MainRoadCase):
    """Wine 8's Windows Installer has no ADMIN action: it answers an administrative installation
    with ERROR_FUNCTION_NOT_CALLED (1626) and writes no image. What the bootstrapper does (the
    command line it passes, the identity it does not read, the result it reports) is checked
    all the same; the image itself only where the installer makes one."""

    WINE_ANSWER = 1626

    def test_absolute_and_relative_targets(self):
        exe = artifact("setup.exe")
        cases = [
            ("C:\\AdminImage\\Absolute", "\"C:\\AdminImage\\Absolute\\\""),
            ("Relative", "\"" + self.prefix.to_windows(exe.parent) + "\\Relative\\\""),
        ]
        for target, stored in cases:
            with self.subTest(target=target):
                image = self.prefix.to_linux(stored.strip('"'))
                self.addCleanup(shutil.rmtree, image, ignore_errors=True)
                result = self.setup(args=("/a", target, "/qn"))
                self.assertEqual(" ACTION=ADMIN TARGETDIR=" + stored, self.installer_call(result))
                self.assertFalse(any("MsiQueryProductState" in line for line in result.log_lines))
                self.assertNotEqual(INSTALLED, self.prefix.msi_state(PRODUCT_CODE))
                self.assertIn(f"[Info] Setup exit code is {result.exit_code}", result.log_lines)
                if result.exit_code == 0:
                    self.assertTrue((image / "CorvellVesk5.msi").is_file())
                else:
                    self.assertEqual(self.WINE_ANSWER, result.exit_code, result.describe())
                    self.assertEqual(["An error occured installing the package.  Windows "
                                      f"Installer returned '{self.WINE_ANSWER}'."],
                                     [box.text for box in result.boxes])


class FeatureSelectionTest(MainRoadCase):
    """setup.exe copied to a media folder with a distributor's OEM\\Feature.ini beside it."""

    def setUp(self):
        super().setUp()
        self.media = self.prefix.drive_c / "media"
        shutil.rmtree(self.media, ignore_errors=True)
        (self.media / "OEM").mkdir(parents=True)
        shutil.copy(artifact("setup.exe"), self.media / "setup.exe")
        self.addCleanup(shutil.rmtree, self.media, ignore_errors=True)

    def test_properties_flags_and_features_in_order(self):
        (self.media / "OEM" / "Feature.ini").write_text(
            "[oem]\r\nALLDRIVERS=Include\r\ninclude = SerialA\r\nexclude=toolc, ,\r\n")
        result = self.run_program(self.media / "setup.exe", args=["/w", "/p", "/qb"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(
            "MSI_VIA_EXE=true WRITE_INI_FILE=true EXECUTEMODE=None IGNORE_PATH_CHECK=true "
            f"ALLDRIVERS=include ADDLOCAL={BASE_FEATURES},DeviceDrivers,SerialA "
            "ENABLEPLUGINS=0 INTERFACES=exclude TOOLC=exclude",
            self.installer_call(result))
        self.assertTrue(self.logged(result, "[Info] Adding write ini flag to command line"))
        self.assertTrue(self.logged(result, "[Info] Adding Ignore path check flag to command line"))
        # What the installer received, and the features it installed.
        for name, value in [("MSI_VIA_EXE", "true"), ("WRITE_INI_FILE", "true"),
                            ("EXECUTEMODE", "None"), ("IGNORE_PATH_CHECK", "true"),
                            ("ALLDRIVERS", "include"), ("ENABLEPLUGINS", "0"),
                            ("INTERFACES", "exclude"), ("TOOLC", "exclude")]:
            self.assertEqual(value, self.received(name), name)
        drivers = self.prefix.to_linux(install_dir(self.prefix)) / "Drivers"
        self.assertTrue((drivers / "serial-a.txt").is_file())
        self.assertFalse((drivers / "net-b.txt").exists())
        # The ini file that /w had the product write comes back beside setup.exe.
        self.assertTrue((self.media / "CorvellVesk5.ini").is_file())

    def test_a_feature_file_narrows_only_a_first_install(self):
        (self.media / "OEM" / "Feature.ini").write_text("[oem]\r\n")
        result = self.run_program(self.media / "setup.exe", args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(
            f"MSI_VIA_EXE=true ALLDRIVERS=exclude ADDLOCAL={BASE_FEATURES} "
            "ENABLEPLUGINS=0 INTERFACES=exclude", self.installer_call(result))
        self.assertFalse((self.prefix.to_linux(install_dir(self.prefix)) / "Drivers").exists())
        # Removal never reads the file.
        result = self.run_program(self.media / "setup.exe", args=["/x", "/qn"])
        self.assertEqual("REMOVE=ALL", self.installer_call(result))


    def test_names_that_are_no_installer_identifiers_never_reach_the_installer(self):
        # A quote or an "=" in a name would end the value and add properties of the file's own,
        # a transform included, to what the elevated run installs.
        (self.media / "OEM" / "Feature.ini").write_text(
            '[oem]\r\ninclude=SerialA" TRANSFORMS=x.mst, Net B\r\n'
            'exclude=toolc, x" INJECTED="1, a=b\r\n')
        result = self.run_program(self.media / "setup.exe", args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(
            f"MSI_VIA_EXE=true ALLDRIVERS=exclude ADDLOCAL={BASE_FEATURES},DeviceDrivers,NetB "
            "ENABLEPLUGINS=0 INTERFACES=exclude TOOLC=exclude", self.installer_call(result))
        self.assertEqual(
            ['[Info] Feature.ini include entry left out, not a valid name: SerialA"TRANSFORMS=x.mst',
             '[Info] Feature.ini exclude entry left out, not a valid name: x"INJECTED="1',
             "[Info] Feature.ini exclude entry left out, not a valid name: a=b"],
            # (The first runs on after the log set-up line, which has no line end of its own.)
            [line[line.index("[Info] Feature.ini "):] for line in result.log_lines
             if "[Info] Feature.ini " in line])
        # What the installer received, from its own property dump.
        dump = [line.split(" = ", 1) for line in
                (self.prefix.temp_dir / "Corvell Vesk.log").read_text("latin-1").splitlines()
                if line.startswith("Property(S): ")]
        received = {name[len("Property(S): "):]: value for name, value in dump}
        self.assertEqual(f"{BASE_FEATURES},DeviceDrivers,NetB", received["ADDLOCAL"])
        self.assertEqual("exclude", received["TOOLC"])
        for name in ("TRANSFORMS", "INJECTED", "A", "X"):
            self.assertNotIn(name, received)
        self.assertTrue((self.prefix.to_linux(install_dir(self.prefix)) / "Drivers" / "net-b.txt").is_file())


class InstallerFailureTest(SetupTestCase):
    """The installer's own failures: its result is the exit code, with a box unless it is a
    result the user already knows about."""

    FAILURE_CODE = "{9D4E6F10-2A3B-4C5D-8E9F-0A1B2C3D4E5F}"

    def test_cancelled_and_failed_installations_show_no_box(self):
        for code in (1602, 1603):
            with self.subTest(code=code):
                result = self.run_program(artifact("setup-failure.exe"), args=["/qb"],
                                          env={"VESK_CA_RESULT": str(code)})
                self.assertEqual(code, result.exit_code, result.describe())
                self.assertEqual([], result.boxes, result.describe())
                self.assertIn(f"[Info] MsiInstallProduct returned {code}", result.log_lines)
                self.assertNotEqual(INSTALLED, self.prefix.msi_state(self.FAILURE_CODE))

    def test_other_results_are_shown_with_the_programs_own_text(self):
        # Wine's msi.dll has no texts of its own, so the program's fallback shows the code.
        text = "An error occured installing the package.  Windows Installer returned '1627'."
        result = self.run_program(artifact("setup-notapackage.exe"), args=["/qn"])
        self.assertEqual(1627, result.exit_code, result.describe())
        self.assertEqual(1, len(result.boxes), result.describe())
        box = result.boxes[0]
        self.assertEqual(text, box.text)
        self.assertEqual(("error", False), (box.icon, box.has_owner))
        self.assertFalse(any("Message not shown" in line for line in result.log_lines))
        # On a window station nobody sees (a deployment system's service) the box would wait for
        # ever: the run ends by itself with the same code, and the box's words are in the log.
        result = self.run_program(artifact("setup-notapackage.exe"), args=["/qn"],
                                  hidden_station="Deployment")
        self.assertEqual(1627, result.exit_code, result.describe())
        self.assertIn("[Info] Message not shown (no interactive desktop): Windows Installer "
                      f"Wrapper: {text}", result.log_lines)


if __name__ == "__main__":
    unittest.main()
