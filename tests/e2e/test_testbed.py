"""Tests of the test bed itself: the harness, wintool, the prefix and the HTTP server.

The harness is checked against boxprobe.exe, a program whose every window is known, so that a
fault in what the bootstrapper's tests rely on (a box's icon, the answer pressed, Escape reaching
IDCANCEL, the whole exit code, the kill at a time-out) shows up here first.
"""

import http.client
import os
import shutil
import subprocess
import tempfile
import unittest
import urllib.error
import urllib.request
from pathlib import Path

from testbed import HarnessTimeout, HttpServer, SetupTestCase, artifact, flavours, paths
from testbed.wine import run_unit_test

IDYES, IDNO = 6, 7
ERROR_INSTALL_USEREXIT = 1602
ERROR_TIMEOUT = 1460  # boxprobe's exit when no Escape came
# A box over the dialog: the harness reads the dialog whole before it answers.
READ_AT_BOX = ("box", "information", "ok", "dialog", "Read", "the dialog as it stands")


class HarnessTest(SetupTestCase):
    def probe(self, *actions, **kwargs):
        return self.run_program(artifact("boxprobe.exe"), args=list(actions), **kwargs)

    def seen_file(self):
        """A file for --seen-file, and its name as boxprobe's "await" takes it."""
        path = self.prefix.scratch / f"seen-{self._testMethodName}"
        return path, self.prefix.to_windows(path)

    def test_exit_code_arrives_whole(self):
        # Wine's own status would give only the low 8 bits (0x04 and 0xC2).
        for code in (0x800B0004, 3010):
            with self.subTest(code=hex(code)):
                result = self.probe("exit", hex(code))
                self.assertEqual(code, result.exit_code, result.describe())

    def test_boxes_give_caption_text_icon_buttons_and_owner(self):
        result = self.probe(
            "box", "error", "ok", "none", "E", "error text",
            "box", "warning", "okcancel", "none", "W", "warning text",
            "box", "information", "ok", "none", "I", "information text",
            "box", "question", "yesno", "none", "Q", "question text",
            "box", "none", "retrycancel", "none", "N", "no icon",
            "dialog", "main", "busy",
            "box", "warning", "ok", "dialog", "Owned", "over the dialog")
        seen = [(b.caption, b.text, b.icon, b.button_labels, b.has_owner, b.owner_is_dialog)
                for b in result.boxes]
        self.assertEqual([
            ("E", "error text", "error", ["OK"], False, False),
            ("W", "warning text", "warning", ["OK", "Cancel"], False, False),
            ("I", "information text", "information", ["OK"], False, False),
            ("Q", "question text", "question", ["Yes", "No"], False, False),
            ("N", "no icon", "none", ["Retry", "Cancel"], False, False),
            ("Owned", "over the dialog", "warning", ["OK"], True, True),
        ], seen, result.describe())
        self.assertTrue(all(b.main_process for b in result.boxes))

    def test_answer_rules_decide_the_button(self):
        question = ("box", "question", "yesno", "none", "Confirm", "Proceed?", "exit-result")
        cases = [
            ("pattern in the text", dict(answers={"Proceed": "yes"}), IDYES, "pattern"),
            ("pattern in the caption", dict(answers=[("Confirm", "yes")]), IDYES, "pattern"),
            ("first matching rule", dict(answers=[("Proceed", "no"), ("Confirm", "yes")]), IDNO,
             "pattern"),
            ("no rule matches: No", dict(answers={"elsewhere": "yes"}), IDNO, "box-default"),
            ("default answer", dict(default_answer="yes"), IDYES, "default-answer"),
        ]
        for name, kwargs, code, rule in cases:
            with self.subTest(name):
                result = self.probe(*question, **kwargs)
                self.assertEqual(code, result.exit_code, result.describe())
                self.assertEqual(rule, result.boxes[0].answer_rule)

    def test_texts_keep_every_character(self):
        caption = "Ünïcødé ✓ 日本語"
        text = 'line one\nline "two" with C:\\path\\ and\ttab'
        result = self.probe("box", "information", "ok", "none", caption, text)
        self.assertEqual((caption, text), (result.boxes[0].caption, result.boxes[0].text))

    def test_arguments_reach_the_program_as_given(self):
        args = ["a b", 'q"uote', "trail\\", "", "tab\there", 'back\\\\"x', "\\\\server\\share\\"]
        result = self.probe("show-argv", *args)
        self.assertEqual("\n".join(args), result.boxes[0].text)

        raw = 'show-cmdline /a "E:\\My Image" /qn\t/x  '
        result = self.run_program(artifact("boxprobe.exe"), raw_args=raw)
        exe = self.prefix.to_windows(artifact("boxprobe.exe"))
        self.assertEqual(f'"{exe}" {raw}', result.boxes[0].text)

    def test_folder_and_environment_of_the_program(self):
        folder = self.prefix.temp_dir / "Work Folder"
        folder.mkdir()
        probe = ("show-cwd", "show-env", "TESTBED_SET", "show-env", "USERNAME")
        result = self.probe(*probe)
        self.assertEqual(["<unset>", "root"], [b.text for b in result.boxes[1:]])
        result = self.probe(*probe, cwd=folder,
                            env={"TESTBED_SET": "value with spaces", "USERNAME": None})
        self.assertEqual([self.prefix.to_windows(folder), "value with spaces", "<unset>"],
                         [b.text for b in result.boxes])

    def test_progress_dialog_texts_bar_and_place(self):
        # Each state lasts only until the next action: the boxes make it last until it is read.
        result = self.probe(
            "title", "Probe title", "dialog",
            "main", "first main", "detail", "first detail", *READ_AT_BOX,
            "main", "second main", "range", "200", "pos", "150", *READ_AT_BOX,
            "pos", "80", "detail", "second detail", *READ_AT_BOX)
        d = result.dialog
        self.assertTrue(d.seen and d.visible)
        self.assertEqual("Probe title", d.title)
        # Texts set between the same two boxes may be polled in either order; a box between them
        # orders them.
        self.assertEqual([(114, "first main"), (116, "first detail")], sorted(d.texts[:2]),
                         result.describe())
        self.assertEqual([(114, "second main"), (116, "second detail")], d.texts[2:],
                         result.describe())
        self.assertEqual((0, 200, 80, 150), (d.range_low, d.range_high, d.pos, d.max_pos))
        self.assertEqual((0, 0, 1280, 1024), tuple(d.work_area))
        # boxprobe centres the dialog in the work area, as the bootstrapper does.
        self.assertEqual((1280 - d.rect.width) // 2, d.rect.left)
        self.assertEqual((1024 - d.rect.height) // 2, d.rect.top)

    def test_hidden_dialog_is_seen_but_never_visible(self):
        # The probe holds the text until the harness has recorded it and made the file.
        seen, seen_windows = self.seen_file()
        result = self.probe("dialog-hidden", "main", "quiet text", "await", seen_windows, "60000",
                            seen_files={"quiet text": seen})
        self.assertTrue(seen.exists(), result.describe())
        self.assertTrue(result.dialog.seen)
        self.assertFalse(result.dialog.visible)
        self.assertEqual(["quiet text"], result.dialog.main_texts)

    def test_escape_goes_through_the_programs_dialog_messages(self):
        steps = ("dialog", "main", "working", "pump", "100", "detail", "waiting for Escape")
        result = self.probe(*steps, "wait-cancel", "20000", escape_when="for Escape")
        self.assertEqual(ERROR_INSTALL_USEREXIT, result.exit_code, result.describe())
        self.assertTrue(result.dialog.escape_sent)
        # A pump without IsDialogMessageW never sees IDCANCEL: the harness does not go around it.
        # The file is made after Escape was posted, so the probe pumps with Escape in its queue.
        seen, seen_windows = self.seen_file()
        result = self.probe(*steps[:1], "plain-pump", *steps[1:], "await", seen_windows, "60000",
                            "wait-cancel", "1500", escape_when="for Escape",
                            seen_files={"for Escape": seen})
        self.assertTrue(result.dialog.escape_sent)
        self.assertEqual(ERROR_TIMEOUT, result.exit_code)

    def test_timeout_ends_the_tree_and_lists_its_windows(self):
        with self.assertRaises(HarnessTimeout) as caught:
            self.probe("window", "Parent window", "spawn", "window", "Child window", "hang",
                       timeout=3)
        result = caught.exception.result
        self.assertTrue(result.timed_out)
        self.assertIsNone(result.exit_code)
        windows = {(w["caption"], tuple(c["text"] for c in w["children"]))
                   for w in result.windows_at_timeout}
        self.assertEqual({("Parent window", ("inside Parent window",)),
                          ("Child window", ("inside Child window",))}, windows)
        self.assertEqual(2, len(result.killed))
        self.assertTrue(all(k["ended"] for k in result.killed), result.killed)
        self.assertIn("Child window", str(caught.exception))

    def test_box_of_a_descendant_is_recorded_and_answered(self):
        result = self.probe("spawn", "box", "question", "yesno", "none", "Child asks",
                            "From the child", "exit-result", answers={"Child asks": "yes"})
        self.assertEqual(IDYES, result.exit_code, result.describe())
        (box,) = result.boxes
        self.assertFalse(box.main_process)
        self.assertEqual(2, len(result.processes))
        self.assertEqual(result.processes[1]["pid"], box.pid)

    def test_crash_ends_with_the_exception_code(self):
        result = self.probe("window", "Before the crash", "crash", timeout=30)
        self.assertEqual(0xC0000005, result.exit_code, result.describe())

    def test_peak_private_bytes_covers_an_allocation(self):
        # Memory is sampled before the box is answered, while the allocation is still there.
        result = self.probe("alloc", "64", "box", "none", "ok", "none", "Held", "allocated")
        self.assertGreaterEqual(result.peak_private_bytes, 64 * 1024 * 1024)

    def test_log_is_this_runs_bootstrap_log(self):
        self.probe("log", "stale line")
        result = self.probe("log", "first", "log", "zweite Zeile: Größe")
        self.assertEqual(["first", "zweite Zeile: Größe"], result.log_lines)
        self.assertEqual(b"first\r\nzweite Zeile: Gr\xf6\xdfe\r\n", result.log_bytes)

        elsewhere = self.prefix.drive_c / "elsewhere"
        elsewhere.mkdir(exist_ok=True)
        result = self.probe("log", "moved", env={"TMP": "C:\\elsewhere"})
        self.assertEqual(["moved"], result.log_lines)


class WinToolTest(SetupTestCase):
    KEY = "Software\\Testbed\\WinToolTest"

    def test_registry_round_trip(self):
        self.addCleanup(self.prefix.reg_delete_key, "HKCU", self.KEY)
        self.prefix.reg_set("HKCU", self.KEY, "text", "REG_SZ", "wert ü")
        self.prefix.reg_set("HKCU", self.KEY, "expand", "REG_EXPAND_SZ", "%TEMP%\\x")
        self.prefix.reg_set("HKCU", self.KEY + "\\sub", "number", "REG_DWORD", "0x80000001")
        self.assertEqual(("REG_SZ", "wert ü"), self.prefix.reg_get("HKCU", self.KEY, "text"))
        self.assertEqual(("REG_EXPAND_SZ", "%TEMP%\\x"),
                         self.prefix.reg_get("HKCU", self.KEY, "expand"))
        self.assertEqual(("REG_DWORD", 0x80000001),
                         self.prefix.reg_get("HKCU", self.KEY + "\\sub", "number"))
        self.assertIsNone(self.prefix.reg_get("HKCU", self.KEY, "missing"))

        self.assertTrue(self.prefix.reg_delete_value("HKCU", self.KEY, "text"))
        self.assertIsNone(self.prefix.reg_get("HKCU", self.KEY, "text"))
        self.assertTrue(self.prefix.reg_delete_key("HKCU", self.KEY))
        self.assertIsNone(self.prefix.reg_get("HKCU", self.KEY + "\\sub", "number"))
        self.assertFalse(self.prefix.reg_delete_key("HKCU", self.KEY))

    def test_msi_install_query_and_remove(self):
        product = "{6A0C1E52-4B1B-4C1E-9E51-6F1D8F3B2A10}"
        package = _build_probe_package(Path(self.make_temp_dir()))
        self.assertEqual(-1, self.prefix.msi_state(product))
        self.assertEqual(0, self.prefix.msi_install(package))
        self.addCleanup(self.prefix.msi_remove, product)
        self.assertEqual(5, self.prefix.msi_state(product))
        self.assertEqual("1.2.3", self.prefix.msi_product_prop(product, "VersionString"))
        self.assertEqual("C:\\TestbedProbe\\",
                         self.prefix.msi_product_prop(product, "InstallLocation"))
        self.assertTrue(self.prefix.file_exists("C:\\TestbedProbe\\payload.txt"))
        self.assertEqual(0, self.prefix.msi_remove(product))
        self.assertEqual(-1, self.prefix.msi_state(product))

    def test_root_certificate_is_added(self):
        folder = Path(self.make_temp_dir())
        cert = folder / "root.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Testbed Root", "-keyout", str(folder / "root.key"),
                        "-out", str(cert)], check=True, capture_output=True)
        self.assertFalse(self.prefix.root_cert_present(cert))
        self.prefix.add_root_cert(cert)
        self.assertTrue(self.prefix.root_cert_present(cert))

    def test_paths_files_and_temp(self):
        self.assertTrue(self.prefix.temp_dir.is_dir())
        self.assertEqual(self.prefix.temp_dir, self.prefix.to_linux(self.prefix.temp_dir_windows))
        folder = self.prefix.temp_dir / "Sub Folder"
        folder.mkdir()
        (folder / "file.txt").write_text("x")
        windows = self.prefix.to_windows(folder)
        self.assertTrue(windows.startswith("C:\\users\\"), windows)
        self.assertEqual(folder, self.prefix.to_linux(windows.upper()))
        self.assertEqual(["file.txt"], self.prefix.ls(windows))
        self.assertTrue(self.prefix.delete(windows))
        self.assertFalse(folder.exists())
        self.assertFalse(self.prefix.file_exists(windows + "\\file.txt"))

    def make_temp_dir(self) -> str:
        folder = tempfile.mkdtemp(prefix="testbed-")
        self.addCleanup(shutil.rmtree, folder, True)
        return folder


