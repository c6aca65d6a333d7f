"""Hostile input: libraries planted beside setup.exe and in its current folder, paths and names
that are too long or outside Latin-1, a temporary folder that cannot be written, a package file in
use, feature files that are folders, huge, empty or binary, and processes of the same user that
attack the files the run writes, through renames and through a link on the run's path. Each case
works or ends with a clear message and a failure code; never a crash, a hang, or a path that was
cut short. The table of what each case does is in docs/hostile-input.md."""

import os
import re
import shutil
import subprocess
import threading
import unittest
from pathlib import Path
from typing import Dict, List

from demo_product import (CAPTION, INI_NAME, INSTALLER_LOG, PRODUCT_CODE, RECEIVED_KEY,
                          DemoProductCase, install_dir)
from testbed import artifact, win_build_dir
from testbed.results import WORK_FOLDER
from trust_support import PACKAGE_NAME, download_port, publisher_root, trust_file

# The libraries the program binds at run time. (A version.dll is not planted: Wine's own system
# libraries import it while the process starts, before any of the program's code runs, so the
# loader would take a planted one whatever the program does.)
PLANTED_NAMES = ["msi.dll", "wintrust.dll", "crypt32.dll", "urlmon.dll", "wininet.dll"]


class HostileCase(DemoProductCase):
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
        # The folders fit, the installer log's path in them does not: the product installs from
        # the run's own folder without that log, rather than with a log under a name cut short.
        # bootstrap.log's path must fit in 259 characters: a folder of 245 (246 with the
        # backslash the system adds) keeps it, one more sends it to the current folder.
        for length, log_in_temp in ((245, True), (246, False), (250, False)):
            with self.subTest(length=length):
                temp = self.folder("t", *(["x" * 49] * 4), "x" * (length - 205))
                temp_windows = self.prefix.to_windows(temp)
                self.assertEqual(length, len(temp_windows))
                current = self.folder("current")
                result = self.run_program(artifact("setup.exe"), args=["/qn"], cwd=current,
                                          env={"TMP": temp_windows, "TEMP": temp_windows})
                self.assertEqual(0, result.exit_code, result.describe())
                self.assertEqual([], result.boxes, result.describe())
                log_folder, other = (temp, current) if log_in_temp else (current, temp)
                log = (log_folder / "bootstrap.log").read_text("latin-1")
                self.assertTrue(log.startswith("[Info] we are running from --> "))
                self.assertIn("[Info] unable to copy Install log file.\n", log)
                self.assertIn("[Info] Setup exit code is 0", log)
                self.assertEqual([], [p.name for p in other.iterdir()])
                self.assertEqual(["bootstrap.log"], [p.name for p in log_folder.iterdir()])
                self.remove_product()

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
        self.assertIn(f"[Info] path to Msi: {result.work_folder}??????.msi", result.log_lines)


class UnusableFilesTest(HostileCase):
    def test_a_package_file_in_use_in_the_temporary_folder_is_none_of_the_runs_business(self):
        # The run writes the package to a folder of its own, never to the temporary folder.
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
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        self.assertIn(f"[Info] path to Msi: {result.work_folder}{PACKAGE_NAME}", result.log_lines)

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
            # As properties they would change how the installer runs: TRANSFORMS=exclude ends in
            # 1624, a second ADDLOCAL replaces the selection.
            "the installer's own names": (lambda path: path.write_bytes(
                b"[oem]\r\ninclude=ADDLOCAL,SerialA\r\nexclude=TRANSFORMS\r\n"),
                base.replace("OPCPellin", "OPCPellin,DeviceDrivers,SerialA")),
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
                elif name == "the installer's own names":
                    self.assertEqual("MSI_VIA_EXE=true " + expected, command_line)
                    # (The first runs on after the log set-up line, which has no line end.)
                    self.assertEqual(
                        ["[Info] Feature.ini include entry left out, not a valid name: ADDLOCAL",
                         "[Info] Feature.ini exclude entry left out, not a valid name: "
                         "TRANSFORMS"],
                        [line[line.index("[Info] Feature.ini"):] for line in result.log_lines
                         if "left out" in line])
                elif expected is not None:
                    self.assertEqual("MSI_VIA_EXE=true " + expected, command_line)
                else:
                    # The value is cut by the system's reader at 2048 characters.
                    self.assertIn(",DeviceDrivers,SerialA,SerialA", command_line)
                    self.assertLess(len(command_line), 2048 + 300)
                self.remove_product()


