"""The product package fetched from a base URL on 127.0.0.1.

setup-download.exe and setup-download-slash.exe carry BASEURL http://127.0.0.1:<port>/packages,
without and with a trailing "/"; the port was fixed when the build was configured (see
tests/windows/trust/Trust.cmake) and the server of each test listens on it. The package is
downloaded with progress into the folder the run made for itself, under the package's own name,
held, verified against the executable's signer, and the Windows Installer is given that verified
copy; the URL becomes a source of the installed product, and the copy and the URL cache's entry
are gone at the end of the run. setup-download-own-signer.exe accepts only a package signed with
its own certificate (PACKAGESIGNER = SETUP).
"""

import re
import shutil
import threading
import unittest
from pathlib import PureWindowsPath

from demo_product import RECEIVED_KEY, remove_demo_product
from testbed import SetupTestCase, artifact, win_build_dir
from trust_support import (PACKAGE_NAME, PRODUCT_CODE, STEP3_FULL_UI, STEP3_SAME_PUBLISHER,
                           TRUSTED_STEPS, WVT_NO_SIGNATURE, WVT_TRUSTED, download_port,
                           publisher_root, steps_in, trust_file)

ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_NOT_TRUSTED = 4
ERROR_INSTALL_USEREXIT = 1602

PACKAGE_PATH = f"/packages/{PACKAGE_NAME}"
DOWNLOADING = f"Downloading package '{PACKAGE_NAME}'"
VERIFYING = f"Verifying digital signature of '{PACKAGE_NAME}'"
CACHED = re.compile(r"^\[Info\] Msi file was cached to (.+)$")


def packed(guid: str) -> str:
    """A GUID as the installer's registry keys spell it."""
    hex_digits = guid.strip("{}").replace("-", "")
    swapped = "".join(hex_digits[i + 1] + hex_digits[i] for i in range(16, 32, 2))
    return hex_digits[7::-1] + hex_digits[11:7:-1] + hex_digits[15:11:-1] + swapped


