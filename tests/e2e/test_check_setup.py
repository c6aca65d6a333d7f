"""The scenario check, scripts/check-setup.sh, as a release engineer runs it: the standard set on
two versions of the second product (given newest first), and on the demo with steps of its own,
one of which fails; the report's codes, products, leftovers and logs, and its JUnit XML. And
the steps' plain-text form."""

import json
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

from testbed import artifact, paths

sys.path.insert(0, str(paths.REPO_ROOT))
from tooling.scenarios import report, setups  # noqa: E402
from tooling.scenarios.steps import Step, StepError, parse_step  # noqa: E402

CHECK = paths.REPO_ROOT / "scripts" / "check-setup.sh"
NOTES_21 = ("Tallow Notes 2", "2.1.0", "{8C2D4E6F-1A3B-4C5D-8E9F-0A1B2C3D4E5F}")
NOTES_23 = ("Tallow Notes 2", "2.3.0", "{9D3E5F7A-2B4C-4D6E-9F0A-1B2C3D4E5F60}")
DEMO = ("Corvell Vesk", "5.0.0", "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}")


class ScenarioCheckTest(unittest.TestCase):
    def check(self, *args):
        """Runs the check; returns its status and output, the report and the JUnit cases."""
        folder = Path(tempfile.mkdtemp(prefix="check-setup-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(folder)])
        done = subprocess.run([str(CHECK), "--build", str(paths.build_dir()), "--report",
                               str(folder), *map(str, args)], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=800)
        output = done.stdout + done.stderr
        report = json.loads((folder / "report.json").read_text())
        suite = ET.parse(folder / "junit.xml").getroot().find("testsuite")
        cases = {case.get("name"): case.find("failure") for case in suite.iter("testcase")}
        self.assertEqual(str(len(report["steps"])), suite.get("tests"), output)
        for step in report["steps"]:
            # Every log the report names was copied, and no step left anything behind.
            for log in step["logs"]:
                self.assertTrue((folder / log["copy"]).is_file(), log)
            self.assertEqual(([], []), (step["left_in_temp"], step["left_in_windows_temp"]),
                             output)
        return done.returncode, output, report, cases, folder

    @staticmethod
    def products(step):
        return [(p["name"], p["version"], p["code"]) for p in step["products"]]

    def test_standard_set_upgrades_the_older_version_and_removes_the_newer(self):
        feature_ini = Path(tempfile.mkdtemp()) / "Feature.ini"
        self.addCleanup(subprocess.run, ["rm", "-rf", str(feature_ini.parent)])
        feature_ini.write_bytes(b"[oem]\r\ninclude=DictGerman\r\nexclude=tour\r\n")
        status, output, report, cases, folder = self.check(
            artifact("setup-notes-v230.exe"), artifact("setup-notes.exe"), "--standard",
            "--step", f"oem setup=2 feature-ini={feature_ini} installed=2 /qn")
        self.assertEqual(0, status, output)
        self.assertEqual([("install", 2, [NOTES_21]), ("reinstall", 2, [NOTES_21]),
                          ("upgrade", 1, [NOTES_23]), ("remove", 1, []), ("oem", 2, [NOTES_21])],
                         [(s["name"], s["setup"], self.products(s)) for s in report["steps"]],
                         output)
        self.assertEqual([0] * 5, [s["exit_code"] for s in report["steps"]], output)
        self.assertEqual({"01-install": None, "02-reinstall": None, "03-upgrade": None,
                          "04-remove": None, "05-oem": None}, cases)
        self.assertEqual([["bootstrap.log", "Tallow Notes.log"]] * 5,
                         [[log["name"] for log in s["logs"]] for s in report["steps"]])
        # The distributor's file lay beside setup.exe for that step alone.
        log = (folder / "05-oem" / "bootstrap.log").read_text(encoding="latin-1")
        self.assertIn("ADDLOCAL=NotesCore,NotesHelp,Dictionaries,DictGerman NOTES_TOUR=0 "
                      "TOUR=exclude", log)
        self.assertEqual([], report["steps"][4]["beside_setup"])

    def test_a_step_that_ends_with_another_code_fails_the_check(self):
        status, output, report, cases, _ = self.check(
            artifact("setup.exe"), "--standard", "--step", "usage expect=1602 /?",
            "--step", "service desktop=hidden installed=1 /qn")
        self.assertEqual(1, status, output)
        self.assertEqual([[DEMO], [DEMO], [], [], [DEMO]],
                         [self.products(s) for s in report["steps"]], output)
        self.assertEqual([0, 0, 0, 0, 0], [s["exit_code"] for s in report["steps"]])
        failed = {name: failure.get("message") for name, failure in cases.items()
                  if failure is not None}
        self.assertEqual({"04-usage": "exit code 0, expected 1602"}, failed)
        usage = report["steps"][3]
        self.assertEqual(["ok"], [box["answer"] for box in usage["boxes"]], output)
        self.assertTrue(usage["boxes"][0]["text"].startswith("Usage:"), usage["boxes"])
        self.assertFalse(report["steps"][4]["boxes_recorded"])
        self.assertIn("5 steps: 4 passed, 1 failed (usage)", output)


class CheckRulesTest(unittest.TestCase):
    def test_steps_read_as_written(self):
        for text, expected in (
                ('admin setup=2 expect=0x666 /a "C:\\My Admin" /qn',
                 Step("admin", setup=2, expect=1638, switches=["/a", "C:\\My Admin", "/qn"])),
                ("fix setup=3 repair", Step("fix", setup=3, repair=True)),
                ("ui answer=Restart:Yes installed=1 absent=2",
                 Step("ui", answers=[("Restart", "yes")], installed=[1], absent=[2])),
                ("quiet desktop=hidden -qn  # a deployment system's run",
                 Step("quiet", hidden_desktop=True, switches=["-qn"])),
                ("   # nothing but a comment", None)):
            with self.subTest(text):
                step = parse_step(text)
                self.assertEqual(expected, step)
                if step:
                    self.assertEqual(step, parse_step(step.text()))

    def test_mistakes_are_refused(self):
        for text in ("x expct=0 /qn", "x setup /qn", "x desktop=shown", "x repair /qn",
                     "x answer=Restart:maybe", "x setup=two", '"x y" /qn', 'x "/qn'):
            with self.subTest(text), self.assertRaises(StepError):
                parse_step(text)

    def test_versions_are_put_in_order_by_their_numbers(self):
        def setup(number, version):
            return setups.Setup(number, Path(f"{number}.exe"), Path(f"{number}.exe"), "x64",
                                "P", {"ProductVersion": version}, None, None)
        self.assertEqual([3, 1, 2], setups.versions_in_order(
            [setup(1, "2.9.1"), setup(2, "2.10.0"), setup(3, "2.9")]))
        with self.assertRaises(setups.SetupError):
            setups.versions_in_order([setup(1, "2.1"), setup(2, "2.1.0")])

    def test_junit_holds_any_text_a_box_or_a_failure_has(self):
        step = {"number": 1, "name": "x", "step": "x /qn", "command": "setup.exe /qn",
                "failures": ['exit code 1603, expected 0 & "<none>"'], "passed": False,
                "exit_code": 1603, "expected": "0", "elapsed_s": 1.5, "boxes_recorded": True,
                "boxes": [{"icon": "error", "caption": "C\x07", "text": "a\x01b\r\n<c>",
                           "buttons": ["OK"], "answer": "ok"}],
                "window": None, "products": [], "left_in_temp": [], "beside_setup": [],
                "left_in_windows_temp": [], "logs": []}
        suite = ET.fromstring(report.junit({"flavour": "x64", "steps": [step]})).find("testsuite")
        self.assertEqual(("1", "1"), (suite.get("tests"), suite.get("failures")))
        case = suite.find("testcase")
        self.assertEqual('exit code 1603, expected 0 & "<none>"',
                         case.find("failure").get("message"))
        self.assertIn("C?: 'a\\x01b\\r\\n<c>'", case.find("system-out").text)


if __name__ == "__main__":
    unittest.main()