class ReadOnlyTempTest(HostileCase):
    def test_a_temporary_folder_that_cannot_be_written_leaves_the_installer_to_answer(self):
        temp = self.folder("readonly-temp")
        # Wine runs as root here, so only an immutable folder refuses its writes.
        if subprocess.run(["chattr", "+i", str(temp)], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not possible here")
        self.addCleanup(subprocess.run, ["chattr", "-i", str(temp)], capture_output=True)
        temp_windows = self.prefix.to_windows(temp)
        result = self.run_program(artifact("setup.exe"), args=["/qn"],
                                  env={"TMP": temp_windows, "TEMP": temp_windows})
        # The package goes to the run's own folder and reaches the installer, which needs the
        # temporary folder for itself: its own result ends the run (Wine: 1627), not the
        # package's "Could not create" and 2. No log could be kept, and nothing was left.
        self.assertNotIn(result.exit_code, (0, 2), result.describe())
        self.assert_one_error_box(result, "An error occured installing the package.  Windows "
                                          f"Installer returned '{result.exit_code}'.")
        self.assertEqual([], os.listdir(temp))


class LinkAttacker:
    """A process of the same user with a link on the run's path: the temporary folder is a link
    that, the moment a file it has an impostor for appears through it, it points at a fresh folder
    where impostors wait under the names the run would use. A file the run wrote through the link
    and then opened again by its path would be an impostor. (Retargeting on every new file would
    also take away the copies that the installer itself keeps in the temporary folder while it
    installs, and end any installation: a denial of service a user can always commit on a folder
    of their own, not the attack under test.) Wine cannot make a junction (FSCTL_SET_REPARSE_POINT
    answers ERROR_NOT_SUPPORTED, CreateSymbolicLinkW answers TRUE and makes nothing), so a Unix
    symbolic link, retargeted from the Linux side, stands for one; Wine shows it as a reparse
    point and follows it. `appeared` lists what the run made through the link, `retargeted` how
    often the link was pointed elsewhere."""

    def __init__(self, link: Path, impostors: Dict[str, bytes]):
        self.link = link
        self.impostors = impostors
        self.folders: List[Path] = []
        self.appeared: List[str] = []
        self.retargeted = 0
        self._stop = threading.Event()
        self._point_at(self._new_folder(with_impostors=False))
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _new_folder(self, with_impostors=True) -> Path:
        folder = self.link.with_name(f"{self.link.name}.{len(self.folders)}")
        folder.mkdir()
        for relative, data in (self.impostors.items() if with_impostors else ()):
            (folder / relative).parent.mkdir(parents=True, exist_ok=True)
            (folder / relative).write_bytes(data)
        self.folders.append(folder)
        return folder

    def _point_at(self, folder: Path) -> None:
        fresh = self.link.with_name(self.link.name + ".next")
        fresh.unlink(missing_ok=True)
        fresh.symlink_to(folder)
        os.replace(fresh, self.link)  # one rename: the link never goes missing

    @staticmethod
    def _entries(folder: Path):
        # os.walk passes over what goes away while it looks.
        return {(Path(root) / name).relative_to(folder).as_posix()
                for root, folders, files in os.walk(folder) for name in folders + files}

    def _look(self, known):
        new = self._entries(self.folders[-1]) - known
        self.appeared.extend(sorted(new))
        if not new & set(self.impostors):
            return known | new
        folder = self._new_folder()
        self._point_at(folder)
        self.retargeted += 1
        return self._entries(folder)

    def _watch(self) -> None:
        known = set()  # the first folder is new and empty
        while not self._stop.wait(0.001):
            known = self._look(known)
        self._look(known)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(60)


class LinksInTheUsersFoldersTest(HostileCase):
    """Links that a process of the same user puts where the elevated run writes, copies or deletes
    files in folders of the user's: at the logs' names in the temporary folder, at the ini file's
    place beside setup.exe, at the temporary folder itself. Wine makes no junction and no symbolic
    link from the Windows side, so a Unix symbolic link made from the Linux side stands for one
    (Wine shows one to a folder as a reparse point, one to a file as that file, and follows both).
    None is followed: each victim stays as it was, and the run's logs are regular files of its own
    with the whole run."""

    def setUp(self):
        super().setUp()
        for name in ("bootstrap.log", INSTALLER_LOG):
            self.addCleanup((self.prefix.windows_temp / name).unlink, missing_ok=True)

    def test_links_at_the_logs_and_at_the_ini_files_place_lose_their_names_only(self):
        media = self.folder("media")
        shutil.copy(artifact("setup.exe"), media / "setup.exe")
        victims = self.folder("victims")
        temp = self.prefix.temp_dir
        places = {"bootstrap.log": temp / "bootstrap.log", INSTALLER_LOG: temp / INSTALLER_LOG,
                  INI_NAME: media / INI_NAME}
        for name, place in places.items():
            (victims / name).write_bytes(f"{name}: a file the user may not write\r\n".encode())
            place.symlink_to(victims / name)
        before = {victim.name: victim.read_bytes() for victim in victims.iterdir()}
        # /w has the installer write the ini file, which the run brings back beside setup.exe.
        result = self.run_program(media / "setup.exe", args=["/w", "/qb"], keep_log=True)
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(before, {victim.name: victim.read_bytes() for victim in victims.iterdir()})
        for place in places.values():
            self.assertTrue(place.is_file() and not place.is_symlink(), place)
        log = places["bootstrap.log"].read_bytes()
        self.assertTrue(log.startswith(b"[Info] we are running from --> "), log)
        self.assertTrue(log.endswith(b"[Info] copy bootstrapper log file to INSTALLDIR.\r\n"), log)
        installer_log = places[INSTALLER_LOG].read_bytes()
        self.assertIn(b"UILevel = 3", installer_log)
        self.assertIn(b"[Installation Properties]", places[INI_NAME].read_bytes())
        folder = self.prefix.to_linux(install_dir(self.prefix))
        self.assertEqual(log, (folder / "bootstrap.log").read_bytes())
        self.assertEqual(installer_log, (folder / INSTALLER_LOG).read_bytes())

    def test_a_temporary_folder_that_is_a_link_or_lies_below_one_gets_no_log(self):
        # The logs go where only administrators can change the folders above them, and the log
        # says so; a temporary folder missing below a link is not made, which ends the run as a
        # temporary folder that cannot be made does.
        elsewhere = self.folder("elsewhere")
        link = self.folder("attack") / "temp"
        link.symlink_to(elsewhere)
        link_windows = self.prefix.to_windows(link)
        windows_temp = self.prefix.windows_temp
        for temp, exit_code in ((link_windows, 0), (link_windows + "\\missing", 1814)):
            with self.subTest(temp=temp):
                result = self.run_program(artifact("setup.exe"), args=["/qn"], check_temp=False,
                                          env={"TMP": temp, "TEMP": temp})
                self.assertEqual(exit_code, result.exit_code, result.describe())
                self.assertEqual([], os.listdir(elsewhere))
                log = (windows_temp / "bootstrap.log").read_bytes().decode("latin-1")
                lines = log.lower().split("\r\n")[:-1]
                self.assertTrue(lines[0].startswith("[info] we are running from --> "), lines)
                kept = "[info] not writing through a link: {}\\{} is kept as c:\\windows\\temp\\{}"
                self.assertEqual(kept.format(temp, "bootstrap.log", "bootstrap.log").lower(),
                                 lines[1])
                self.assertIn(f"[info] setup exit code is {exit_code}", lines)
                if exit_code == 0:
                    # The installer's log too, which the log says as it happens.
                    self.assertIn(kept.format(temp, INSTALLER_LOG, INSTALLER_LOG).lower(), lines)
                    self.assertEqual("[info] copy bootstrapper log file to installdir.", lines[-1])
                    self.assertIn(b"UILevel = 2", (windows_temp / INSTALLER_LOG).read_bytes())
                else:
                    self.assertEqual([f"The path '{temp}\\' is invalid."],
                                     [box.text for box in result.boxes])
                self.remove_product()


class HeldFilesTest(HostileCase):
    """Processes of the same user attack the files the elevated run writes and then runs or
    installs: the engine update, the product package, the runtime's redistributable and the XML
    parser's package. wintool's attack tries, the moment each file appears in the run's own folder,
    to rename an impostor over it and to move it away (Wine does not enforce the folder's access
    list, so the holds keep it out here); at the same time the temporary folder is a link that a
    LinkAttacker retargets. An impostor that got in would be taken: an update package too old for
    the engine check, another version of the product package. The update and the runtime stand-ins
    wait until the attacker has had its go, so that their files are in use meanwhile. (The
    downloaded package is not attacked here: test_download shows that what was checked is what is
    installed.)"""

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
        other_package = build / "packages" / "v510" / PACKAGE_NAME
        old_update = build / "engine" / "update_v405.exe"
        win = self.prefix.to_windows
        work = "C:\\windows\\Temp\\*"
        release_update, release_runtime = (win(scratch / f"release-{name}")
                                           for name in ("update", "runtime"))
        targets = [f"{work}\\Prereqs\\instmsi3.exe={win(old_update)}={release_update}",
                   f"{work}\\{PACKAGE_NAME}={win(other_package)}",
                   f"{work}\\vcredist_vc9.exe={win(old_update)}={release_runtime}",
                   f"{work}\\Prereqs\\MSXML6\\{parser_package}={win(other_package)}"]
        impostors = {"Prereqs/instmsi3.exe": old_update.read_bytes(),
                     PACKAGE_NAME: other_package.read_bytes(),
                     "vcredist_vc9.exe": old_update.read_bytes(),
                     f"Prereqs/MSXML6/{parser_package}": other_package.read_bytes()}
        link = self.folder("attack") / "temp"
        linker = LinkAttacker(link, impostors)
        windows_temp = set(os.listdir(self.prefix.windows_temp))
        answer = []
        attacker = threading.Thread(target=lambda: answer.extend(self.prefix.wintool(
            ["attack", win(scratch / "attack-stop"), str(self.ATTEMPTS), *targets], timeout=400)))
        linker.start()
        attacker.start()
        try:
            # The temporary folder is the link; what appears there is the attacker's to judge.
            result = self.run_program(
                artifact("setup-engine-media.exe"), args=["/qn"], check_temp=False,
                answers={"newer version of the Windows Installer": "yes"},
                env={"TMP": win(link), "TEMP": win(link),
                     "BOOTSTRAPPER_UPDATE_HOLD": win(scratch / "release-update"),
                     "STANDIN_RUNTIME_HOLD": win(scratch / "release-runtime"),
                     "STANDIN_RUNTIME_RECORD": win(scratch / "runtime-standin.txt")})
        finally:
            (scratch / "attack-stop").write_text("stop")
            attacker.join(420)
            linker.stop()
        # The log was not kept through the link, but where only administrators can change the
        # folders above it.
        log = self.prefix.windows_temp / "bootstrap.log"
        self.addCleanup(log.unlink, missing_ok=True)
        self.addCleanup((self.prefix.windows_temp / "Corvell Vesk.log").unlink, missing_ok=True)
        lines = log.read_bytes().decode("latin-1").split("\r\n")[:-1] if log.exists() else []
        self.assertEqual(0, result.exit_code, result.describe() + "\n".join(lines))
        for record in answer[0]["targets"]:
            # Every attempt failed: a sharing violation, or access denied to a rename.
            self.assertEqual((self.ATTEMPTS, 0), (record["attempts"], record["won"]), record)
            self.assertLessEqual(set(record["errors"]), {5, 32}, record)
        # Nothing the run writes, runs or installs ever passed through the link, so the link was
        # never pointed elsewhere.
        self.assertEqual([], [name for name in linker.appeared
                              if name in impostors or name.endswith(".log")], linker.appeared)
        self.assertEqual(0, linker.retargeted)
        # What ran and what was installed is the genuine payload, from the run's own folder, now
        # gone: the update passed the engine check, the runtime stand-in ran once, the parser and
        # the product 5.0.0 are installed.
        running = [line for line in lines if line.startswith("[Info] Running update package")]
        self.assertEqual(1, len(running), lines)
        self.assertTrue(re.fullmatch(r"\[Info\] Running update package from --> " +
                                     WORK_FOLDER.pattern + r"Prereqs\\instmsi3\.exe",
                                     running[0]), running[0])
        runtime = (scratch / "runtime-standin.txt").read_text().splitlines()
        self.assertEqual(1, len(runtime), runtime)
        self.assertTrue(WORK_FOLDER.search(runtime[0]), runtime[0])
        self.assertIn("(stand-in)", self.prefix.reg_get("HKLM", self.RUNTIME_KEY, "DisplayName",
                                                        view=32)[1])
        self.assertEqual(5, self.prefix.msi_state(parser_code))
        self.assertEqual(("REG_SZ", "5.0.0"),
                         self.prefix.reg_get("HKLM", RECEIVED_KEY, "ProductVersion"))
        self.assertEqual(windows_temp | {"bootstrap.log", "Corvell Vesk.log"},
                         set(os.listdir(self.prefix.windows_temp)))


class WorkFolderTest(HostileCase):
    """The folder the elevated run makes for itself, below the Windows folder's Temp."""

    RUNTIME_KEY = HeldFilesTest.RUNTIME_KEY

    def test_while_the_run_works_its_folder_is_private_and_setup_exe_is_held(self):
        # The runtime stand-in records its own path and waits: meanwhile the test reads the
        # folder's access list and tries to rename setup.exe away and another file over it.
        self.prefix.reg_delete_key("HKLM", self.RUNTIME_KEY, view=32)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", self.RUNTIME_KEY, view=32)
        media = self.folder("media")
        exe = media / "setup.exe"
        shutil.copy(artifact("setup.exe"), exe)
        scratch = self.prefix.scratch
        started, release, stop = (scratch / name for name in
                                  ("runtime-started.txt", "release-runtime", "attack-stop"))
        for path in (started, release, stop):
            path.unlink(missing_ok=True)
        win = self.prefix.to_windows
        results = []
        runner = threading.Thread(target=lambda: results.append(self.run_program(
            exe, args=["/qn"], env={"STANDIN_RUNTIME_RECORD": win(started),
                                    "STANDIN_RUNTIME_HOLD": win(release)})))
        runner.start()
        try:
            for _ in range(2400):
                if started.exists() and started.read_text().endswith("\n"):
                    break
                threading.Event().wait(0.05)
            record = started.read_text() if started.exists() else ""
            self.assertIn("|path=", record, "the runtime stand-in did not start")
            own_path = record.split("|path=", 1)[1].strip()
            work = own_path[:own_path.rindex("\\") + 1]
            access = self.prefix.acl(work)
            attempts = self.prefix.wintool(
                ["attack", win(stop), "10", f"{win(exe)}={win(artifact('setup-v510.exe'))}"])
        finally:
            release.write_text("go")
            runner.join(400)
        self.assertEqual(0, results[0].exit_code, results[0].describe())
        self.assertTrue(WORK_FOLDER.fullmatch(work), work)

        # Only SYSTEM and Administrators may reach the folder. Wine keeps no access list of a
        # file of its own but derives one from the Unix permissions, which show the
        # administrator who owns the folder in place of Administrators, and Everyone where
        # others may read: so what is read back here is that nobody else is let in. (A folder
        # made without an access list, like the temporary folder, shows Everyone.)
        owner = re.match(r"O:([^D]+)D:", access).group(1)
        entries = re.findall(r"\((A|D);([^;]*);([^;]*);;;([^)]*)\)", access)
        self.assertIn(("A", "OICI", "FA", "SY"), entries, access)
        self.assertLessEqual({trustee for *_, trustee in entries}, {"SY", "BA", owner}, access)
        self.assertEqual({"A"}, {kind for kind, *_ in entries}, access)
        self.assertIn(";;;WD)", self.prefix.acl(self.prefix.temp_dir))

        # setup.exe held: neither renamed away nor replaced while the run lasted.
        (target,) = attempts[0]["targets"]
        self.assertEqual((10, 0), (target["attempts"], target["won"]), target)
        self.assertLessEqual(set(target["errors"]), {5, 32}, target)
        self.assertEqual(artifact("setup.exe").read_bytes(), exe.read_bytes())

    def test_another_setup_put_at_setup_exes_path_before_the_hold_is_not_taken_for_it(self):
        # Once setup.exe is started and before it runs, a process of the user's renames it away
        # and puts another setup.exe of the same publisher at its path, 5.1.0 of the product,
        # whose signature passes. Held and read from at the running program's places, it gave
        # the payloads. The run ends at its own signature check instead, as when its file cannot
        # be held, and reads nothing from that file.
        exe = self.folder("media") / "setup.exe"
        shutil.copy(artifact("setup.exe"), exe)
        result = self.run_program(exe, args=["/qn"],
                                  swap_before_start=artifact("setup-v510.exe"))
        self.assertEqual(artifact("setup-v510.exe").read_bytes(), exe.read_bytes())
        self.assertEqual(1006, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertIn("[Error] Setup cannot hold its own file (error 1006): it is neither "
                      "checked nor started by its path", result.log_lines)
        self.assertFalse(any(line.startswith("[WVT]") for line in result.log_lines))
        self.assertEqual(-1, self.prefix.msi_state(PRODUCT_CODE))

    def test_a_reparse_point_on_the_folders_path_ends_the_run(self):
        # The Windows folder's Temp is a link (a Unix symbolic link, which Wine shows as a
        # reparse point, as Windows shows a junction), or another volume mounted there (a mount
        # point, which Wine shows as one too): the folder made there is not where the run may
        # trust its path, so the run ends as when the folder cannot be made, and the folder made
        # there is gone again.
        windows_temp = self.prefix.windows_temp
        real = windows_temp.with_name("temp.real")

        def link():
            windows_temp.rename(real)
            windows_temp.symlink_to(real)
            return lambda: (windows_temp.unlink(), real.rename(windows_temp))

        def mount():
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs",
                               str(windows_temp)], capture_output=True).returncode != 0:
                self.skipTest("cannot mount a volume here")
            return lambda: subprocess.run(["umount", "-l", str(windows_temp)], check=True)

        for name, make in (("link", link), ("mount point", mount)):
            with self.subTest(name):
                undo = make()
                try:
                    before = os.listdir(windows_temp)
                    result = self.run_program(artifact("setup.exe"), args=["/qn"])
                    after = os.listdir(windows_temp)
                finally:
                    undo()
                self.assertEqual(1814, result.exit_code, result.describe())
                self.assertEqual(1, len(result.boxes), result.describe())
                invalid = re.fullmatch(r"The path '(.+)' is invalid\.", result.boxes[0].text)
                self.assertTrue(invalid and WORK_FOLDER.fullmatch(invalid.group(1)),
                                result.describe())
                self.assertEqual(before, after)
                self.assertFalse(any("path to Msi" in line for line in result.log_lines))
                self.assertEqual(-1, self.prefix.msi_state(PRODUCT_CODE))


if __name__ == "__main__":
    unittest.main()
