"""Checks built setup.exe files the way a customer's machine meets them: runs them through an
ordered list of steps in one Wine prefix, with Wine's own Windows Installer, and reports per step
the exit code, the boxes, the products installed afterwards, what was left behind and the logs.

    check-setup.sh [--standard] [--step STEP]... [--steps FILE] [--report FOLDER] [--details]
                   [--keep] [--list] [--build FOLDER] [--timeout S] [--root-cert FILE]
                   [--windows-version VERSION] SETUP [SETUP...]

SETUP is a built setup.exe or its output folder (build/out/<name>); where this machine cannot
run 32-bit programs, the 64-bit build beside it (x64/setup.exe) runs. Steps are numbered by
their SETUP's position, 1 first. Without --step or --steps, the standard set runs: install,
reinstall and removal, and with several versions of one product (in any order) the oldest is
installed and upgraded by each newer one. The report folder gets report.txt, report.json,
junit.xml and each step's logs. Exit code: 0 when every step passed, 1 when one failed, 2 when
the check could not run.
"""

import argparse
import os
import re
import shutil
import sys
from pathlib import Path

from .. import REPO_ROOT
from . import machine, report, setups, steps as grammar
from .steps import StepError, parse_step, parse_step_file, standard_set


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="check-setup.sh", description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="STEP\n" + grammar.__doc__.split("\n\n", 1)[1])
    parser.add_argument("setups", nargs="+", type=Path, metavar="SETUP")
    parser.add_argument("--standard", action="store_true",
                        help="the standard set (the default when no step is given); other steps "
                             "come after it")
    parser.add_argument("--step", action="append", default=[], metavar="STEP",
                        help="a step, as one argument (see STEP below)")
    parser.add_argument("--steps", type=Path, metavar="FILE", help="a file of steps, one a line")
    parser.add_argument("--report", type=Path, default=Path("check-setup-report"),
                        metavar="FOLDER", help="where the report goes (default: "
                                               "check-setup-report)")
    parser.add_argument("--details", action="store_true",
                        help="print the progress window's texts and bootstrap.log of each step")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix afterwards")
    parser.add_argument("--list", action="store_true",
                        help="print the steps, as a step file has them, and run nothing")
    parser.add_argument("--build", type=Path, metavar="FOLDER",
                        help="the build folder whose harness and Wine templates are used "
                             "(default: BOOTSTRAPPER_BUILD_DIR, else build/ of this checkout)")
    parser.add_argument("--timeout", type=float, default=300, metavar="S",
                        help="seconds a step may take (default 300)")
    parser.add_argument("--root-cert", type=Path, metavar="FILE",
                        help="a certificate put into the machine's Root store first")
    parser.add_argument("--windows-version", metavar="VERSION",
                        help="the Windows that Wine reports (winxp, win7, win10...)")
    return parser.parse_args(argv)


def _steps(args, given):
    """The steps to run, and the order of the setup.exe by version when the standard set is
    among them (else None)."""
    steps = []
    if args.steps:
        steps += parse_step_file(args.steps)
    for text in args.step:
        step = parse_step(text)
        if step is None:
            raise StepError(f"--step {text!r} is empty")
        steps.append(step)
    order = None
    if args.standard or not steps:
        order = setups.versions_in_order(given)
        steps[:0] = standard_set(order)
    grammar.check(steps, len(given))
    return steps, order


def _report_folder(folder: Path) -> None:
    """The report folder, rid of what an earlier check wrote there (its reports and step
    folders); anything else in it stays."""
    folder.mkdir(parents=True, exist_ok=True)
    for entry in folder.iterdir():
        if entry.name in report.FILES:
            entry.unlink()
        elif entry.is_dir() and re.match(r"\d{2,}-", entry.name):
            shutil.rmtree(entry)


def main(argv) -> int:
    args = _arguments(argv)
    build = (args.build or Path(os.environ.get("BOOTSTRAPPER_BUILD_DIR") or
                                REPO_ROOT / "build")).resolve()
    os.environ["BOOTSTRAPPER_BUILD_DIR"] = str(build)
    os.environ.setdefault("BOOTSTRAPPER_WORK", str(build / "work"))
    from . import run  # the test bed reads the variables above
    try:
        runs_32bit, why = machine.runs_32bit(build)
        given = [setups.read(n, path.resolve(), runs_32bit, why)
                 for n, path in enumerate(args.setups, 1)]
        steps, order = _steps(args, given)
        if args.list:
            print("\n".join(step.text() for step in steps))
            return 0
        flavour = setups.flavour_of(given)
        os.environ["BOOTSTRAPPER_FLAVOUR"] = flavour
        os.environ["BOOTSTRAPPER_WIN_BUILD"] = str(machine.harness(build, flavour))
        folder = args.report.resolve()
        _report_folder(folder)
    except (setups.SetupError, StepError, machine.MachineError, OSError) as error:
        print(f"check-setup: {error}", file=sys.stderr)
        return 2

    result = {"flavour": flavour, "prefix": None, "setups": [_described(s) for s in given],
              "upgrades": setups.upgrade_notes(given, order) if order else [], "steps": []}
    checking = run.CheckRun(given, flavour, folder, args.timeout, args.root_cert,
                            args.windows_version)
    try:
        checking.open()
    except run.PrefixError as error:
        print(f"check-setup: {error}", file=sys.stderr)
        checking.close()
        return 2
    try:
        result["prefix"] = str(checking.prefix.path)
        print("\n".join(report.heading_lines(result)) + "\n", flush=True)
        for number, step in enumerate(steps, 1):
            done = checking.run_step(number, step)
            result["steps"].append(done)
            lines = report.step_lines(done, args.details)
            if args.details:
                lines += _bootstrap_log(folder, done)
            print("\n".join(lines) + "\n", flush=True)
    finally:
        kept = checking.close(keep=args.keep)
        if kept:
            result["prefix"] = str(kept)
            print(f"prefix kept: WINEPREFIX={kept}")
        report.write(result, folder)
    print(report.summary(result))
    print(f"report: {folder}/report.txt, report.json, junit.xml and the logs of each step")
    return 0 if all(s["passed"] for s in result["steps"]) else 1


def _described(setup: setups.Setup) -> dict:
    package = setup.package or {}
    return {"number": setup.number, "given": str(setup.given), "path": str(setup.path),
            "label": setup.label, "note": setup.note, "product_name": setup.product_name,
            "package": {k: package.get(k) for k in
                        ("ProductName", "ProductCode", "ProductVersion", "UpgradeCode")},
            "base_url": setup.base_url, "served": setup.served_here}


def _bootstrap_log(folder: Path, step: dict):
    for log in step["logs"]:
        if log["name"].lower() == "bootstrap.log":
            text = (folder / log["copy"]).read_bytes().decode("latin-1")
            return ["   bootstrap.log:"] + ["     " + line for line in text.splitlines()]
    return []


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
