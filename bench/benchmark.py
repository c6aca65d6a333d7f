#!/usr/bin/env python3
"""The benchmark: runs what `make -C <build>/windows bench` built under Wine, in a prefix of its
own on an Xvfb display of its own, prints the table of figures and writes it, with the machine and
Wine version, to docs/benchmark-results.md. bench/run.sh builds everything first; see
docs/benchmarks.md for what each figure measures.

Every figure is a ratio or a difference of two things measured side by side in the same run (in
alternating order), reported as the median of the runs with their minimum and maximum, because
the machine is shared and noisy.

Usage: benchmark.py --build <build dir> [--runs N] [--output FILE]
       benchmark.py --build <build dir> --profile [SIZE]
                                     where a silent installation of the SIZE-byte package
                                     (55000000 or 200000000) spends its time"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Sequence, Tuple

ROOT = Path(__file__).resolve().parents[1]
PRODUCT_CODE = "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}"
INSTALL_DIR = "C:\\Program Files\\Corvell Vesk"
PROPERTIES = "MSI_VIA_EXE=true"   # what the demo's setup.exe passes on
MIB = 1024 * 1024


@dataclass
class Figure:
    name: str
    unit: str
    values: List[float]
    goal: str
    met: Callable[[float], bool]
    detail: str = ""

    def cells(self) -> Tuple[str, str, str, str, str]:
        median = statistics.median(self.values)
        status = "met" if self.met(median) else "missed"
        return (self.name, f"{fmt(median)} {self.unit}".strip(),
                f"{fmt(min(self.values))} to {fmt(max(self.values))}", self.goal, status)


def fmt(value: float) -> str:
    return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.2f}"


def spread(values: Sequence[float], unit: str) -> str:
    return f"{fmt(statistics.median(values))} {unit} ({fmt(min(values))} to {fmt(max(values))})"


class Bench:
    def __init__(self, prefix, win_build: Path, runs: int):
        self.prefix = prefix
        self.bench = win_build / "bench"
        self.win_build = win_build
        self.runs = runs

    def exe(self, name: str) -> Path:
        path = self.bench / name
        if not path.is_file():
            sys.exit(f"{path} is missing: build with make -C <build>/windows bench")
        return path

    def timer(self, mode: str, exe: Path, *args: str) -> Tuple[float, int]:
        """benchtimer.exe's milliseconds and result for one start of `exe` (run, window), one
        verification of it (verify) or one copy of it (copy)."""
        done = self.prefix.wine([self.exe("benchtimer.exe"), mode, self.prefix.to_windows(exe),
                                 *args], timeout=600)
        match = re.search(rb"^(run|window|verify|copy) ([0-9.]+) (\d+)\s*$", done.stdout,
                          re.MULTILINE)
        if done.returncode != 0 or not match:
            sys.exit(f"benchtimer {mode} {exe.name} failed: {done.stdout!r} {done.stderr!r}")
        return float(match.group(2)), int(match.group(3))

    def remove_product(self) -> None:
        if self.prefix.msi_state(PRODUCT_CODE) in (1, 5):
            code = self.prefix.msi_remove(PRODUCT_CODE)
            if code != 0:
                sys.exit(f"removing the product failed with {code}")
        # Wine's installer unregisters a wixl package but may leave its files.
        shutil.rmtree(self.prefix.to_linux(INSTALL_DIR), ignore_errors=True)
        self.prefix.reset_temp()

    @staticmethod
    def alternate(run: int, first: Callable, second: Callable):
        """Both measurements of one run, in an order that alternates from run to run."""
        if run % 2 == 0:
            a = first()
            b = second()
        else:
            b = second()
            a = first()
        return a, b

    # ------------------------------------------------------------------ the five figures

    def overhead(self, size: int) -> List[Figure]:
        """setup.exe /qn against the direct installer call, and what it adds against the work it
        cannot avoid: one verification of its own signature and one copy of the package."""
        setup = self.exe(f"bench-setup-{size}.exe")
        package = self.bench / "packages" / str(size) / "CorvellVesk5.msi"
        on_disk = self.prefix.drive_c / "bench" / "CorvellVesk5.msi"
        on_disk.parent.mkdir(exist_ok=True)
        shutil.copyfile(package, on_disk)
        copied = self.prefix.drive_c / "bench" / "copy.msi"
        direct = self.exe("directinstall.exe")
        megabytes = f"{size / 1e6:.0f} MB"

        def with_setup():
            ms, code = self.timer("run", setup, "/qn")
            self.check(code, "setup.exe /qn")
            self.remove_product()
            return ms

        def without():
            ms, code = self.timer("run", direct, self.prefix.to_windows(on_disk), PROPERTIES)
            self.check(code, "directinstall.exe")
            self.remove_product()
            return ms

        def limit():
            verify, result = self.timer("verify", setup)
            self.check(result, "WinVerifyTrust of setup.exe")
            copy, error = self.timer("copy", on_disk, self.prefix.to_windows(copied))
            self.check(error, "CopyFileW of the package")
            copied.unlink()
            return verify, copy

        # Untimed: the first run installs the runtime prerequisite's stand-in and fills the caches.
        self.remove_product()
        with_setup()
        without()
        limit()
        pairs, limits = [], []
        for run in range(self.runs):
            pairs.append(self.alternate(run, with_setup, without))
            limits.append(limit())
        on_disk.unlink()
        extra = [100.0 * (s - d) / d for s, d in pairs]
        against_limit = [(s - d) / (v + c) for (s, d), (v, c) in zip(pairs, limits)]
        sides = (f"setup.exe /qn {spread([s for s, _ in pairs], 'ms')}, "
                 f"direct call {spread([d for _, d in pairs], 'ms')}")
        return [
            Figure(f"Overhead: setup.exe's extra time over MsiInstallProductW, {megabytes} package",
                   "%", extra, "at most 15 %", lambda v: v <= 15.0,
                   f"{sides}; package {package.stat().st_size:,} bytes"),
            Figure(f"Overhead against the limit: setup.exe's extra time over one verification of "
                   f"itself and one copy of the package, {megabytes} package", "x",
                   against_limit, "at most 1.25", lambda v: v <= 1.25,
                   f"{sides}, WinVerifyTrust of setup.exe {spread([v for v, _ in limits], 'ms')}, "
                   f"CopyFileW of the package {spread([c for _, c in limits], 'ms')}"),
        ]

    def extraction(self) -> Figure:
        exe = self.exe("bench-extraction-55595008.exe")
        ratios, extract, copy = [], [], []
        for _ in range(self.runs):
            done = self.prefix.wine([exe, "time", "5"], timeout=600)
            text = done.stdout.decode("utf-8", "replace")
            e = re.search(r"extraction median, ms\s+([0-9.]+)", text)
            c = re.search(r"CopyFileW median, ms\s+([0-9.]+)", text)
            if done.returncode != 0 or not e or not c:
                sys.exit(f"extraction benchmark failed: {text} {done.stderr!r}")
            extract.append(float(e.group(1)))
            copy.append(float(c.group(1)))
            ratios.append(extract[-1] / copy[-1])
        return Figure(
            "Extraction: 55,595,008-byte payload against CopyFileW", "x", ratios,
            "at most 1.2 x", lambda v: v <= 1.2,
            f"extraction {spread(extract, 'ms')}, CopyFileW {spread(copy, 'ms')}; "
            "each run the median of 5 alternating rounds")

    def memory(self) -> Figure:
        small = self.exe("bench-setup-5000000.exe")
        large = self.exe("bench-setup-100000000.exe")

        def peak(exe: Path):
            def measure():
                result = self.prefix.run(exe, args=["/qn"], timeout=600)
                self.check(result.exit_code, f"{exe.name} /qn")
                self.remove_product()
                return result.peak_private_bytes / MIB
            return measure

        self.remove_product()
        pairs = [self.alternate(run, peak(small), peak(large)) for run in range(self.runs)]
        difference = [b - a for a, b in pairs]
        return Figure(
            "Memory: peak private bytes, 100 MB package less 5 MB package", "MiB", difference,
            "under 1 MiB", lambda v: v < 1.0,
            f"5 MB package {spread([a for a, _ in pairs], 'MiB')}, "
            f"100 MB package {spread([b for _, b in pairs], 'MiB')}; a whole /qn installation "
            "each, sampled by the harness every 50 ms")

    def startup(self) -> Figure:
        setup = self.win_build / "setup.exe"
        empty = self.exe("emptydialog.exe")

        def shown(exe: Path):
            def measure():
                ms, _ = self.timer("window", exe)
                # The run was ended once its window showed; its files go with the Temp folder.
                self.prefix.reset_temp()
                return ms
            return measure

        shown(setup)()
        shown(empty)()
        pairs = [self.alternate(run, shown(setup), shown(empty)) for run in range(self.runs)]
        ratios = [s / e for s, e in pairs]
        return Figure(
            "Start-up: process start to progress window shown, against an empty dialog", "x",
            ratios, "within 1.5 x", lambda v: v <= 1.5,
            f"setup.exe {spread([s for s, _ in pairs], 'ms')}, "
            f"empty dialog {spread([e for _, e in pairs], 'ms')}")

    def size(self) -> Figure:
        size = self.exe("bench-setup-nopayloads.exe").stat().st_size
        shipped = (self.win_build / "setup.exe").stat().st_size
        return Figure(
            "Size: setup.exe without payloads, signed, statically linked", "KB", [size / 1000],
            "under 300 KB", lambda v: v < 300.0,
            f"{size:,} bytes; the demo's setup.exe with its payloads {shipped:,} bytes")

    def profile(self, size: int) -> None:
        """One silent installation of the given package with Wine's relay trace of the log writer,
        the signature check and the installer call, timestamped: prints the time from each log
        line (and call) to the next, so the costly steps stand out."""
        setup = self.exe(f"bench-setup-{size}.exe")
        # Untimed, as in the benchmark: the first run installs the runtime prerequisite's stand-in.
        self.remove_product()
        self.timer("run", setup, "/qn")
        self.remove_product()
        self.prefix.reg_set("HKCU", "Software\\Wine\\Debug", "RelayInclude", "REG_SZ",
                            "kernel32.OutputDebugStringW;wintrust.WinVerifyTrust;"
                            "msi.MsiInstallProductW;kernel32.ExitProcess")
        done = self.prefix.wine([self.exe("benchtimer.exe"), "run", self.prefix.to_windows(setup),
                                 "/qn"], timeout=600,
                                env={"WINEDEBUG": "+timestamp,+relay,-fixme,-err"})
        self.prefix.reg_delete_value("HKCU", "Software\\Wine\\Debug", "RelayInclude")
        self.remove_product()
        events = []
        for line in done.stderr.decode("utf-8", "replace").splitlines():
            match = re.match(r"([0-9.]+):(?:[0-9a-f]+:)+(Call|Ret ) +(\S+?)\((.*)", line)
            if not match or match.group(3).endswith("OutputDebugStringW") and match.group(2) != "Call":
                continue
            what = match.group(3) if match.group(2) == "Call" else "end of " + match.group(3)
            text = re.search(r'L"(.*?)(\\n)?"', match.group(4))
            events.append((float(match.group(1)), text.group(1) if text and "Debug" in what
                           else what))
        if not events:
            sys.exit(f"no trace in Wine's output: {done.stderr[-2000:]!r}")
        for (at, what), (following, _) in zip(events, events[1:] + [events[-1]]):
            print(f"{1000 * (following - at):8.1f} ms  {what[:110]}")
        print(done.stdout.decode().strip())

    @staticmethod
    def check(code: int, what: str) -> None:
        if code != 0:
            sys.exit(f"{what} ended with {code}; the benchmark needs a successful run")


def machine() -> List[str]:
    def first(command: Sequence[str]) -> str:
        try:
            return subprocess.run(command, capture_output=True, text=True).stdout.strip()
        except OSError:
            return "unknown"

    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory = "unknown"
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal"):
            memory = f"{int(line.split()[1]) / 1024 / 1024:.0f} GiB"
    debian = Path("/etc/debian_version")
    return [
        f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}",
        f"- Commit: {first(['git', '-C', str(ROOT), 'rev-parse', '--short', 'HEAD'])}",
        f"- Machine: {cpu}, {os.cpu_count()} cores, {memory}; "
        f"Linux {platform.release()}"
        + (f", Debian {debian.read_text().strip()}" if debian.exists() else ""),
        f"- Wine: {first(['wine', '--version'])}, 32-bit prefix, Windows version as Wine's default",
        f"- Compiler: {first(['i686-w64-mingw32-g++', '-dumpversion'])} (mingw-w64, win32 threads)",
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", type=Path, default=ROOT / "docs" / "benchmark-results.md")
    parser.add_argument("--profile", type=int, nargs="?", const=55000000, metavar="SIZE",
                        help="trace one silent installation step by step instead")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("at least 5 runs")
    build = args.build.resolve()
    os.environ["BOOTSTRAPPER_WIN_BUILD"] = str(build / "windows")
    os.environ["BOOTSTRAPPER_WORK"] = str(build / "work")
    sys.path.insert(0, str(ROOT / "tests" / "e2e"))
    from testbed import Display, Prefix  # noqa: E402 (found through the path set above)

    root_cert = build / "windows" / "signing" / "publisher" / "ca.cer"
    figures: List[Figure] = []
    with Display() as display, Prefix(display, root_cert=root_cert, name="bench") as prefix:
        bench = Bench(prefix, build / "windows", args.runs)
        if args.profile:
            bench.profile(args.profile)
            return 0
        measures = (lambda: bench.overhead(55000000), lambda: bench.overhead(200000000),
                    lambda: [bench.extraction()], lambda: [bench.memory()],
                    lambda: [bench.startup()], lambda: [bench.size()])
        for measure in measures:
            for figure in measure():
                print(f"{figure.name}: {' | '.join(figure.cells()[1:])}", flush=True)
                figures.append(figure)

    lines = ["# Benchmark results", "",
             "Written by `bench/run.sh`; docs/benchmarks.md says what each figure measures.", "",
             *machine(), f"- Runs: {args.runs} per figure, the two sides of each in alternating "
             "order", "",
             "| Figure | Median | Min to max | Goal | |", "|---|---|---|---|---|"]
    lines += ["| " + " | ".join(f.cells()) + " |" for f in figures]
    lines += ["", "Measured sides (median, min to max):", ""]
    lines += [f"- {f.name.split(':')[0]}: {f.detail}" for f in figures]
    text = "\n".join(lines) + "\n"
    args.output.write_text(text)
    print()
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
