"""The start of every run: the usage box, a rejected command line, a second instance, and
bootstrap.log, of which one whole run is compared line by line."""

import difflib
import re
import threading
import unittest

from demo_product import CAPTION, PRODUCT_CODE, RUNTIME_KEY
from testbed import SetupTestCase, artifact
from testbed.results import WORK_FOLDER

USAGE_TEXT = (
    "Usage: (Version 1.15)\n"
    "    /? :  Show this help dialog\n"
    "    [/p] [/q[n|f|b|r]] :  Normal installation\n"
    "    /a <PATH> [/q[n|f|b|r]] :  Administrative Install to <PATH>\n"
    "    /w [/p] [/q[b|f]] :  Configure and write ini file\n"
    "    /x [/q[n|b]] :  Uninstall product\n"
    "    /p :  Override path/hard drive check\n"
    "    /q[n|f|b|r] :  Specify UI level for install (None, Full, Basic, Reduced)\n")
ERROR_INSTALL_ALREADY_RUNNING = 1618

# The whole bootstrap.log of a silent first installation on a machine without the C++ runtime, in
# order. <exe> stands for the executable's path, <work> for the folder the run makes for itself
# below the Windows folder's Temp (with its backslash), <code> for a product code; everything else
# is literal.
SILENT_FIRST_INSTALL_LOG = r"""
[Info] we are running from --> <exe>
[Info] command option --> qn
[Info] Verifying File Signature, Silent is 1
[WVT] step 1: silently call WinVerifyTrust on szSetupExe, ignoring return value
[WVT] WVT returned 0x0
[WVT] fSetupExeIsSigned = TRUE
[WVT] step2: silently call WinVerifyTrust on szPackage, ignoring return value
[WVT] WVT returned 0x0
[WVT] fPackageIsSigned = TRUE
[WVT] step3: last call to WinVerifyTrust showing UI only if something is wrong
[WVT] WVT returned 0x0
[Resource] lpName = OPERATION NOT FOUND
[Resource] lpName = PRODUCTNAME, lpBuf = Corvell Vesk
[Resource] lpName = DATABASE, lpBuf = CorvellVesk5.msi
[Resource] lpName = MINIMUM_MSI NOT FOUND
[Resource] Using default Minimum Msi Value = 301
[Resource] Minimum Msi Value = 301
[Info] No upgrade is necessary.  System version meets minimum requirements
[Info] Windows Installer has been upgraded, or was already correct version
[Info] Recovering BASEURL
[Resource] lpName = BASEURL NOT FOUND
[Info] No BASEURL, generating media source.
[Info] path to Msi: <work>CorvellVesk5.msi
[ExtractFileFromResource] Creating file: <work>CorvellVesk5.msi
[Info] path to OEM: <work>OEM\
[ExtractFileFromResource] Creating file: <work>OEM\readme.txt
[ExtractFileFromResource] Creating file: <work>OEM\technicalsupport.rtf
[Resource] lpName = PROPERTIES, lpBuf = MSI_VIA_EXE=true
[Info] Checking for CRT prerequisites...
[Info] Checking CRT (vcredist_vc9.exe) key
[Info] getRegistryValue exception, unable to open key,name: SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{9BE518E6-ECC6-35A9-88E4-87755C07200F},DisplayVersion
[ExtractFileFromResource] Creating file: <work>vcredist_vc9.exe
[Info] CRT (vcredist_vc9.exe) installation complete
[Info] Setting Internal UI level to NONE...
[Info] Setting Internal UI level to FULL...
[Info] MsiQueryProductState returned -1
[Info] The product code '<code>' is unknown. Will use first time install logic...
[Info] Setting MSI Install Log Mode: INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_PROPERTYDUMP
[Info]   Setting MSI Install Log Attributes: None[Info] Calling MsiInstallProduct with szInstallPath = <work>CorvellVesk5.msi, and szCommandLine = MSI_VIA_EXE=true
[Info] MsiInstallProduct returned 0
[Info] Begin CleanUp.
[Info] copy Install log file to INSTALLDIR.
[Info] Setup exit code is 0
[Info] copy bootstrapper log file to INSTALLDIR.
""".strip("\n").split("\n")
PLACEHOLDERS = {"<exe>": r"[A-Z]:\\[^\\]+(\\[^\\]+)*\.exe", "<work>": WORK_FOLDER.pattern,
                "<code>": r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}"}