class Win64XpTest(SetupTestCase):
    arch = "win64"
    windows_version = "winxp"

    def test_platform_answers(self):
        # The 32-bit tools run under WOW64, the 64-bit ones natively.
        self.assertEqual(self.prefix.flavour == flavours.X86, self.prefix.wow64())
        v = self.prefix.version()
        self.assertEqual((5, 1, 3), (v["major"], v["minor"], v["sp_major"]))

    def test_harness_under_wow64(self):
        result = self.run_program(artifact("boxprobe.exe"),
                                  args=["box", "error", "ok", "none", "C", "T", "exit", "0xC0000135"])
        self.assertEqual(0xC0000135, result.exit_code)
        self.assertEqual([("C", "error")], [(b.caption, b.icon) for b in result.boxes])

    def test_registry_views_are_separate(self):
        key = "Software\\Testbed\\Views"
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", key, 64)
        self.prefix.reg_set("HKLM", key, "v", "REG_SZ", "in 64", view=64)
        self.assertEqual(("REG_SZ", "in 64"), self.prefix.reg_get("HKLM", key, "v", view=64))
        self.assertIsNone(self.prefix.reg_get("HKLM", key, "v", view=32))


class FlavourProbeTest(unittest.TestCase):
    """The decision of which flavours run here, made again from the build's probes: the 64-bit
    probe runs everywhere, the 32-bit one exactly where the build found that 32-bit programs run,
    and BOOTSTRAPPER_64BIT_ONLY=1 makes any machine decide as one that cannot."""

    def decide(self, **env):
        probes = paths.build_dir() / "testbed"
        saved = {name: os.environ.get(name) for name in env}
        os.environ.update(env)
        try:
            return flavours.decide(probes / "probe-x86.exe", probes / "probe-x64.exe")
        finally:
            for name, value in saved.items():
                os.environ.pop(name) if value is None else os.environ.update({name: value})

    def test_both_ways(self):
        answer = self.decide(BOOTSTRAPPER_64BIT_ONLY="0")
        self.assertTrue(answer["x64"], answer)
        # A build configured with the switch did not learn what the machine itself runs.
        if not flavours.forced_64bit_only():
            self.assertEqual(flavours.runs_32bit(), answer["x86"], answer)
        answer = self.decide(BOOTSTRAPPER_64BIT_ONLY="1")
        self.assertEqual((False, True), (answer["x86"], answer["x64"]), answer)
        self.assertIn("BOOTSTRAPPER_64BIT_ONLY=1", answer["reason"])


