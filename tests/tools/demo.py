#!/usr/bin/env python3
"""Runs the demo product's setup.exe under Wine in a fresh prefix and shows what happened: the
message boxes (answered with their default button), the progress window's texts, the whole exit
code, bootstrap.log and whether the product is installed.

Usage: demo.py --build BUILD_DIR [--keep] -- [setup.exe switches...]"""
import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

PRODUCT_CODE = "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the host build folder")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix afterwards")
    parser.add_argument("switches", nargs="*")
    args = parser.parse_args(argv)

    build = Path(args.build).resolve()
    os.environ.setdefault("BOOTSTRAPPER_WIN_BUILD", str(build / "windows"))
    os.environ.setdefault("BOOTSTRAPPER_WORK", str(build / "work"))
    from testbed import Display, Prefix, artifact

    setup = artifact("setup.exe")
    print(f"setup.exe: {setup} ({setup.stat().st_size} bytes, signed by the build)")
    display = Display.shared()
    prefix = Prefix(display, name="demo").open()
    try:
        print(f"Wine prefix: {prefix.path}; display {display.name}")
        print(f"running: setup.exe {' '.join(args.switches)}")
        result = prefix.run(setup, args=args.switches, timeout=300)
        print()
        print(result.describe())
        state = prefix.msi_state(PRODUCT_CODE)
        print()
        print(f"exit code: {result.exit_code} (0x{result.exit_code:08X})")
        print(f"Corvell Vesk installed: {'yes' if state == 5 else 'no'} (state {state})")
        return 0 if result.exit_code == 0 else 1
    finally:
        if args.keep:
            print(f"prefix kept at {prefix.path}")
        else:
            prefix.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
