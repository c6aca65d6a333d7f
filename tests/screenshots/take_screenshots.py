#!/usr/bin/env python3
"""Photographs what a user of the demo product's setup.exe sees, for the documentation.

Runs setup.exe interactively in a fresh 32-bit Wine prefix on an Xvfb display of its own. The
runtime stand-in is told to wait (STANDIN_RUNTIME_HOLD) while the progress window shows the
prerequisite step, which is photographed; then it ends with 3010, and the restart message that
the progress window owns is photographed and answered. The pictures are written as PNG files.

Usage: take_screenshots.py [--out DIR]   (default docs/images of the repository)
The Windows build tree is found as the tests find it (BOOTSTRAPPER_WIN_BUILD or build/windows).
"""

import argparse
import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from testbed import Display, Prefix, artifact  # noqa: E402
from testbed.paths import REPO_ROOT  # noqa: E402

CAPTION = "Windows Installer Wrapper"
SHOTS = [
    # (file, text the windows must show, answer the found window with OK)
    ("progress-window.png", "Updating 2008 SP1 CRT", False),
    ("restart-message.png", "Installation of CRT was successful", True),
]
RUN_TIMEOUT = 120


def bmp_to_png(bmp: bytes) -> bytes:
    """A 24-bit bottom-up BMP as an RGB PNG."""
    offset, = struct.unpack_from("<I", bmp, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", bmp, 18)
    if bits != 24 or height <= 0:
        raise ValueError("expected a 24-bit bottom-up bitmap")
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height - 1, -1, -1):
        row = bmp[offset + y * stride: offset + y * stride + width * 3]
        rgb = bytearray(row)
        rgb[0::3], rgb[2::3] = row[2::3], row[0::3]  # BGR to RGB
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=REPO_ROOT / "docs" / "images")
    out = parser.parse_args().out
    out.mkdir(parents=True, exist_ok=True)

    display = Display(width=1024, height=768).start()
    try:
        with Prefix(display, arch="win32", name="screenshots") as prefix:
            hold = prefix.scratch / "release-runtime-standin"
            env = prefix.env({"STANDIN_RUNTIME_HOLD": prefix.to_windows(hold),
                              "STANDIN_RUNTIME_EXIT_CODE": "3010"})
            # Wine's background processes keep inherited handles open: no pipes.
            setup = subprocess.Popen(["wine", str(artifact("setup.exe"))], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            try:
                for name, text, press in SHOTS:
                    bmp = prefix.scratch / (Path(name).stem + ".bmp")
                    args = [artifact("screencapture.exe"), "--caption", CAPTION,
                            "--contains", text, "--out", prefix.to_windows(bmp)]
                    if press:
                        args += ["--press", "ok"]
                    done = prefix.wine(args, timeout=RUN_TIMEOUT)
                    if done.returncode != 0:
                        raise RuntimeError(f"{name}: screencapture ended with {done.returncode}: "
                                           f"{done.stderr.decode('utf-8', 'replace')}")
                    (out / name).write_bytes(bmp_to_png(bmp.read_bytes()))
                    print(out / name)
                    hold.write_text("go\n")  # the stand-in may end now
                setup.wait(timeout=RUN_TIMEOUT)
            finally:
                if setup.poll() is None:
                    setup.kill()
                    setup.wait()
    finally:
        display.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