class UnitTestRunnerTest(unittest.TestCase):
    def test_status_and_output_of_a_console_program(self):
        with tempfile.TemporaryFile() as out:
            self.assertEqual(0, run_unit_test(str(artifact("wintool.exe")), ["sysdir"], stdout=out))
            out.seek(0)
            self.assertIn(b'"path":"C:\\\\windows\\\\system32"', out.read())
        with tempfile.TemporaryFile() as out:
            self.assertNotEqual(0, run_unit_test(str(artifact("wintool.exe")), ["no-such-command"],
                                                 stdout=out))


class HttpServerTest(unittest.TestCase):
    def test_serves_counts_and_refuses_unknown_paths(self):
        with HttpServer(files={"/pkg.msi": b"x" * 100000}) as server:
            with urllib.request.urlopen(server.url("pkg.msi"), timeout=10) as reply:
                self.assertEqual("100000", reply.headers["Content-Length"])
                self.assertEqual(b"x" * 100000, reply.read())
            with self.assertRaises(urllib.error.HTTPError) as caught:
                urllib.request.urlopen(server.url("missing"), timeout=10)
            self.assertEqual(404, caught.exception.code)
            self.assertEqual(1, server.count("/pkg.msi"))
            self.assertEqual(2, server.count())
            self.assertTrue(server.base_url.startswith("http://127.0.0.1:"))

    def test_stalled_transfer_waits_for_release(self):
        with HttpServer(files={"/f": b"abcdef"}, stall_after=2) as server:
            reply = urllib.request.urlopen(server.url("f"), timeout=10)
            self.assertEqual(b"ab", reply.read(2))
            self.assertTrue(server.wait_stalled(10))
            server.release()
            self.assertEqual(b"cdef", reply.read())
            reply.close()

    def test_stop_cuts_a_slow_transfer_short(self):
        server = HttpServer(files={"/slow": b"0123456789" * 10}, chunk_size=10,
                            delay_per_chunk=600).start()
        reply = urllib.request.urlopen(server.url("slow"), timeout=30)
        self.assertEqual(b"0123456789", reply.read(10))
        server.stop()
        with self.assertRaises(http.client.IncompleteRead):
            reply.read()
        reply.close()

    def test_refuse_mode_refuses_connections(self):
        with HttpServer(refuse=True) as server:
            with self.assertRaises(urllib.error.URLError) as caught:
                urllib.request.urlopen(server.url("f"), timeout=10)
            self.assertIsInstance(caught.exception.reason, ConnectionRefusedError)


_PROBE_WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{6A0C1E52-4B1B-4C1E-9E51-6F1D8F3B2A10}" Name="Testbed Probe" Language="1033"
           Version="1.2.3" Manufacturer="Testbed" UpgradeCode="{0F3B8C55-2C1D-4E55-8B77-1D2A3C4B5E60}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="probe.cab" EmbedCab="yes"/>
    <Property Id="ARPINSTALLLOCATION" Value="C:\\TestbedProbe\\"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="INSTALLDIR" Name="TestbedProbe">
        <Component Id="Main" Guid="{3C1D2B4A-5E6F-4A1B-8C2D-3E4F5A6B7C8D}">
          <File Id="Payload" Source="payload.txt" KeyPath="yes"/>
        </Component>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="Main"/></Feature>
  </Product>
</Wix>
"""


def _build_probe_package(folder: Path) -> Path:
    (folder / "payload.txt").write_text("payload\n")
    (folder / "probe.wxs").write_text(_PROBE_WXS)
    subprocess.run(["wixl", "-o", "probe.msi", "probe.wxs"], cwd=folder, check=True,
                   capture_output=True)
    return folder / "probe.msi"


if __name__ == "__main__":
    unittest.main()