def line_pattern(expected: str) -> "re.Pattern[str]":
    pieces = re.split("(" + "|".join(PLACEHOLDERS) + ")", expected)
    return re.compile("".join(PLACEHOLDERS.get(piece, re.escape(piece)) for piece in pieces))


def normalised(text):
    return text.replace("\r\n", "\n")


class UsageTest(SetupTestCase):
    def assert_usage_outcome(self, result, pieces):
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(1, len(result.boxes), result.describe())
        box = result.boxes[0]
        self.assertEqual(CAPTION, box.caption)
        self.assertEqual(USAGE_TEXT.rstrip("\n"), normalised(box.text).rstrip("\n"))
        self.assertEqual("information", box.icon)
        self.assertEqual(["OK"], box.button_labels)
        self.assertFalse(box.has_owner)
        # The usage text ends the run before the progress window or any check.
        self.assertFalse(result.dialog.seen, result.describe())
        self.assertEqual(
            [f"[Info] we are running from --> {self.prefix.to_windows(artifact('setup.exe'))}"]
            + [f"[Info] command option --> {piece}" for piece in pieces]
            + ["[Info] Begin CleanUp.", "[Info] unable to copy Install log file.",
               "[Info] Setup exit code is 0"],
            result.log_lines)

    def test_help_shows_the_usage_text_and_ends_with_0(self):
        result = self.run_program(artifact("setup.exe"), raw_args="/?")
        self.assert_usage_outcome(result, ["?"])

    def test_rejected_command_lines_show_the_usage_text_and_end_with_0(self):
        cases = {
            "/x /qf": ["x ", "qf"],       # a forbidden pair
            "/a": ["a"],                  # a missing path
            "/qn /z /w": ["qn ", "z ", "w"],  # every piece is logged, also after the rejection
            "abc /qn": [],                # text before the first switch: nothing is split
            "/": [],                      # bare switch characters
        }
        for command_line, pieces in cases.items():
            with self.subTest(command_line=command_line):
                result = self.run_program(artifact("setup.exe"), raw_args=command_line)
                self.assert_usage_outcome(result, pieces)


class SecondInstanceTest(SetupTestCase):
    def test_a_second_instance_ends_with_1618_and_leaves_the_first_ones_log_alone(self):
        # The first instance is held in a message box: the usage box, which it shows before it
        # would check its signature, or an installer error box, long after its checks (a package
        # that is no package makes the installer fail with a code that has a box). Either way it
        # is the one run of the machine from its first line, and its log is its own.
        cases = [("usage box", artifact("setup.exe"), ["/?"], 0),
                 # Wine's installer answers ERROR_FUNCTION_FAILED for a file that is no package.
                 ("installer error box", artifact("setup-notapackage.exe"), ["/qb"], 1627)]
        for name, program, args, first_code in cases:
            with self.subTest(name):
                self.assert_second_instance_stays_out(program, args, first_code)

    def assert_second_instance_stays_out(self, program, args, first_code):
        held = self.prefix.scratch / "release-first"
        box_seen = self.prefix.scratch / "first-is-waiting"
        held.unlink(missing_ok=True)
        box_seen.unlink(missing_ok=True)
        first = {}

        def run_first():
            first["result"] = self.run_program(program, args=args, hold_answers_until=held,
                                               box_seen_file=box_seen, timeout=90)

        thread = threading.Thread(target=run_first)
        thread.start()
        try:
            self.assertTrue(self.wait_for(box_seen.exists, 60), "the first instance shows no box")
            log_of_first = (self.prefix.temp_dir / "bootstrap.log").read_bytes()

            second = self.run_program(artifact("setup.exe"), args=["/qn"], keep_log=True)
            self.assertEqual(ERROR_INSTALL_ALREADY_RUNNING, second.exit_code, second.describe())
            self.assertEqual([], second.boxes, second.describe())
            # The running instance's log is neither emptied nor written into.
            self.assertEqual(log_of_first,
                             (self.prefix.temp_dir / "bootstrap.log").read_bytes())
        finally:
            held.touch()
            thread.join(120)
        result = first["result"]
        self.assertEqual(first_code, result.exit_code, result.describe())
        self.assertIn(f"[Info] Setup exit code is {first_code}", result.log_lines)
        self.assertTrue(result.log_lines[0].startswith("[Info] we are running from --> "))
        self.assertNotIn("[Info] command option --> qn", result.log_lines)

    @staticmethod
    def wait_for(condition, seconds):
        deadline = threading.Event()
        for _ in range(int(seconds * 20)):
            if condition():
                return True
            deadline.wait(0.05)
        return condition()


