"""Puts what ships into the build's output folder, and only once it has passed: signs a copy of
the linked setup.exe, writes a download product's package for its server, runs inspect's checks
on both (the release gate when a release signer signs) and only then moves them into place. A
failure leaves neither there and says so, so that the output folder holds only what passed.

    python3 -m tooling.ship SIGNER... --details JSON --image LINKED.EXE --to OUT/setup.exe
                            [--write-upload FOLDER | --upload FOLDER] [--release]
                            [--rules-tool PATH] [--depfile FILE]

SIGNER as for tooling.signing. --write-upload: the folder that gets the package for the server
(the 32-bit tree writes it); --upload: where it already is (the 64-bit tree checks it against
its own setup.exe). --depfile lists the files read besides those the build names, for make.
"""
import argparse
import os
import shutil
import sys
from pathlib import Path
from typing import List

from . import inspection, signing


def place(source: Path, target: Path) -> None:
    """Copies a file into place in one step: a reader sees the old file or the new one, and an
    interrupted copy leaves no part of it under the target's name."""
    partial = target.with_name(f".{target.name}.{os.getpid()}")
    shutil.copyfile(source, partial)
    partial.chmod(source.stat().st_mode)
    os.replace(partial, target)


def uploaded(folder: Path) -> List[Path]:
    return sorted(p for p in folder.iterdir() if p.is_file()) if folder.is_dir() else []


def ship(args) -> int:
    target = Path(args.to)
    stage = Path(args.image).parent / "signed"
    shutil.rmtree(stage, ignore_errors=True)
    stage.mkdir(parents=True)
    # What an earlier build put in place goes first: should this one fail, nothing stays.
    target.unlink(missing_ok=True)
    if args.write_upload:
        for stale in uploaded(Path(args.write_upload)):
            stale.unlink()
    staged = stage / target.name
    shutil.copyfile(args.image, staged)
    details = signing.read_details(args.details)
    try:
        signing.sign_file(args, staged, details.get("description"), details.get("url"))
        if args.write_upload:
            signing.upload(argparse.Namespace(**dict(vars(args), setup=staged,
                                                     to=stage / "upload")), details)
    except signing.Refusal as refusal:
        print(f"{target}: error: {refusal}", file=sys.stderr)
        return refuse(target, stage)
    upload = stage / "upload" if args.write_upload else args.upload
    try:
        report = inspection.inspect(staged, Path(upload) if upload else None, args.rules_tool,
                                    args.release)
    except inspection.NotASetup as error:
        print(f"{target}: error: {error}", file=sys.stderr)
        return refuse(target, stage)
    for finding in report["findings"]:
        print(f"{target}: {finding['level']}: {finding['text']}")
    if inspection.exit_code(report):
        return refuse(target, stage)

    if args.depfile:
        # The package for the server is read here alone: a new one is uploaded again.
        read = (details.get("upload_package") or "") if args.write_upload else ""
        escaped = read.replace(" ", "\\ ")
        Path(args.depfile).write_text(f"{target}: {escaped}\n")
    if args.write_upload:
        folder = Path(args.write_upload)
        folder.mkdir(parents=True, exist_ok=True)
        for package in uploaded(stage / "upload"):
            place(package, folder / package.name)
    target.parent.mkdir(parents=True, exist_ok=True)
    place(staged, target)
    shutil.rmtree(stage)
    return 0


def refuse(target: Path, stage: Path) -> int:
    shutil.rmtree(stage, ignore_errors=True)
    print(f"{target}: error: not written: it did not pass the checks above, and the output "
          f"folder holds only what passed", file=sys.stderr)
    return 1


def main(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    signing.signer_arguments(parser)
    parser.add_argument("--details", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--to", required=True)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--write-upload")
    where.add_argument("--upload")
    parser.add_argument("--release", action="store_true")
    parser.add_argument("--rules-tool")
    parser.add_argument("--depfile")
    args = parser.parse_args(argv)
    try:
        # Checked when the build was configured; the pass phrase may still have gone since.
        signing.check(args, reach_timestamp=False)
    except signing.Refusal as refusal:
        print(f"{args.to}: error: {refusal}", file=sys.stderr)
        return refuse(Path(args.to), Path(args.image).parent / "signed")
    return ship(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
