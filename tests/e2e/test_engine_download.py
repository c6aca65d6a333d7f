"""The Windows Installer engine update fetched from UPDATELOCATION, end to end.

setup-engine-url.exe and setup-engine-url-slash.exe ask for engine 406 and carry UPDATELOCATION
http://127.0.0.1:<port>/engine without and with a trailing "/", and UPDATE update.exe; the port
is the one the download variants were built for. The server gives out the update stand-in signed
by the build's publisher or unsigned. The run receives the download into the folder it made for
itself; a second instance of setup.exe in its /v mode, started from a copy of the held setup.exe
in that folder, verifies it before it may run, and both copies are gone at the end of the step.
"""

import re
import threading
import unittest

from engine_support import PASSIVE, UPGRADE_QUESTION, EngineUpgradeTestCase
from testbed import artifact, win_build_dir
from testbed.results import WORK_FOLDER
from trust_support import download_port, publisher_root

UPDATE_PATH = "/engine/update.exe"
DOWNLOADING_DETAIL = "Downloading Windows Installer update executable"
RUNNING = re.compile(r"^\[Info\] Running update package from --> (.+)$")


class UrlUpgradeTest(EngineUpgradeTestCase):
    root_cert = publisher_root()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.port = download_port()
        cls.url = f"http://127.0.0.1:{cls.port}{UPDATE_PATH}"

    def serve(self, standin="update_v406", **kwargs):
        data = artifact(f"{standin}.exe").read_bytes()
        return self.http_server(files={UPDATE_PATH: data}, port=self.port, **kwargs)

    def assert_left_the_cache(self, result, copy=None):
        """No entry for the update in the URL cache; the run's own copy (in its folder) gone."""
        self.assertEqual([], [e for e in self.prefix.url_cache() if e[0] == self.url],
                         result.describe())
        if copy:
            self.assertTrue(WORK_FOLDER.match(copy) and copy.endswith("\\update.exe"), copy)
            self.assertFalse(self.prefix.to_linux(copy).exists(), copy)

    def test_update_location_with_or_without_slash_gives_one_url(self):
        # The package's exit code chooses how far each run goes: 0 installs the product, 3011
        # ends the run right after the package.
        # The detail text stays while the package runs; the package finishes only once the
        # harness has recorded it.
        server = self.serve()
        seen = self.prefix.scratch / "update-text-seen"
        for variant, package_exit in (("setup-engine-url.exe", 0),
                                      ("setup-engine-url-slash.exe", 3011)):
            with self.subTest(variant=variant):
                self.record.unlink(missing_ok=True)
                earlier = len(server.requests)
                result = self.run_setup(
                    variant, ["/qn"], exit_code=package_exit,
                    env={"BOOTSTRAPPER_UPDATE_HOLD": self.prefix.to_windows(seen)},
                    seen_files={DOWNLOADING_DETAIL: seen})
                self.assertEqual(package_exit, result.exit_code, result.describe())
                self.assertEqual([("GET", UPDATE_PATH)],
                                 [(method, path) for method, path, _ in server.requests[earlier:]])
                self.assertIn(f"[Info] Downloading update package from --> {self.url}",
                              result.log_lines)
                self.assertIn(DOWNLOADING_DETAIL, result.dialog.detail_texts, result.describe())
                self.assertIn("[Info] Verification of Update returned 0", result.log_lines)
                # What was verified and run is the copy in the run's own folder.
                copy = [RUNNING.match(line).group(1) for line in result.log_lines
                        if RUNNING.match(line)]
                self.assertEqual(1, len(copy), result.describe())
                self.assertEqual([f'"{copy[0]}"{PASSIVE}'], self.starts())
                self.assert_left_the_cache(result, copy[0])

    def test_setup_exe_that_cannot_be_held_is_neither_checked_nor_started_by_its_path(self):
        # A process of the user's opens setup.exe for deleting before the run starts, so that
        # the run cannot hold its own file, and lets go once the run has tried (its log names the
        # command line), so that a check by the path would pass; once the run is downloading the
        # update it renames setup.exe away and puts another program at its path: the update
        # stand-in, which records each of its starts. Started from that path as the verifying
        # instance, it ran elevated and its exit code 0 passed the update. The run ends at its
        # own signature check instead, with the error of the hold, and nothing is ever started
        # from the path.
        media = self.media_copy("setup-engine-url.exe")
        scratch = self.prefix.scratch
        ready, seen, done = (scratch / name for name in ("swap-ready", "swap-go", "swap-done"))
        for signal in (ready, done):
            signal.unlink(missing_ok=True)
        # The transfer waits until the attacker has made its swap.
        self.serve(chunk_size=1024, stall_after=1024, release_file=done)
        win = self.prefix.to_windows
        impostor = win_build_dir() / "tests" / "windows" / "engine" / "update_v406.exe"
        answer = []
        attacker = threading.Thread(target=lambda: answer.extend(self.prefix.wintool(
            ["hold-and-swap", win(media / "setup.exe"), win(impostor), win(ready),
             win(self.prefix.temp_dir / "bootstrap.log"), "[Info] command option --> qn",
             win(seen), win(done)], timeout=400)))
        attacker.start()
        try:
            self.assertTrue(self.wait_for_file(ready), "the attacker did not open setup.exe")
            result = self.run_program(
                media / "setup.exe", args=["/qn"],
                env={"BOOTSTRAPPER_UPDATE_EXIT": "0",
                     "BOOTSTRAPPER_UPDATE_RECORD": win(self.record)},
                answers=[("newer version of the Windows Installer", "yes")],
                seen_files={DOWNLOADING_DETAIL: seen})
        finally:
            # An attacker still waiting for the download goes on now, and swaps in vain.
            seen.write_text("go")
            attacker.join(420)
        self.assertEqual(0, answer[0]["opened"], answer)
        self.assertEqual([], [line for line in self.starts() if " /v " in line])
        self.assertEqual(32, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertIn("[Error] Setup cannot hold its own file (error 32): it is neither checked "
                      "nor started by its path", result.log_lines)
        self.assertFalse(any(line.startswith("[WVT]") for line in result.log_lines))

    def test_unsigned_update_is_never_run(self):
        self.serve("update_v406_unsigned")
        result = self.run_setup("setup-engine-url.exe", ["/qn"], exit_code=0)
        self.assertEqual(4, result.exit_code, result.describe())
        self.assertEqual(2, len(result.boxes), result.describe())
        self.assertEqual(("question", UPGRADE_QUESTION), (result.boxes[0].icon,
                                                          result.boxes[0].text))
        untrusted = re.fullmatch(r"Installation failed\.  '(.+)' is not trusted\.",
                                 result.boxes[1].text)
        self.assertIsNotNone(untrusted, result.describe())
        self.assertEqual("error", result.boxes[1].icon)
        # The box names the copy that was verified, not the URL.
        self.assertIn("[Info] Verification of Update returned -2146762748", result.log_lines)
        self.assertEqual([], self.starts())
        self.assert_left_the_cache(result, untrusted.group(1))

    def test_failed_transfer_names_the_url(self):
        self.http_server(refuse=True, port=self.port)
        result = self.run_setup("setup-engine-url.exe", ["/qn"], exit_code=0)
        self.assertEqual(2, result.exit_code, result.describe())
        self.assertEqual([("question", UPGRADE_QUESTION, True),
                          ("error", f"Setup was unable to find the update file '{self.url}'.",
                           True)],
                         self.box_summary(result), result.describe())
        self.assertEqual([], self.starts())
        self.assert_left_the_cache(result)

    def test_escape_during_the_transfer_cancels(self):
        # Held after its first piece until Escape has been pressed in the visible dialog: the
        # next data event sees it.
        seen = self.prefix.scratch / "update-text-seen"
        self.serve(chunk_size=1024, stall_after=1024, release_file=seen)
        result = self.run_setup("setup-engine-url.exe", [], exit_code=0,
                                escape_when=DOWNLOADING_DETAIL,
                                seen_files={DOWNLOADING_DETAIL: seen})
        self.assertEqual(1602, result.exit_code, result.describe())
        self.assertTrue(result.dialog.escape_sent, result.describe())
        self.assertEqual([("question", UPGRADE_QUESTION, True),
                          ("warning", "Setup was cancelled", True)],
                         self.box_summary(result), result.describe())
        self.assertEqual([], self.starts())
        self.assert_left_the_cache(result)


if __name__ == "__main__":
    unittest.main()
