"""The Windows Installer engine upgrade from the executable, end to end.

The engine of a Wine prefix is 4.5 (405), so the variants that ask for 406 need an upgrade;
setup-engine-media.exe carries the update stand-in in version 4.6 as payload 1001,
setup-engine-media-old.exe the one in version 4.5.
"""

import unittest

from demo_product import RUNTIME_KEY
from engine_support import (CANCELLED, PASSIVE, PRODUCT_CODE, RESTART_QUESTION, UPGRADE_QUESTION,
                            UPGRADE_REQUESTED, UPGRADED_LINE, EngineUpgradeTestCase)



class MediaUpgradeTest(EngineUpgradeTestCase):
    def test_no_upgrade_at_the_default_minimum(self):
        result = self.run_setup("setup.exe", ["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertIn("[Info] No upgrade is necessary.  System version meets minimum requirements",
                      result.log_lines)
        self.assertNotIn(UPGRADE_REQUESTED, result.log_lines)
        self.assertEqual([], self.starts())

    def test_declined_upgrade_ends_the_run_at_every_ui_level(self):
        for args in ([], ["/qn"]):
            with self.subTest(args=args):
                result = self.run_setup("setup-engine-media.exe", args, upgrade="no")
                self.assertEqual(1602, result.exit_code, result.describe())
                # The question is owned by the progress dialog, hidden or not.
                self.assertEqual([("question", UPGRADE_QUESTION, True),
                                  ("warning", CANCELLED, True)],
                                 self.box_summary(result), result.describe())
                self.assertEqual(["Yes", "No"], result.boxes[0].button_labels)
                self.assertIn("[Info] Windows Installer upgrade is required.  System Version = "
                              "405, Minimum Version = 406.", result.log_lines)
                self.assertIn(UPGRADE_REQUESTED, result.log_lines)
                self.assertNotIn(UPGRADED_LINE, result.log_lines)
                self.assertEqual([], self.starts())
        # Where nobody can answer (a window station nobody sees, as a service's), the question
        # is not shown and takes its safe answer, No; its words and the cancellation's are in the
        # log, and the run ends by itself.
        result = self.run_setup("setup-engine-media.exe", ["/qn"], upgrade="yes",
                                hidden_station="Deployment")
        self.assertEqual(1602, result.exit_code, result.describe())
        not_shown = "[Info] Message not shown (no interactive desktop): Windows Installer Wrapper: "
        self.assertEqual([not_shown + UPGRADE_QUESTION, not_shown + CANCELLED],
                         [line for line in result.log_lines if line.startswith(not_shown)])
        self.assertEqual([], self.starts())

    def test_upgrade_that_succeeds_lets_the_product_install(self):
        result = self.run_setup("setup-engine-media.exe", ["/qn"], exit_code=0)
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([("question", UPGRADE_QUESTION, True)], self.box_summary(result))
        package = self.media_package(result)
        self.assertEqual([f'"{package}"{PASSIVE}'], self.starts())
        self.assertIn(f"[Info] Running update package from --> {package}", result.log_lines)
        # The engine line comes once, from the run, after the package ran.
        self.assertEqual(1, result.log_lines.count(UPGRADED_LINE))
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))
        self.assertFalse(self.prefix.file_exists(package))

    def test_restart_needed_is_asked_at_the_end_even_when_silent(self):
        runtime_failed = ("error", "CreateProcess failed (1603). Please rerun install.", True)
        cases = [
            # name, environment, exit code, box between the two questions, product installed
            ("the product installs", {}, 0, [], True),
            # A later step that fails keeps its code; the restart is still asked for.
            ("the runtime step fails", {"STANDIN_RUNTIME_EXIT_CODE": "1603"}, 1603,
             [runtime_failed], False),
        ]
        for name, env, exit_code, between, installed in cases:
            with self.subTest(name):
                self.prefix.reg_delete_key("HKLM", RUNTIME_KEY)
                result = self.run_setup("setup-engine-media.exe", ["/qn"], exit_code=3010,
                                        restart="no", env=env)
                # Declining the restart leaves the code of the run.
                self.assertEqual(exit_code, result.exit_code, result.describe())
                self.assertEqual([("question", UPGRADE_QUESTION, True), *between,
                                  ("question", RESTART_QUESTION, False)],
                                 self.box_summary(result), result.describe())
                restart = result.boxes[-1]
                self.assertEqual((["Yes", "No"], "no"), (restart.button_labels, restart.answer))
                self.assertEqual(5 if installed else -1, self.prefix.msi_state(PRODUCT_CODE))
                # The question comes after everything else: the exit code is already logged,
                # followed only by the lines of the log's copy.
                self.assertIn(f"[Info] Setup exit code is {exit_code}", result.log_lines[-3:])
                self.remove_product()

    def test_package_results_that_end_the_run(self):
        cases = [
            (3011, 3011, "Setup was unable to upgrade the Windows Installer, error code: 3011."),
            (1603, 1603, "Setup was unable to upgrade the Windows Installer, error code: 1603."),
            (2, 2, "Setup was unable to find the update file '{package}'."),
        ]
        for package_exit, run_exit, message in cases:
            with self.subTest(package_exit=package_exit):
                self.record.unlink(missing_ok=True)
                result = self.run_setup("setup-engine-media.exe", ["/qn"], exit_code=package_exit)
                self.assertEqual(run_exit, result.exit_code, result.describe())
                package = self.media_package(result)
                message = message.format(package=package)
                # No restart question: only a package that returned 3010 asks for one.
                self.assertEqual([("question", UPGRADE_QUESTION, True), ("error", message, True)],
                                 self.box_summary(result), result.describe())
                self.assertEqual([f'"{package}"{PASSIVE}'], self.starts())
                self.assertNotIn(UPGRADED_LINE, result.log_lines)
                self.assertEqual(-1, self.prefix.msi_state(PRODUCT_CODE))

    def test_engine_that_does_not_load_is_upgraded_and_then_ends_the_run_with_1603(self):
        # Wine's settings for this program alone keep msi.dll from loading into it: the engine
        # counts as too old, and after the upgrade the installer cannot be bound.
        overrides = "Software\\Wine\\AppDefaults\\setup-engine-media.exe\\DllOverrides"
        self.prefix.reg_set("HKCU", overrides, "msi", "REG_SZ", "")
        self.addCleanup(self.prefix.reg_delete_key, "HKCU", overrides)
        # The box has a place for a code, which gets the reason the library did not load. Every
        # file prepared for the installation leaves Temp again (the test bed checks that).
        result = self.run_setup("setup-engine-media.exe", ["/qn"], exit_code=0)
        self.assertEqual(1603, result.exit_code, result.describe())
        self.assertEqual([("question", UPGRADE_QUESTION, True),
                          ("error", "Setup was unable to upgrade the Windows Installer, error "
                                    "code: 126.", False)],
                         self.box_summary(result), result.describe())
        self.assertIn("[Info] Can't load msi.dll; assuming upgrade is necessary.", result.log_lines)
        self.assertEqual([f'"{self.media_package(result)}"{PASSIVE}'], self.starts())
        self.assertFalse(any("Internal UI level" in line for line in result.log_lines))

    def test_package_older_than_the_minimum_never_runs(self):
        result = self.run_setup("setup-engine-media-old.exe", ["/qn"], exit_code=0)
        self.assertEqual(87, result.exit_code, result.describe())
        package = self.media_package(result)
        self.assertEqual([("question", UPGRADE_QUESTION, True),
                          ("error", f"The provided update package '{package}' is invalid.", True)],
                         self.box_summary(result), result.describe())
        self.assertIn("[Info] The update package is improper version for upgrade. Update package "
                      "Version = 405, Minimum Version = 406.", result.log_lines)
        self.assertEqual([], self.starts())


if __name__ == "__main__":
    unittest.main()
