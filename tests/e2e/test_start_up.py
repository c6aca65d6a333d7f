"""The start of every run: the usage box, a rejected command line, a second instance, and the
first lines of bootstrap.log."""

import threading
import unittest

from testbed import SetupTestCase, artifact

USAGE_TEXT = (
    "Usage: (Version 1.15)\n"
    "    /? :  Show this help dialog\n"
    "    [/p] [/q[n|f|b|r]] :  Normal installation\n"
    "    /a <PATH> [/q[n|f|b|r]] :  Administrative Install to <PATH>\n"
    "    /w [/p] [/q[b|f]] :  Configure and write ini file\n"
    "    /x [/q[n|b]] :  Uninstall product\n"
    "    /p :  Override path/hard drive check\n"
    "    /q[n|f|b|r] :  Specify UI level for install (None, Full, Basic, Reduced)\n")
CAPTION = "Windows Installer Wrapper"
ERROR_INSTALL_ALREADY_RUNNING = 1618
PRODUCT_CODE = "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}"


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
        # The first instance is held in a message box after it has taken the mutex: a package
        # that is no package makes the installer fail with a code that has a box.
        held = self.prefix.scratch / "release-first"
        box_seen = self.prefix.scratch / "first-is-waiting"
        held.unlink(missing_ok=True)
        box_seen.unlink(missing_ok=True)
        first = {}

        def run_first():
            first["result"] = self.run_program(
                artifact("setup-notapackage.exe"), args=["/qb"], hold_answers_until=held,
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
        # Wine's installer answers ERROR_FUNCTION_FAILED for a file that is no package.
        result = first["result"]
        self.assertEqual(1627, result.exit_code, result.describe())
        self.assertIn("[Info] Setup exit code is 1627", result.log_lines)
        self.assertTrue(result.log_lines[0].startswith("[Info] we are running from --> "))

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

    def test_start_up_order_of_a_normal_run(self):
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        exe = self.prefix.to_windows(artifact("setup.exe"))
        self.assertEqual([
            f"[Info] we are running from --> {exe}",
            "[Info] command option --> qn",
            "[Info] Verifying File Signature, Silent is 1",
        ], [line for line in result.log_lines[:3]])
        self.assertIn("[Resource] lpName = OPERATION NOT FOUND", result.log_lines)


if __name__ == "__main__":
    unittest.main()
