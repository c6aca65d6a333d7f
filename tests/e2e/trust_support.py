"""What the signature and download scenarios share: the files the build signed for them, the
certificates of the two test publishers, and the texts the program shows."""

from pathlib import Path
from typing import Optional

from demo_product import PRODUCT_CODE  # noqa: F401 (tests import it here)
from testbed import paths

PACKAGE_NAME = "CorvellVesk5.msi"

NOT_TRUSTED = 0x800B0004
CANNOT_VERIFY = 0x800B0001

STEP1 = "[WVT] step 1: silently call WinVerifyTrust on szSetupExe, ignoring return value"
STEP2 = "[WVT] step2: silently call WinVerifyTrust on szPackage, ignoring return value"
STEP3_SAME_PUBLISHER = ("[WVT] step3: last call to WinVerifyTrust showing UI only if something "
                        "is wrong")
STEP3_FULL_UI = "[WVT] step3: last call to WinVerifyTrust using full UI"
WVT_TRUSTED = "[WVT] WVT returned 0x0"
WVT_NO_SIGNATURE = "[WVT] WVT returned 0x800B0100"

# The three steps on a file signed by the build's publisher, compared with itself or with a
# package of the same publisher.
TRUSTED_STEPS = [STEP1, WVT_TRUSTED, "[WVT] fSetupExeIsSigned = TRUE", STEP2, WVT_TRUSTED,
                 "[WVT] fPackageIsSigned = TRUE", STEP3_SAME_PUBLISHER, WVT_TRUSTED]


def trust_file(name: str) -> Path:
    """A file the build made for these tests (tests/windows/trust of the Windows tree)."""
    path = paths.win_build_dir() / "tests" / "windows" / "trust" / name
    if not path.exists():
        raise FileNotFoundError(f"{path} not found; build the Windows tree")
    return path


def publisher_root(name: str = "publisher") -> Optional[Path]:
    """The root certificate of a test publisher ("publisher" signs the test programs, and
    setup.exe unless release options name another signer; "other-publisher" is the second one);
    None before the Windows tree is configured."""
    path = paths.win_build_dir() / "signing" / name / "ca.cer"
    return path if path.exists() else None


def download_port() -> int:
    """The loopback port the download variants of setup.exe were built for."""
    return int(trust_file("download-port.txt").read_text().strip())


def steps_in(log_lines, first: str = STEP1):
    """The "[WVT]" lines of one verification, from its step-1 line on."""
    start = log_lines.index(first)
    lines = []
    for line in log_lines[start:]:
        if not line.startswith("[WVT]") or (lines and line == first):
            break
        lines.append(line)
    return lines
