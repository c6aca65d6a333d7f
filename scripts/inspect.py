#!/usr/bin/env python3
"""Shows what a built setup.exe holds: settings, the product description's other sections
compiled in, payloads, the product package, the signature, the package for a download product's
server, a deployment summary and the findings, among them those of the checks the build runs on
product descriptions.

    scripts/inspect.py SETUP.EXE [--json] [--release] [--upload FILE|FOLDER] [--quiet]
                       [--rules-tool PATH]
    scripts/inspect.py SETUP.EXE --against OLD.EXE [--json]

Exit code: 0 clean (warnings allowed), 1 when a finding is an error, 2 when a file is not a
setup.exe of this project. --release is the gate before shipping: what makes a setup.exe unfit
to ship (the test signer, a certificate that may not sign code, no timestamp, the test bed's
stand-ins, a version resource that differs from the package, a package without its duties
towards setup.exe) is an error instead of a warning. With --against only what differs is printed
(settings, compiled sections, payload hashes, package identity, signer), whether the two are
identical (or identical but for their signatures), and the path that a machine with the old
one's product installed takes; the exit code is 0, or 2. --quiet prints the findings alone. Needs Python 3, msitools, osslsigncode, and the build's description_rules
(--rules-tool or BOOTSTRAPPER_RULES_TOOL; without either it is compiled once with g++).
"""
import sys
from pathlib import Path

# This file shares its name with the standard library's inspect module, which the standard
# library itself imports: its folder must not be where imports are looked for.
HERE = Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != HERE]
sys.path.insert(0, str(HERE.parent))

import argparse  # noqa: E402
import json  # noqa: E402

from tooling import inspection  # noqa: E402


def main(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("setup", type=Path, metavar="SETUP.EXE")
    parser.add_argument("--json", action="store_true", help="print JSON")
    parser.add_argument("--against", type=Path, metavar="OLD.EXE",
                        help="print only what differs from an earlier build")
    parser.add_argument("--upload", type=Path, metavar="FILE|FOLDER",
                        help="the package for the server of a download product (default: "
                             "upload/<DATABASE> beside setup.exe or one folder up)")
    parser.add_argument("--quiet", action="store_true", help="print the findings only")
    parser.add_argument("--release", action="store_true",
                        help="the release gate: what makes it unfit to ship is an error")
    parser.add_argument("--rules-tool", metavar="PATH",
                        help="the build's description_rules (default: BOOTSTRAPPER_RULES_TOOL, "
                             "else compiled from this checkout into a cache)")
    args = parser.parse_args(argv)

    reports = []
    for path, upload in ((args.setup, args.upload), (args.against, None)):
        try:
            reports.append(inspection.inspect(path, upload, args.rules_tool, args.release)
                           if path else None)
        except inspection.NotASetup as error:
            print(f"inspect: {path}: {error}", file=sys.stderr)
            return 2
    report, old = reports

    if old is not None:
        changes = inspection.differences(report, old)
        print(json.dumps(changes, indent=1) if args.json
              else inspection.render_differences(changes), end="" if not args.json else "\n")
        return 0
    if args.json:
        print(json.dumps(report, indent=1))
    elif args.quiet:
        for finding in report["findings"]:
            print(f"{args.setup}: {finding['level']}: {finding['text']}")
    else:
        print(inspection.render(report), end="")
    return inspection.exit_code(report)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