class LogTest(SetupTestCase):
    def test_the_first_line_empties_an_earlier_log_and_lines_end_with_crlf(self):
        (self.prefix.temp_dir / "bootstrap.log").write_bytes(b"an earlier run's log\r\n" * 100)
        result = self.run_program(artifact("setup.exe"), raw_args="/q /?", keep_log=True)
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertTrue(result.log_bytes.startswith(b"[Info] we are running from --> "))
        self.assertNotIn(b"earlier", result.log_bytes)
        self.assertTrue(result.log_bytes.endswith(b"[Info] Setup exit code is 0\r\n"))
        self.assertNotIn(b"\n", result.log_bytes.replace(b"\r\n", b""))

    def test_whole_log_of_a_silent_first_install(self):
        # Any line changed, missing, added or moved fails here.
        self.prefix.reg_delete_key("HKLM", RUNTIME_KEY)
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        lines = result.log_lines
        matched = len(lines) == len(SILENT_FIRST_INSTALL_LOG) and all(
            line_pattern(expected).fullmatch(line)
            for expected, line in zip(SILENT_FIRST_INSTALL_LOG, lines))
        if not matched:
            # Expected lines that match where they stand are shown as the run wrote them, so
            # that the diff names only what differs.
            shown = []
            for i, expected in enumerate(SILENT_FIRST_INSTALL_LOG):
                actual = lines[i] if i < len(lines) else None
                fits = actual is not None and line_pattern(expected).fullmatch(actual)
                shown.append(actual if fits else expected)
            self.fail("bootstrap.log differs from the expected lines:\n" + "\n".join(
                difflib.unified_diff(shown, lines, "expected", "bootstrap.log", lineterm="")))
        # The placeholders stand for this run's own values.
        exe = self.prefix.to_windows(artifact("setup.exe"))
        self.assertEqual(f"[Info] we are running from --> {exe}", lines[0])
        # One folder of the run's own, gone at the end; the logs stay in the temporary folder.
        work = result.work_folder
        self.assertIn(f"[Info] path to Msi: {work}CorvellVesk5.msi", lines)
        self.assertEqual({work}, {found.group(0) for found in map(WORK_FOLDER.search, lines)
                                  if found})
        self.assertFalse(self.prefix.to_linux(work).exists())
        self.assertEqual(["Corvell Vesk.log", "bootstrap.log"],
                         sorted(p.name for p in self.prefix.temp_dir.iterdir()))
        self.assertIn(f"[Info] The product code '{PRODUCT_CODE}' is unknown. Will use first time "
                      "install logic...", lines)


if __name__ == "__main__":
    unittest.main()
