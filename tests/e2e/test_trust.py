"""setup.exe and its own Authenticode signature, and the verification mode `setup.exe /v "file"`.

The executable checks its own signature after the platform check: signed and trusted it goes on;
unsigned or changed after signing it ends with 0x800B0004 after the "Verify File Signature" box,
which /qn leaves out; on a system without WinTrust it ends with 0x800B0001. The verification
mode answers with the same codes for any file, shows nothing, and leaves the running first
instance's bootstrap.log alone.
"""

import unittest

from testbed import SetupTestCase, artifact
from trust_support import (CANNOT_VERIFY, NOT_TRUSTED, PRODUCT_CODE, STEP1, STEP3_FULL_UI,
                           TRUSTED_STEPS, WVT_NO_SIGNATURE, publisher_root, steps_in, trust_file)

SIGNATURE_CAPTION = "Verify File Signature"
# Wine's per-program library settings: an empty entry keeps wintrust.dll from loading into
# setup.exe alone (the test bed's own tools need it), a system that cannot verify signatures.
APP_OVERRIDES = "Software\\Wine\\AppDefaults\\setup.exe\\DllOverrides"


def without_wintrust(test: SetupTestCase) -> None:
    test.prefix.reg_set("HKCU", APP_OVERRIDES, "wintrust", "REG_SZ", "")
    test.addCleanup(test.prefix.reg_delete_key, "HKCU", APP_OVERRIDES)
USAGE_START = "Usage: (Version 1.15)"


def not_trusted_text(path: str) -> str:
    return f"Installation failed.  '{path}' is not trusted."


class OwnSignatureTest(SetupTestCase):
    root_cert = publisher_root()

    def test_signed_setup_runs(self):
        self.addCleanup(self.prefix.msi_remove, PRODUCT_CODE)
        result = self.run_program(artifact("setup.exe"), args=["/qn"])
        self.assertEqual(0, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertIn("[Info] Verifying File Signature, Silent is 1", result.log_lines)
        # The three steps on the same file: its certificate is compared with itself.
        self.assertEqual(TRUSTED_STEPS, steps_in(result.log_lines), result.describe())
        self.assertEqual(5, self.prefix.msi_state(PRODUCT_CODE))

    def test_unsigned_or_changed_setup_stops_with_the_box(self):
        cases = [
            ("unsigned", artifact("setup-unsigned.exe"),
             [STEP1, WVT_NO_SIGNATURE, "[WVT] fSetupExeIsSigned = FALSE", STEP3_FULL_UI,
              WVT_NO_SIGNATURE]),
            # Still signed, so all three steps run; only the verification fails.
            ("changed after signing", trust_file("setup-tampered.exe"), None),
        ]
        for name, exe, steps in cases:
            with self.subTest(name):
                result = self.run_program(exe)
                self.assertEqual(NOT_TRUSTED, result.exit_code, result.describe())
                self.assertEqual(1, len(result.boxes), result.describe())
                box = result.boxes[0]
                self.assertEqual(SIGNATURE_CAPTION, box.caption)
                self.assertEqual(not_trusted_text(self.prefix.to_windows(exe)), box.text)
                self.assertEqual("error", box.icon)
                # The progress dialog already exists and owns the box.
                self.assertTrue(box.owner_is_dialog, result.describe())
                self.assertIn("[Info] Verifying File Signature, Silent is 0", result.log_lines)
                self.assertIn("[Info] VerifyFileSignature Failed, returned: 0x800B0004",
                              result.log_lines)
                logged = steps_in(result.log_lines)
                if steps is not None:
                    self.assertEqual(steps, logged)
                else:
                    self.assertEqual(["[WVT] fSetupExeIsSigned = TRUE",
                                      "[WVT] fPackageIsSigned = TRUE"],
                                     [l for l in logged if "IsSigned" in l])
                # Nothing after the check: no mutex, no settings.
                self.assertFalse(any(l.startswith("[Resource]") for l in result.log_lines))

    def test_without_wintrust_setup_ends_with_cannot_verify(self):
        without_wintrust(self)
        exe = artifact("setup.exe")
        result = self.run_program(exe)
        self.assertEqual(CANNOT_VERIFY, result.exit_code, result.describe())
        self.assertEqual([(SIGNATURE_CAPTION, not_trusted_text(self.prefix.to_windows(exe)))],
                         [(b.caption, b.text) for b in result.boxes], result.describe())
        self.assertIn("[Info] VerifyFileSignature Failed, returned: 0x800B0001", result.log_lines)
        # Step 1 was reached and gave up before any WinVerifyTrust call.
        self.assertEqual([STEP1], steps_in(result.log_lines))

    def test_silent_run_ends_without_the_box(self):
        result = self.run_program(artifact("setup-unsigned.exe"), args=["/qn"])
        self.assertEqual(NOT_TRUSTED, result.exit_code, result.describe())
        self.assertEqual([], result.boxes, result.describe())
        self.assertIn("[Info] Verifying File Signature, Silent is 1", result.log_lines)
        self.assertIn("[Info] VerifyFileSignature Failed, returned: 0x800B0004", result.log_lines)


class VerificationModeTest(SetupTestCase):
    root_cert = publisher_root()

    def verify(self, path, **kwargs):
        # The command line a first instance builds: the quoted program, /v, the quoted file.
        exe = artifact("setup.exe")
        cmdline = f'"{self.prefix.to_windows(exe)}" /v "{self.prefix.to_windows(path)}"'
        return self.run_program(exe, raw_cmdline=cmdline, **kwargs)

    def test_exit_code_is_the_verdict(self):
        # The Windows unit test VerificationMode_test runs more files, with a first instance's
        # log and mutex in place; here the harness also sees that nothing is shown.
        cases = [
            ("trusted", trust_file("signed.exe"), 0),
            ("unsigned", trust_file("unsigned.exe"), NOT_TRUSTED),
            ("changed after signing", trust_file("tampered.exe"), NOT_TRUSTED),
        ]
        for name, path, code in cases:
            with self.subTest(name):
                result = self.verify(path)
                self.assertEqual(code, result.exit_code, result.describe())
                self.assertEqual([], result.boxes, result.describe())
                self.assertFalse(result.dialog and result.dialog.seen, result.describe())

    def test_without_wintrust_the_verdict_is_cannot_verify(self):
        without_wintrust(self)
        result = self.verify(trust_file("signed.exe"))
        self.assertEqual(CANNOT_VERIFY, result.exit_code, result.describe())
        self.assertEqual([], result.boxes)

    def test_other_forms_of_v_are_usage_errors(self):
        exe = artifact("setup.exe")
        for raw_args in ("/v", f'/v "{self.prefix.to_windows(trust_file("signed.exe"))}" /qn',
                         "/v signed.exe"):
            with self.subTest(raw_args):
                result = self.run_program(exe, raw_args=raw_args)
                self.assertEqual(0, result.exit_code, result.describe())
                self.assertEqual(1, len(result.boxes), result.describe())
                self.assertTrue(result.boxes[0].text.startswith(USAGE_START), result.describe())
                self.assertEqual("information", result.boxes[0].icon)


if __name__ == "__main__":
    unittest.main()
