"""Hostile input: libraries planted beside setup.exe and in its current folder, paths and names
that are too long or outside Latin-1, a temporary folder that cannot be written, a package file in
use, and feature files that are folders, huge, empty or binary. Each case works or ends with a
clear message and a failure code; never a crash, a hang, or a path that was cut short. The table
of what each case does is in docs/hostile-input.md."""

import shutil
import threading
import unittest

from demo_product import PRODUCT_CODE, RECEIVED_KEY, remove_demo_product
from testbed import SetupTestCase, artifact, win_build_dir
from trust_support import PACKAGE_NAME, download_port, publisher_root, trust_file

# The libraries the program binds at run time. (A version.dll is not planted: Wine's own system
# libraries import it while the process starts, before any of the program's code runs, so the
# loader would take a planted one whatever the program does.)
PLANTED_NAMES = ["msi.dll", "wintrust.dll", "crypt32.dll", "urlmon.dll", "wininet.dll"]
CAPTION = "Windows Installer Wrapper"


class HostileCase(SetupTestCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(self.remove_product)

    def remove_product(self):
        remove_demo_product(self.prefix)

    def folder(self, *parts):
        """A fresh folder below C:\\ that the test removes again."""
        path = self.prefix.drive_c.joinpath(*parts)
        shutil.rmtree(self.prefix.drive_c / parts[0], ignore_errors=True)
        path.mkdir(parents=True)
        self.addCleanup(shutil.rmtree, self.prefix.drive_c / parts[0], ignore_errors=True)
        return path

    def assert_one_error_box(self, result, text):
        # (The icon of a box wider than the screen is not read reliably; texts are.)
        self.assertEqual([(CAPTION, text)], [(b.caption, b.text) for b in result.boxes],
                         result.describe())


class PlantedLibraryTest(HostileCase):
    """Wine is told to prefer a native library of each planted name wherever it finds one."""

    dll_overrides = ",".join(name[:-4] for name in PLANTED_NAMES) + "=n,b"
    root_cert = publisher_root()

    def plant(self, *folders):
        markers = self.prefix.drive_c / "planted-markers"
        shutil.rmtree(markers, ignore_errors=True)
        self.addCleanup(shutil.rmtree, markers, ignore_errors=True)
        for folder in folders:
            for name in PLANTED_NAMES:
                shutil.copy(artifact("PlantedLibrary.dll"), folder / name)
        return markers

    def test_libraries_beside_the_executable_and_in_the_current_folder_are_never_loaded(self):
        media = self.folder("media")
        current = self.folder("current")
        shutil.copy(artifact("setup.exe"), media / "setup.exe")
        markers = self.plant(media, current)
        result = self.run_program(media / "setup.exe", args=["/qn"], cwd=current)
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        self.assertFalse(markers.exists() and any(markers.iterdir()),
                         sorted(p.name for p in markers.iterdir()) if markers.exists() else [])

    def test_the_download_path_loads_no_planted_library_either(self):
        media = self.folder("media")
        shutil.copy(artifact("setup-download.exe"), media / "setup.exe")
        markers = self.plant(media)
        port = download_port()
        data = trust_file(f"signed/{PACKAGE_NAME}").read_bytes()
        self.http_server(files={f"/packages/{PACKAGE_NAME}": data}, port=port)
        result = self.run_program(media / "setup.exe", args=["/qn"], cwd=media)
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertFalse(markers.exists() and any(markers.iterdir()))


class LongAndForeignNamesTest(HostileCase):
    def test_temporary_folders_at_the_bound_of_the_logs_path(self):
        # The folders themselves fit, the package's path in them does not: the package is
        # refused with its path rather than written under a name cut short. The log's path must
        # fit in 259 characters: a folder of 245 (246 with the backslash the system adds) keeps
        # the log, one more sends it to the current folder rather than under a name cut short.
        for length, log_in_temp in ((245, True), (246, False), (250, False)):
            with self.subTest(length=length):
                temp = self.folder("t", *(["x" * 49] * 4), "x" * (length - 205))
                temp_windows = self.prefix.to_windows(temp)
                self.assertEqual(length, len(temp_windows))
                current = self.folder("current")
                result = self.run_program(artifact("setup.exe"), args=["/qn"], cwd=current,
                                          env={"TMP": temp_windows, "TEMP": temp_windows})
                self.assertEqual(2, result.exit_code, result.describe())
                self.assert_one_error_box(
                    result, f"The path '{temp_windows}\\{PACKAGE_NAME}' is invalid.")
                log_folder, other = (temp, current) if log_in_temp else (current, temp)
                log = (log_folder / "bootstrap.log").read_text("latin-1")
                self.assertTrue(log.startswith("[Info] we are running from --> "))
                self.assertIn("[Info] Setup exit code is 2", log)
                self.assertEqual([], [p.name for p in other.iterdir()])
                self.assertEqual(["bootstrap.log"], [p.name for p in log_folder.iterdir()])

    def test_an_executable_folder_near_the_limit(self):
        # 243 characters of folder: setup.exe's own path fits, its OEM folder does not; the run
        # installs and simply finds no distributor's files there.
        media = self.folder("m", *(["y" * 59] * 3), "y" * 58)
        self.assertEqual(243, len(self.prefix.to_windows(media)))
        shutil.copy(artifact("setup.exe"), media / "setup.exe")
        result = self.run_program(media / "setup.exe", args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))

    def test_an_administrative_target_that_does_not_fit(self):
        target = "C:\\" + "\\".join(["a" * 60] * 5)
        result = self.run_program(artifact("setup.exe"), args=["/a", target, "/qn"])
        call = [line for line in result.log_lines if "szCommandLine = " in line]
        # Passed whole to the installer, which answers for itself; never cut.
        self.assertEqual(1, len(call), result.describe())
        self.assertTrue(call[0].endswith(f" ACTION=ADMIN TARGETDIR=\"{target}\\\""), call[0])
        self.assertNotEqual(0, result.exit_code)
        self.assertIn(f"[Info] Setup exit code is {result.exit_code}", result.log_lines)

    def test_a_database_name_of_300_characters_is_refused(self):
        result = self.run_program(artifact("setup-longdatabase.exe"), args=["/qn"])
        self.assertEqual(1603, result.exit_code, result.describe())
        self.assert_one_error_box(result, "An irrecoverable internal error occured.")

    def test_a_product_name_of_300_characters_installs_without_an_installer_log(self):
        result = self.run_program(artifact("setup-longname.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        self.assertIn("[Info] unable to copy Install log file.", result.log_lines)
        self.assertEqual(["bootstrap.log"], sorted(p.name for p in self.prefix.temp_dir.iterdir()))

    def test_names_outside_latin1(self):
        media = self.folder("Медиа 媒体")
        shutil.copy(artifact("setup-unicode.exe"), media / "setup.exe")
        result = self.run_program(media / "setup.exe", args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        self.assertIn("Корвелл Веск 测试.log", [p.name for p in self.prefix.temp_dir.iterdir()])
        # The 8-bit log stores what it cannot hold as "?".
        self.assertIn("[Info] path to Msi: C:\\users\\root\\Temp\\??????.msi", result.log_lines)


class UnusableFilesTest(HostileCase):
    def test_a_package_file_in_use_by_another_process(self):
        package = self.prefix.temp_dir / PACKAGE_NAME
        marker = self.prefix.scratch / "holding"
        marker.unlink(missing_ok=True)
        holder = threading.Thread(target=self.prefix.wintool, args=(
            ["hold-file", self.prefix.to_windows(package), self.prefix.to_windows(marker)],))
        holder.start()
        try:
            for _ in range(400):
                if marker.exists():
                    break
                threading.Event().wait(0.05)
            self.assertTrue(marker.exists(), "the file was not taken")
            result = self.run_program(artifact("setup.exe"), args=["/qn"], keep_log=True)
        finally:
            marker.unlink(missing_ok=True)
            holder.join(60)
        self.assertEqual(2, result.exit_code, result.describe())
        self.assert_one_error_box(result, f"Could not create   {PACKAGE_NAME}")
        self.assertIn("[ExtractFileFromResource] CreateFile failure: 32", result.log_lines)

    def test_feature_files_that_are_no_ini_files(self):
        media = self.folder("media")
        shutil.copy(artifact("setup.exe"), media / "setup.exe")
        oem = media / "OEM"
        oem.mkdir()
        base = ("ALLDRIVERS=exclude ADDLOCAL=InstallationProperties,license_techsupport_rtfs,"
                "MicrosoftDependancies,Halvane,OPCPellin ENABLEPLUGINS=0 INTERFACES=exclude")
        cases = {
            "a folder": (lambda path: path.mkdir(), None),
            "an empty file": (lambda path: path.write_bytes(b""), base),
            "binary bytes": (lambda path: path.write_bytes(bytes(range(256)) * 64), base),
            "1 MB of ini": (lambda path: path.write_bytes(
                b"[oem]\r\ninclude=" + b"SerialA," * 131072 + b"\r\n"), None),
        }
        for name, (make, expected) in cases.items():
            with self.subTest(feature_file=name):
                feature = oem / "Feature.ini"
                shutil.rmtree(feature, ignore_errors=True)
                feature.unlink(missing_ok=True)
                make(feature)
                result = self.run_program(media / "setup.exe", args=["/qn"])
                self.assertEqual(0, result.exit_code, result.describe())
                call = [line for line in result.log_lines if "szCommandLine = " in line][0]
                command_line = call.split("szCommandLine = ", 1)[1]
                if name == "a folder":
                    self.assertEqual("MSI_VIA_EXE=true", command_line)
                elif expected is not None:
                    self.assertEqual("MSI_VIA_EXE=true " + expected, command_line)
                else:
                    # The value is cut by the system's reader at 2048 characters.
                    self.assertIn(",DeviceDrivers,SerialA,SerialA", command_line)
                    self.assertLess(len(command_line), 2048 + 300)
                self.remove_product()


class ReadOnlyTempTest(HostileCase):
    def test_a_temporary_folder_that_cannot_be_written(self):
        temp = self.folder("readonly-temp")
        # Wine runs as root here, so only an immutable folder refuses its writes.
        import subprocess
        if subprocess.run(["chattr", "+i", str(temp)], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not possible here")
        self.addCleanup(subprocess.run, ["chattr", "-i", str(temp)], capture_output=True)
        temp_windows = self.prefix.to_windows(temp)
        result = self.run_program(artifact("setup.exe"), args=["/qn"],
                                  env={"TMP": temp_windows, "TEMP": temp_windows})
        self.assertEqual(2, result.exit_code, result.describe())
        self.assert_one_error_box(result, f"Could not create   {PACKAGE_NAME}")


class HeldFilesTest(HostileCase):
    """A process of the same user (wintool's attack) tries, the moment each file appears, to
    rename an impostor over it and to move it away, while the elevated run writes, checks and
    uses it: the engine update, the product package, the runtime's redistributable and the XML
    parser's package. An impostor that got in would be taken: an update package too old for the
    engine check, another version of the product package. The update and the runtime stand-ins
    wait until the attacker has had its go, so that their files are in use meanwhile. (The
    downloaded package is not attacked here: the URL cache leaves it open to anyone until the run
    holds it, so what the check sees may be an impostor; test_download shows that what was
    checked is what is installed.)"""

    RUNTIME_KEY = ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                   "{9BE518E6-ECC6-35A9-88E4-87755C07200F}")
    # The XML parser package of the platform: (package, product code).
    PARSERS = {"win32": ("msxml6_x86.msi", "{3C9A2E58-1D40-4B72-8E04-6B2D7A0C1E53}"),
               "win64": ("msxml6_x64.msi", "{5E0B4C7A-2F61-4D83-9A15-7C3E8B1D2F64}")}
    ATTEMPTS = 20

    def test_what_the_run_wrote_is_what_it_runs_and_installs(self):
        self.prefix.reg_delete_key("HKLM", self.RUNTIME_KEY, view=32)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", self.RUNTIME_KEY, view=32)
        parser = self.prefix.drive_c / "windows" / "system32" / "msxml6.dll"
        original = parser.read_bytes()
        parser.unlink()
        self.addCleanup(parser.write_bytes, original)
        parser_package, parser_code = self.PARSERS[self.prefix.arch]
        self.addCleanup(self.prefix.msi_remove, parser_code)
        scratch = self.prefix.scratch
        for name in ("runtime-standin.txt", "attack-stop", "release-update", "release-runtime"):
            (scratch / name).unlink(missing_ok=True)
        build = win_build_dir() / "tests" / "windows"
        other_package = self.prefix.to_windows(build / "packages" / "v510" / PACKAGE_NAME)
        old_update = self.prefix.to_windows(build / "engine" / "update_v405.exe")
        temp = self.prefix.temp_dir_windows.rstrip("\\")
        win = self.prefix.to_windows
        targets = [f"{temp}\\Prereqs\\instmsi3.exe={old_update}={win(scratch / 'release-update')}",
                   f"{temp}\\{PACKAGE_NAME}={other_package}",
                   f"{temp}\\vcredist_vc9.exe={old_update}={win(scratch / 'release-runtime')}",
                   f"{temp}\\Prereqs\\MSXML6\\{parser_package}={other_package}"]
        answer = []
        attacker = threading.Thread(target=lambda: answer.extend(self.prefix.wintool(
            ["attack", win(scratch / "attack-stop"), str(self.ATTEMPTS), *targets], timeout=400)))
        attacker.start()
        try:
            result = self.run_program(
                artifact("setup-engine-media.exe"), args=["/qn"],
                answers={"newer version of the Windows Installer": "yes"},
                env={"BOOTSTRAPPER_UPDATE_HOLD": win(scratch / "release-update"),
                     "STANDIN_RUNTIME_HOLD": win(scratch / "release-runtime"),
                     "STANDIN_RUNTIME_RECORD": win(scratch / "runtime-standin.txt")})
        finally:
            (scratch / "attack-stop").write_text("stop")
            attacker.join(420)
        self.assertEqual(0, result.exit_code, result.describe())
        for record in answer[0]["targets"]:
            # Every attempt failed: a sharing violation, or access denied to a rename.
            self.assertEqual((self.ATTEMPTS, 0), (record["attempts"], record["won"]), record)
            self.assertLessEqual(set(record["errors"]), {5, 32}, record)
        # What ran and what was installed is the genuine payload: the update passed the engine
        # check, the runtime stand-in ran once, the parser and the product 5.0.0 are installed.
        self.assertIn(f"[Info] Running update package from --> {temp}\\Prereqs\\instmsi3.exe",
                      result.log_lines)
        self.assertEqual(1, len((scratch / "runtime-standin.txt").read_text().splitlines()))
        self.assertIn("(stand-in)", self.prefix.reg_get("HKLM", self.RUNTIME_KEY, "DisplayName",
                                                        view=32)[1])
        self.assertEqual(5, self.prefix.msi_state(parser_code))
        self.assertEqual(("REG_SZ", "5.0.0"),
                         self.prefix.reg_get("HKLM", RECEIVED_KEY, "ProductVersion"))


if __name__ == "__main__":
    unittest.main()
