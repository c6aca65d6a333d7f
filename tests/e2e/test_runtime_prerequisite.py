"""The C++ runtime prerequisite of setup.exe, in a 32-bit and a 64-bit prefix.

The demo product carries a stand-in for the runtime's redistributable (payload 90): it records
how it was started (STANDIN_RUNTIME_RECORD), registers the runtime's uninstall entry and ends
with the code in STANDIN_RUNTIME_EXIT_CODE. The bootstrapper looks for that entry in the 32-bit
registry view, runs the stand-in hidden with "/q" from the folder the run makes for itself when it
is missing, deletes it again, and turns its exit code into the run's outcome.
"""

import unittest

from demo_product import PRODUCT_CODE, RUNTIME_KEY
from testbed import SetupTestCase, artifact

REDIST = "vcredist_vc9.exe"
RESTART_BOX = ("Installation of CRT was successful. Please reboot computer and then restart this "
               "installation.")


class _RuntimePrerequisite:
    def setUp(self):
        super().setUp()
        self.prefix.reg_delete_key("HKLM", RUNTIME_KEY, view=32)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", RUNTIME_KEY, view=32)
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        self.record = self.prefix.scratch / "runtime-standin.txt"
        self.record.unlink(missing_ok=True)

    def run_setup(self, args, exit_code=None):
        env = {"STANDIN_RUNTIME_RECORD": self.prefix.to_windows(self.record)}
        if exit_code is not None:
            env["STANDIN_RUNTIME_EXIT_CODE"] = hex(exit_code)
        return self.run_program(artifact("setup.exe"), args=args, env=env)

    def standin_starts(self):
        if not self.record.exists():
            return []
        return [dict(field.split("=", 1) for field in line.split("|"))
                for line in self.record.read_text(encoding="utf-8").splitlines()]

    def display_version(self):
        return self.prefix.reg_get("HKLM", RUNTIME_KEY, "DisplayVersion", view=32)

    def test_present_entry_means_nothing_is_extracted_or_run(self):
        self.prefix.reg_set("HKLM", RUNTIME_KEY, "DisplayVersion", "REG_SZ", "9.0.1", view=32)
        result = self.run_setup(["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], self.standin_starts())
        self.assertIn(f"[Info] CRT ({REDIST})appears to be installed", result.log_lines)
        self.assertFalse(any(REDIST in line and "Creating file" in line
                             for line in result.log_lines), result.describe())

    def test_missing_entry_runs_the_redistributable_hidden_with_q_and_deletes_it(self):
        result = self.run_setup(["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        temp = result.work_folder
        # (The started program names its folder as the file system spells it.) It starts in the
        # run's own folder, not in the user's folder setup.exe was started from.
        self.assertEqual([{"args": "/q", "hidden": "1", "cwd": temp.lower(),
                           "path": (temp + REDIST).lower()}],
                         [dict(start, path=start["path"].lower(),
                               cwd=start["cwd"].lower().rstrip("\\") + "\\")
                          for start in self.standin_starts()])
        self.assertEqual(("REG_SZ", "9.0.30729"), self.display_version())
        self.assert_work_folder_gone(result)
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        steps = [line for line in result.log_lines if "CRT" in line or REDIST in line]
        self.assertEqual([
            "[Info] Checking for CRT prerequisites...",
            f"[Info] Checking CRT ({REDIST}) key",
            f"[ExtractFileFromResource] Creating file: {temp}{REDIST}",
            f"[Info] CRT ({REDIST}) installation complete",
        ], steps, result.describe())

    def test_unreadable_display_version_counts_as_missing(self):
        cases = [
            ("a number", "REG_DWORD", "9", []),
            ("512 characters", "REG_SZ", "9" * 512,
             ["[Info] getRegistryValue exception, insufficient buffer"]),
        ]
        for name, kind, data, reader_lines in cases:
            with self.subTest(name):
                self.record.unlink(missing_ok=True)
                self.prefix.reg_set("HKLM", RUNTIME_KEY, "DisplayVersion", kind, data, view=32)
                result = self.run_setup(["/qn"])
                self.assertEqual(0, result.exit_code, result.describe())
                self.assertEqual(1, len(self.standin_starts()), result.describe())
                # The stand-in has replaced the value with its own.
                self.assertEqual(("REG_SZ", "9.0.30729"), self.display_version())
                lines = result.log_lines
                step = lines[lines.index(f"[Info] Checking CRT ({REDIST}) key"):
                             lines.index(f"[Info] CRT ({REDIST}) installation complete")]
                self.assertEqual(reader_lines,
                                 [line for line in step if "getRegistryValue" in line],
                                 result.describe())
                self.prefix.msi_remove(PRODUCT_CODE)

    def test_exit_codes_decide_the_outcome(self):
        cases = [
            # code, switches, exit code of the run, box (text, icon) or None, product installed
            (3010, ["/qn"], 3010, None, True),
            (3011, ["/qn"], 3011, None, True),
            (3010, ["/qb"], 3010, (RESTART_BOX, "information"), False),
            (0xC00000BA, ["/qn"], 0, None, True),
            (1603, ["/qn"], 1603,
             ("CreateProcess failed (1603). Please rerun install.", "error"), False),
            (0x80070005, ["/qb"], 0x80070005,
             ("CreateProcess failed (-2147024891). Please rerun install.", "error"), False),
        ]
        for code, args, run_exit, box, installed in cases:
            with self.subTest(code=hex(code), args=args):
                self.prefix.reg_delete_key("HKLM", RUNTIME_KEY, view=32)
                result = self.run_setup(args, exit_code=code)
                self.assertEqual(run_exit, result.exit_code, result.describe())
                boxes = [(b.caption, b.text, b.icon, b.owner_is_dialog) for b in result.boxes]
                expected = [("Windows Installer Wrapper", box[0], box[1], True)] if box else []
                self.assertEqual(expected, boxes, result.describe())
                self.assertIn(f"[Error] Process failed ({code}).", result.log_lines)
                self.assert_work_folder_gone(result)
                self.assertEqual(5 if installed else -1, self.prefix.msi_state(PRODUCT_CODE),
                                 result.describe())
                self.prefix.msi_remove(PRODUCT_CODE)

    def test_administrative_install_and_removal_leave_the_runtime_alone(self):
        target = self.prefix.temp_dir_windows.rstrip("\\") + "\\Admin Image"
        for args in (["/a", target, "/qn"], ["/x", "/qn"]):
            with self.subTest(args=args):
                result = self.run_setup(args)
                self.assertEqual([], self.standin_starts(), result.describe())
                self.assertNotIn("[Info] Checking for CRT prerequisites...", result.log_lines)
                self.assertIsNone(self.display_version())


class RuntimePrerequisite32Test(_RuntimePrerequisite, SetupTestCase):
    arch = "win32"


class RuntimePrerequisite64Test(_RuntimePrerequisite, SetupTestCase):
    arch = "win64"

    def test_entry_is_looked_for_in_the_32_bit_view(self):
        # An entry only in the 64-bit view belongs to the x64 runtime, which this 32-bit
        # product cannot use.
        self.prefix.reg_set("HKLM", RUNTIME_KEY, "DisplayVersion", "REG_SZ", "9.0.30729", view=64)
        self.addCleanup(self.prefix.reg_delete_key, "HKLM", RUNTIME_KEY, view=64)
        result = self.run_setup(["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual(1, len(self.standin_starts()), result.describe())
        self.assertEqual(("REG_SZ", "9.0.30729"), self.display_version())


if __name__ == "__main__":
    unittest.main()