class DownloadTest(SetupTestCase):
    root_cert = publisher_root()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        other = publisher_root("other-publisher")
        if other:
            cls.prefix.add_root_cert(other)
        cls.port = download_port()
        cls.url = f"http://127.0.0.1:{cls.port}{PACKAGE_PATH}"
        cls.downloading = f"[Info] Downloading msi file {cls.url} for WinVerifyTrust check"

    def serve(self, package: str = "signed", **kwargs):
        """Serves the demo package signed as named (signed, other-publisher, unsigned)."""
        data = trust_file(f"{package}/{PACKAGE_NAME}").read_bytes()
        return self.http_server(files={PACKAGE_PATH: data}, port=self.port, **kwargs), data

    def serve_held(self, package: str, piece: int = 4096):
        """Serves the package held after its first piece, in every run, until the harness has
        recorded the download's text (and pressed Escape, when a run asks for it); returns the
        server, the package and the `seen_files` of the run."""
        seen = self.prefix.scratch / "download-text-seen"
        server, data = self.serve(package, chunk_size=piece, stall_after=piece, release_file=seen)
        return server, data, {DOWNLOADING: seen}

    def download_steps(self, result):
        """The "[WVT]" lines of the downloaded package's verification."""
        lines = result.log_lines
        return steps_in(lines[lines.index(self.downloading):])

    def assert_not_in_cache(self, result):
        """The URL cache holds no entry for the package, and the copy that was verified is
        gone. (An aborted or refused transfer can leave a partial file that never became an
        entry; that file is the download machinery's, not the program's.)"""
        self.assertEqual([], [e for e in self.prefix.url_cache() if e[0] == self.url],
                         result.describe())
        for line in result.log_lines:
            match = CACHED.match(line)
            if match:
                self.assertFalse(self.prefix.to_linux(match.group(1)).exists(), line)

    def test_signed_package_installs_from_its_url(self):
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", RECEIVED_KEY)
        # The first request gets the signed package, every later one an unsigned package of
        # another version: a second fetch by the installer would install bytes nobody checked.
        # Each transfer is held after its first piece until the harness has recorded the
        # download's text.
        other = (win_build_dir() / "tests" / "windows" / "packages" / "v510" /
                 PACKAGE_NAME).read_bytes()
        signed = trust_file(f"signed/{PACKAGE_NAME}").read_bytes()
        seen = self.prefix.scratch / "download-text-seen"
        server = self.http_server(files={PACKAGE_PATH: [signed, other]}, port=self.port,
                                  chunk_size=4096, stall_after=4096, release_file=seen)
        result = self.run_program(artifact("setup-download.exe"), args=["/qn"],
                                  seen_files={DOWNLOADING: seen})
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        self.assertEqual(("REG_SZ", "5.0.0"),
                         self.prefix.reg_get("HKLM", RECEIVED_KEY, "ProductVersion"))

        lines = result.log_lines
        self.assertIn(f"[Info] BASEURL found: http://127.0.0.1:{self.port}/packages", lines)
        self.assertIn(self.downloading, lines)
        cached = [CACHED.match(line).group(1) for line in lines if CACHED.match(line)]
        self.assertEqual(1, len(cached), result.describe())
        # The downloaded copy is copied into the run's own folder under the package's name; that
        # copy is verified against the executable's own signer and is what the installer is
        # given; the identity was read from it too.
        self.assertEqual(TRUSTED_STEPS, self.download_steps(result))
        work = result.work_folder
        self.assertIn(f"[Info] Calling MsiInstallProduct with szInstallPath = {work}{PACKAGE_NAME}"
                      ", and szCommandLine = MSI_VIA_EXE=true", result.log)
        self.assertIn(f"[Info] The product code '{PRODUCT_CODE}' is unknown. Will use first time "
                      "install logic...", lines)
        # The package's folder at its URL is the product's source, tried first, under the
        # package's own name.
        source = self.url[:self.url.rindex("/") + 1]
        self.assertEqual(f"[Info] Registered URL source for the product: {source}",
                         lines[lines.index("[Info] MsiInstallProduct returned 0") + 1])
        source_list = f"Software\\Classes\\Installer\\Products\\{packed(PRODUCT_CODE)}\\SourceList"
        view = self.prefix.installer_view
        self.assertEqual(("REG_SZ", PACKAGE_NAME),
                         self.prefix.reg_get("HKLM", source_list, "PackageName", view=view))
        self.assertEqual(("REG_EXPAND_SZ", source),
                         self.prefix.reg_get("HKLM", source_list + "\\URL", "1", view=view))
        self.assertTrue(self.prefix.reg_get("HKLM", source_list, "LastUsedSource",
                                            view=view)[1].endswith(source))
        self.assertEqual(1, server.count(PACKAGE_PATH))
        # (The harness may also catch a text half written; the whole one follows. The text of
        # the verification lasts only until the next step here: the refused package's box holds
        # it in the next test.)
        self.assertIn(DOWNLOADING, result.dialog.detail_texts, result.describe())
        self.assert_not_in_cache(result)

    def test_the_product_is_installed_again_and_repaired_from_its_url(self):
        # The installer keeps the name of the copy it installed from as the product's package
        # name, and the URL as its source; a second run of the same product installs it again,
        # and a repair that re-reads the package ("v"), with every copy of it gone, fetches it
        # from the URL.
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", RECEIVED_KEY)
        server, _ = self.serve()
        decisions = []
        for _ in range(2):
            result = self.run_program(artifact("setup-download.exe"), args=["/qn"])
            self.assertEqual(0, result.exit_code, result.describe())
            decisions += [line for line in result.log_lines if "product code" in line]
            self.assert_not_in_cache(result)
        self.assertEqual([f"[Info] The product code '{PRODUCT_CODE}' is unknown. Will use first "
                          "time install logic...",
                          f"[Info] The product code '{PRODUCT_CODE}' is known, same version. Use "
                          "first run logic"], decisions)
        fetched = server.count(PACKAGE_PATH)
        self.assertEqual(0, self.prefix.msi_reinstall(PRODUCT_CODE, "vomus"))
        self.assertEqual(fetched + 1, server.count(PACKAGE_PATH))
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))

    def test_unsigned_package_is_refused_by_its_url_with_or_without_a_trailing_slash(self):
        # Served in pieces, so that the bar moves through several data events.
        _, data, seen = self.serve_held("unsigned")
        for variant in ("setup-download.exe", "setup-download-slash.exe"):
            with self.subTest(variant):
                result = self.run_program(artifact(variant), seen_files=seen)
                self.assertEqual(ERROR_NOT_TRUSTED, result.exit_code, result.describe())
                # The box holds the dialog as the check left it: the bar ends at the size the
                # end-of-data event reports, after the texts of both steps.
                dialog = result.dialog
                self.assertEqual((0, len(data), len(data)),
                                 (dialog.range_low, dialog.range_high, dialog.pos),
                                 result.describe())
                for text in (DOWNLOADING, VERIFYING):
                    self.assertIn(text, dialog.detail_texts, result.describe())
                # Both base URLs give the same package URL, which the box names.
                self.assertEqual([f"Installation failed.  '{self.url}' is not trusted."],
                                 [b.text for b in result.boxes], result.describe())
                self.assertEqual("error", result.boxes[0].icon)
                self.assertEqual(["[WVT] fPackageIsSigned = FALSE", STEP3_FULL_UI,
                                  WVT_NO_SIGNATURE], self.download_steps(result)[-3:])
                self.assert_not_in_cache(result)
        self.assertEqual(-1, self.prefix.msi_state(PRODUCT_CODE))

    def test_package_of_another_trusted_publisher_passes_the_check(self):
        # Only the log tells the publishers apart; the run goes on to the installation, which the
        # test stops at the first box: none is expected, so a package that passed installs.
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        self.serve("other-publisher")
        result = self.run_program(artifact("setup-download.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(STEP3_FULL_UI, self.download_steps(result)[-2])

    def test_a_product_may_accept_only_a_package_of_its_own_signer(self):
        # A package signed by a second publisher of the same test authority, whom the machine
        # trusts as much as setup.exe's own: accepted as specified, but refused with the box and
        # the code of a package not trusted by a product that asks for setup.exe's own signer
        # (PACKAGESIGNER = SETUP). A package of its own signer installs either way.
        for variant, package, code in (("setup-download.exe", "same-authority", 0),
                                       ("setup-download-own-signer.exe", "same-authority", 4),
                                       ("setup-download-own-signer.exe", "signed", 0)):
            with self.subTest(variant=variant, package=package):
                server, _ = self.serve(package)
                result = self.run_program(artifact(variant), args=["/qn"])
                server.stop()
                self.prefix.msi_remove(PRODUCT_CODE)
                self.assertEqual(code, result.exit_code, result.describe())
                refused = [f"Installation failed.  '{self.url}' is not trusted."]
                self.assertEqual(refused if code == 4 else [], [b.text for b in result.boxes],
                                 result.describe())
                steps = self.download_steps(result)
                self.assertEqual(STEP3_FULL_UI if package != "signed" else STEP3_SAME_PUBLISHER,
                                 steps[-2], steps)
                self.assertEqual(WVT_TRUSTED, steps[-1])

    def test_a_cache_copy_swapped_as_the_transfer_ends_is_not_what_is_installed(self):
        # A process of the user's watches the URL cache and, the moment a copy of the package
        # appears there, renames another trusted publisher's package over it, again and again.
        # The run receives the bytes from the transfer itself into its own folder: an attempt on
        # the cache's copy is refused while the transfer holds it, and comes too late after. What
        # is verified and installed is the genuine package, in each of three runs. (Where the
        # run held and checked the cache's copy once the transfer was done, this attacker won
        # the moment in between in about every other run: that package was checked and
        # installed.)
        self.serve("signed", chunk_size=4096)
        scratch = self.prefix.scratch
        stop = scratch / "attack-stop"
        cache = (str(PureWindowsPath(self.prefix.temp_dir_windows).parent) +
                 "\\AppData\\Local\\Microsoft\\Windows\\INetCache\\Content.IE5")
        # The attacker watches the folder for new files; it is there before the first download.
        self.prefix.to_linux(cache).mkdir(parents=True, exist_ok=True)
        impostor = self.prefix.to_windows(trust_file(f"other-publisher/{PACKAGE_NAME}"))
        for run in range(3):
            stop.unlink(missing_ok=True)
            answer = []
            attacker = threading.Thread(target=lambda: answer.extend(self.prefix.wintool(
                ["attack", "--replace-only", self.prefix.to_windows(stop), "1000000",
                 f"{cache}\\*\\CorvellVesk5*={impostor}"], timeout=400)))
            attacker.start()
            try:
                result = self.run_program(artifact("setup-download.exe"), args=["/qn"])
            finally:
                stop.write_text("stop")
                attacker.join(420)
                self.prefix.msi_remove(PRODUCT_CODE)
            self.assertEqual(0, result.exit_code, result.describe())
            self.assertEqual(TRUSTED_STEPS, self.download_steps(result), f"run {run + 1}")
            (target,) = answer[0]["targets"]
            self.assertGreater(target["attempts"], 0, target)
            print(f"\n  the cache's copy: {target['attempts']} attempts, {target['won']} too late")

    def test_ini_file_comes_back_and_the_feature_file_is_read_from_the_current_folder(self):
        # Nothing is prepared beside the executable on this path: a feature file there is not
        # read, the one in the current folder is; the ini file of /w still comes back beside it.
        self.addCleanup(remove_demo_product, self.prefix)
        media = self.prefix.drive_c / "media"
        current = self.prefix.drive_c / "current"
        for folder in (media / "OEM", current):
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)
            self.addCleanup(shutil.rmtree, folder, True)
        shutil.copy(artifact("setup-download.exe"), media / "setup.exe")
        (media / "OEM" / "Feature.ini").write_text("[oem]\r\nexclude=beside\r\n")
        (current / "Feature.ini").write_text("[oem]\r\nALLDRIVERS=include\r\ninclude=SerialA\r\n")
        self.serve()
        result = self.run_program(media / "setup.exe", args=["/w", "/qb"], cwd=current)
        self.assertEqual(0, result.exit_code, result.describe())
        calls = [line.split("szCommandLine = ", 1)[1] for line in result.log_lines
                 if "szCommandLine = " in line]
        self.assertEqual(["MSI_VIA_EXE=true WRITE_INI_FILE=true EXECUTEMODE=None "
                          "ALLDRIVERS=include ADDLOCAL=InstallationProperties,"
                          "license_techsupport_rtfs,MicrosoftDependancies,Halvane,OPCPellin,"
                          "DeviceDrivers,SerialA ENABLEPLUGINS=0 INTERFACES=exclude"], calls)
        self.assertEqual(("REG_SZ", "include"),
                         self.prefix.reg_get("HKLM", RECEIVED_KEY, "ALLDRIVERS"))
        self.assertIn(b"[Installation Properties]", (media / "CorvellVesk5.ini").read_bytes())

    def test_temporary_folder_that_cannot_be_made_ends_the_run_before_the_transfer(self):
        server, _ = self.serve()
        result = self.run_program(artifact("setup-download.exe"), args=["/qn"],
                                  env={"TMP": "Q:\\Temp", "TEMP": "Q:\\Temp"})
        self.assertEqual(ERROR_PATH_NOT_FOUND, result.exit_code, result.describe())
        self.assertEqual([("The path 'Q:\\Temp\\' is invalid.", "error")],
                         [(b.text, b.icon) for b in result.boxes], result.describe())
        self.assertEqual(0, server.count())

    def test_refused_connection(self):
        server = self.http_server(refuse=True, port=self.port)
        result = self.run_program(artifact("setup-download.exe"))
        self.assertEqual(ERROR_FILE_NOT_FOUND, result.exit_code, result.describe())
        self.assertEqual(
            [f"Setup was unable to find the msi package or patch '{self.url}'."],
            [b.text for b in result.boxes], result.describe())
        self.assertEqual(0, server.count())
        self.assert_not_in_cache(result)

    def test_escape_during_a_slow_transfer_cancels(self):
        # Held after its first piece until Escape has been pressed: the next data event sees it.
        server, data, seen = self.serve_held("signed", piece=1024)
        result = self.run_program(artifact("setup-download.exe"), escape_when=DOWNLOADING,
                                  seen_files=seen)
        self.assertTrue(result.dialog.escape_sent, result.describe())
        self.assertEqual(ERROR_INSTALL_USEREXIT, result.exit_code, result.describe())
        self.assertEqual([("Setup was cancelled", "warning")],
                         [(b.text, b.icon) for b in result.boxes], result.describe())
        self.assertEqual(1, server.count(PACKAGE_PATH))
        self.assertFalse(any(CACHED.match(line) for line in result.log_lines))
        self.assert_not_in_cache(result)
        print(f"\n  escape: {server.bytes_sent} of {len(data)} bytes sent, "
              f"aborted: {server.aborted}")


if __name__ == "__main__":
    unittest.main()
