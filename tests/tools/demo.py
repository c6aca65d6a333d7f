#!/usr/bin/env python3
"""Runs a built setup.exe under Wine in a fresh prefix and shows what happened: the message
boxes (answered with their default button), the progress window's texts, the whole exit code,
bootstrap.log and whether the product of the package it carries is installed.

Usage: demo.py --build BUILD_DIR [--setup SETUP_EXE] [--media FOLDER] [--keep] [--] [switches...]

Without --setup it runs the demo product's setup.exe of the build: the 32-bit one, or the 64-bit
one on a machine that cannot run 32-bit programs (as the build decided), which it says. The contents of --media
(OEM\\Feature.ini, OEM\\readme.txt, the product's ini file...) are laid beside setup.exe, as on
installation media. The product is the one whose ProductCode the carried package names."""
import argparse
import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

INSTALL_STATES = {5: "installed", 1: "advertised", 2: "absent", -1: "not installed"}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the host build folder")
    parser.add_argument("--setup", help="the setup.exe to run (default: the build's demo)")
    parser.add_argument("--media", help="a folder whose contents are put beside setup.exe")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix afterwards")
    parser.add_argument("switches", nargs=argparse.REMAINDER,
                        help="setup.exe's switches (default /qb); put -- before a switch that "
                             "starts with -")
    args = parser.parse_args(argv)
    switches = args.switches[1:] if args.switches[:1] == ["--"] else args.switches
    switches = switches or ["/qb"]

    build = Path(args.build).resolve()
    os.environ["BOOTSTRAPPER_BUILD_DIR"] = str(build)
    os.environ.setdefault("BOOTSTRAPPER_WORK", str(build / "work"))
    from testbed import Display, Prefix, flavours

    if flavours.runs_32bit():
        os.environ["BOOTSTRAPPER_FLAVOUR"] = flavours.X86
    else:
        os.environ["BOOTSTRAPPER_FLAVOUR"] = flavours.X64
        print(f"demo: this machine cannot run 32-bit Windows programs ({flavours.reason()}): "
              "running the x64 setup.exe under Wine's 64-bit loader")
    os.environ.setdefault("BOOTSTRAPPER_WIN_BUILD", str(build / (
        "windows-x64" if flavours.current() == flavours.X64 else "windows")))

    # The demo product's setup.exe as it ships: build/out/demo/ (its 64-bit one in x64/).
    shipped = build / "out" / "demo"
    if flavours.current() == flavours.X64:
        shipped = shipped / "x64"
    source = Path(args.setup).resolve() if args.setup else shipped / "setup.exe"
    print(f"setup.exe: {source} ({source.stat().st_size} bytes)")
    display = Display.shared()
    prefix = Prefix(display, name="demo").open()
    try:
        # As on installation media: setup.exe with the media folder's contents beside it.
        media = prefix.drive_c / "media"
        media.mkdir()
        if args.media:
            shutil.copytree(args.media, media, dirs_exist_ok=True)
        setup = media / "setup.exe"
        shutil.copyfile(source, setup)
        print(f"Wine prefix: {prefix.path}; display {display.name}")
        print(f"running: {prefix.to_windows(setup)} {' '.join(switches)}")
        result = prefix.run(setup, args=switches, timeout=300, check_temp=False)
        print()
        print(result.describe())
        print()
        print(f"exit code: {result.exit_code} (0x{result.exit_code:08X})")
        product_code = prefix.carried_package_prop(setup, "ProductCode")
        if product_code is None:
            print("setup.exe carries no package (it downloads it): no product to report on")
        else:
            name = prefix.carried_package_prop(setup, "ProductName")
            state = prefix.msi_state(product_code)
            print(f"{name} {product_code}: {INSTALL_STATES.get(state, 'state')} ({state})")
        return 0 if result.exit_code == 0 else 1
    finally:
        if args.keep:
            print(f"prefix kept: WINEPREFIX={prefix.keep()}")
        else:
            prefix.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
