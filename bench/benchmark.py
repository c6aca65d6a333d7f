#!/usr/bin/env python3
"""The benchmark: runs what `make -C <build>/<tree> bench` built under Wine, in a prefix of its
own on an Xvfb display of its own, prints the table of figures and writes it, with the machine and
Wine version, to docs/benchmark-results.md. bench/run.sh builds everything first; see
docs/benchmarks.md for what each figure measures.

It measures one flavour: the 32-bit programs (tree windows/, a 32-bit prefix) where this machine
runs them, else the 64-bit ones (tree windows-x64/, a 64-bit prefix), NSIS peer included.

Every figure is a ratio or a difference of two things measured side by side in the same run (in
alternating order), reported as the median of the runs with their minimum and maximum, because
the machine is shared and noisy.

Usage: benchmark.py --build <build dir> [--runs N] [--output FILE] [--flavour x86|x64]
       benchmark.py --build <build dir> --profile [SIZE] [--runs N]
                                     where a silent installation of the SIZE-byte package
                                     (55000000 or 200000000) spends its time, median of N runs"""

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
from typing import Callable, Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parents[1]
PRODUCT_CODE = "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}"
INSTALL_DIR = "C:\\Program Files\\Corvell Vesk"
PROPERTIES = "MSI_VIA_EXE=true"   # what the demo's setup.exe passes on
MIB = 1024 * 1024
# The NSIS peer's four forms (file nsis-<form>-<size>.exe, built by bench/CMakeLists.txt from
# bench/nsis-peer.nsi) and how the tables name them. NSIS_ROW is the one the goal compares with:
# the package stored, and the same installer call as setup.exe's, in the peer's own process.
NSIS_FORMS = (("stored-api", "stored, MsiInstallProductW"),
              ("stored-msiexec", "stored, msiexec /qn"),
              ("zlib-api", "zlib, MsiInstallProductW"),
              ("zlib-msiexec", "zlib, msiexec /qn"))
NSIS_ROW = "stored-api"


@dataclass
class Figure:
    name: str
    unit: str
    values: List[float]
    goal: str
    met: Optional[Callable[[float], bool]]   # None: a figure shown for comparison, no goal
    detail: str = ""

    def cells(self) -> Tuple[str, str, str, str, str]:
        median = statistics.median(self.values)
        status = "" if self.met is None else "met" if self.met(median) else "missed"
        return (self.name, f"{fmt(median)} {self.unit}".strip(),
                f"{fmt(min(self.values))} to {fmt(max(self.values))}", self.goal, status)


@dataclass
class Side:
    """One program of the comparison with the NSIS peer, for one package size: its time per
    silent installation, peak private bytes (when measured) and file size."""
    name: str
    times: List[float]
    memory: List[float]
    size: int


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
    def in_turn(run: int, measures: Sequence[Callable]) -> list:
        """Every measurement of one round, each once: a round starts one further along the list
        than the round before it and every other round goes the other way, so that none is
        always first, or always right after the same other one. Results in the list's order."""
        order = [(run // 2 + i) % len(measures) for i in range(len(measures))]
        if run % 2:
            order.reverse()
        results: list = [None] * len(measures)
        for i in order:
            results[i] = measures[i]()
        return results

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

    def overhead(self, size: int) -> Tuple[List[Figure], List[Side]]:
        """setup.exe /qn against the direct installer call, against the work it cannot avoid (one
        verification of its own signature and one copy of the package) and against the NSIS
        peer of the same package in its four forms, all in the same rounds."""
        setup = self.exe(f"bench-setup-{size}.exe")
        package = self.bench / "packages" / str(size) / "CorvellVesk5.msi"
        on_disk = self.prefix.drive_c / "bench" / "CorvellVesk5.msi"
        on_disk.parent.mkdir(exist_ok=True)
        shutil.copyfile(package, on_disk)
        copied = self.prefix.drive_c / "bench" / "copy.msi"
        direct = self.exe("directinstall.exe")
        peers = {form: self.exe(f"nsis-{form}-{size}.exe") for form, _ in NSIS_FORMS}
        megabytes = f"{size / 1e6:.0f} MB"

        def installation(exe: Path, *args: str):
            def measure():
                ms, code = self.timer("run", exe, *args)
                self.check(code, f"{exe.name} {' '.join(args)}")
                self.remove_product()
                return ms
            return measure

        def limit():
            verify, result = self.timer("verify", setup)
            self.check(result, "WinVerifyTrust of setup.exe")
            copy, error = self.timer("copy", on_disk, self.prefix.to_windows(copied))
            self.check(error, "CopyFileW of the package")
            copied.unlink()
            return verify, copy

        measures = [installation(setup, "/qn"),
                    installation(direct, self.prefix.to_windows(on_disk), PROPERTIES),
                    limit] + [installation(peers[form]) for form, _ in NSIS_FORMS]
        # Untimed: the first run installs the runtime prerequisite's stand-in and fills the caches.
        self.remove_product()
        for measure in measures:
            measure()
        rounds = [self.in_turn(run, measures) for run in range(self.runs)]
        on_disk.unlink()
        setup_ms = [r[0] for r in rounds]
        direct_ms = [r[1] for r in rounds]
        verify_ms = [r[2][0] for r in rounds]
        copy_ms = [r[2][1] for r in rounds]
        peer_ms = {form: [r[3 + i] for r in rounds] for i, (form, _) in enumerate(NSIS_FORMS)}

        extra = [100.0 * (s - d) / d for s, d in zip(setup_ms, direct_ms)]
        against_limit = [(s - d) / (v + c) for s, d, v, c in zip(setup_ms, direct_ms, verify_ms,
                                                                 copy_ms)]
        sides = (f"setup.exe /qn {spread(setup_ms, 'ms')}, "
                 f"direct call {spread(direct_ms, 'ms')}")
        stored = peer_ms[NSIS_ROW]
        figures = [
            Figure(f"Overhead: setup.exe's extra time over MsiInstallProductW, {megabytes} package",
                   "%", extra, "at most 15 %", lambda v: v <= 15.0,
                   f"{sides}; package {package.stat().st_size:,} bytes"),
            Figure(f"Overhead against the limit: setup.exe's extra time over one verification of "
                   f"itself and one copy of the package, {megabytes} package", "x",
                   against_limit, "at most 1.25", lambda v: v <= 1.25,
                   f"{sides}, WinVerifyTrust of setup.exe {spread(verify_ms, 'ms')}, "
                   f"CopyFileW of the package {spread(copy_ms, 'ms')}"),
            Figure(f"Against NSIS: setup.exe's time over the NSIS peer's (stored), {megabytes} "
                   "package", "x", [s / n for s, n in zip(setup_ms, stored)], "", None,
                   f"setup.exe /qn {spread(setup_ms, 'ms')}, NSIS peer (stored) "
                   f"{spread(stored, 'ms')}"),
            Figure(f"Against NSIS: setup.exe's time less one verification of itself, over the "
                   f"NSIS peer's (stored), {megabytes} package", "x",
                   [(s - v) / n for s, v, n in zip(setup_ms, verify_ms, stored)], "at most 0.9",
                   lambda v: v <= 0.9,
                   f"setup.exe /qn {spread(setup_ms, 'ms')}, WinVerifyTrust of setup.exe "
                   f"{spread(verify_ms, 'ms')}, NSIS peer (stored) {spread(stored, 'ms')}"),
        ]
        peer_sides = [Side("setup.exe /qn", setup_ms, [], setup.stat().st_size)]
        peer_sides += [Side(f"NSIS peer, {label}", peer_ms[form], [], peers[form].stat().st_size)
                       for form, label in NSIS_FORMS]
        peer_sides += [Side("direct call (directinstall.exe)", direct_ms, [], 0),
                       Side("WinVerifyTrust of setup.exe", verify_ms, [], 0),
                       Side("CopyFileW of the package", copy_ms, [], 0)]
        return figures, peer_sides

    def peak_memory(self, size: int, sides: List[Side]) -> None:
        """Peak private bytes of a whole silent installation by setup.exe and by the NSIS peer's
        forms that install in their own process, in alternating order; filled into `sides`."""
        programs = {"setup.exe /qn": (self.exe(f"bench-setup-{size}.exe"), ["/qn"])}
        for form, label in NSIS_FORMS:
            if not form.endswith("msiexec"):
                programs[f"NSIS peer, {label}"] = (self.exe(f"nsis-{form}-{size}.exe"), [])

        def peak(exe: Path, args: List[str]):
            def measure():
                result = self.prefix.run(exe, args=args, timeout=600)
                self.check(result.exit_code, f"{exe.name} {' '.join(args)}")
                self.remove_product()
                return result.peak_private_bytes / MIB
            return measure

        names = list(programs)
        self.remove_product()
        rounds = [self.in_turn(run, [peak(*programs[n]) for n in names])
                  for run in range(self.runs)]
        for side in sides:
            if side.name in names:
                side.memory = [r[names.index(side.name)] for r in rounds]

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
        """Where a silent installation of the given package spends its time: `runs` timed runs
        with Wine's timestamped trace of the debugger output (every bootstrap.log line goes there
        too), of the libraries loaded and freed and of process starts, which cost the program
        next to nothing. Prints, for each event, the median time to the next event over the
        runs, and the median from the process start to the first line and from the last event
        to the process end."""
        setup = self.exe(f"bench-setup-{size}.exe")
        # Untimed, as in the benchmark: the first run installs the runtime prerequisite's stand-in.
        self.remove_product()
        self.timer("run", setup, "/qn")
        self.remove_product()
        traces, totals = [], []
        for _ in range(self.runs):
            done = self.prefix.wine([self.exe("benchtimer.exe"), "run",
                                     self.prefix.to_windows(setup), "/qn"], timeout=600,
                                    env={"WINEDEBUG": "-all,+timestamp,warn+seh,+loaddll,"
                                                      "+process"})
            self.remove_product()
            traces.append(self.trace_events(done.stderr.decode("utf-8", "replace")))
            totals.append(float(re.search(rb"run ([0-9.]+)", done.stdout).group(1)))
        names = [[what for _, what in events] for events in traces]
        if any(n != names[0] for n in names):
            print("The runs' events differ; the first run's are shown.")
            traces = traces[:1]
        steps = [[1000 * (following[0] - at[0]) for at, following in zip(events, events[1:])]
                 for events in traces]
        for i, (_, what) in enumerate(traces[0][:-1]):
            print(f"{statistics.median(s[i] for s in steps):8.1f} ms  {what[:110]}")
        print(f"whole run as benchtimer.exe measured it: {spread(totals, 'ms')}, "
              f"{len(traces)} run(s)")

    @staticmethod
    def trace_events(stderr: str) -> List[Tuple[float, str]]:
        """The events of one traced run: process start, log lines, each library loaded or freed,
        process end, each with its time in seconds."""
        events: List[Tuple[float, str]] = []
        timer_thread = None
        for line in stderr.splitlines():
            match = re.match(r"([0-9.]+):([0-9a-f]+):(\w+):(\w+):(\w+) (.*)", line)
            if not match:
                continue
            at, thread, channel, function, rest = (float(match.group(1)), match.group(2),
                                                   match.group(4), match.group(5), match.group(6))
            if function == "CreateProcessInternalW" and rest.startswith("started process"):
                if timer_thread is None:
                    timer_thread = thread
                    events.append((at, "process start to the first event"))
                else:
                    events.append((at, "child process started"))
            elif channel == "seh" and function == "OutputDebugStringA":
                # The working folder's name differs from run to run.
                text = re.sub(r"Setup[0-9A-F]{16}", "Setup*", rest.strip('"'))
                events.append((at, text.replace("\\\\", "\\")))
            elif channel == "loaddll" and timer_thread is not None:
                name = re.search(r'\\([^\\"]+)"', rest)
                verb = "load" if function == "build_module" else "free"
                events.append((at, f"{verb} {name.group(1).lower() if name else '?'}"))
            elif (thread == timer_thread and function == "NtQueryInformationProcess"
                  and ",0x00000000," in rest):
                events.append((at, "process end"))
        return events

    @staticmethod
    def check(code: int, what: str) -> None:
        if code != 0:
            sys.exit(f"{what} ended with {code}; the benchmark needs a successful run")


def machine(flavour: str) -> List[str]:
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
    bits, compiler, stubs = (("64-bit", "x86_64-w64-mingw32-g++", "amd64-unicode")
                             if flavour == "x64" else
                             ("32-bit", "i686-w64-mingw32-g++", "x86-unicode"))
    load = os.getloadavg()
    return [
        f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}",
        f"- Commit: {first(['git', '-C', str(ROOT), 'rev-parse', '--short', 'HEAD'])}",
        f"- Machine: {cpu}, {os.cpu_count()} cores, {memory}; "
        f"Linux {platform.release()}"
        + (f", Debian {debian.read_text().strip()}" if debian.exists() else ""),
        f"- Flavour measured: {flavour}: the {bits} setup.exe and tools, in a {bits} prefix"
        + (" (this machine cannot run 32-bit programs)" if flavour == "x64" else ""),
        f"- Wine: {first(['wine', '--version'])}, Windows version as Wine's default",
        f"- Compiler: {first([compiler, '-dumpversion'])} (mingw-w64, win32 threads)",
        f"- NSIS peer: {first(['makensis', '-VERSION'])}, {stubs} stubs",
        f"- Load average (1, 5, 15 minutes) when the run began: {loads(load)}",
    ]


def loads(load: Tuple[float, float, float]) -> str:
    return f"{load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}"


def peer_table(size: int, sides: List[Side]) -> List[str]:
    """setup.exe beside the NSIS peer for one package size: one row per program."""
    setup = sides[0].times
    lines = [f"**{size / 1e6:.0f} MB package**", "",
             "| Program | Silent installation | setup.exe / it | (setup.exe − own verification) "
             "/ it | Peak private bytes | Executable |",
             "|---|---|---|---|---|---|"]
    verify = next(s.times for s in sides if s.name.startswith("WinVerifyTrust"))
    for side in sides:
        peer = side.name.startswith("NSIS")
        ratio = spread([s / t for s, t in zip(setup, side.times)], "x") if peer else ""
        net = (spread([(s - v) / t for s, v, t in zip(setup, verify, side.times)], "x")
               if peer else "")
        memory = (spread(side.memory, "MiB") if side.memory else
                  "not measured: the installer runs in msiexec.exe" if "msiexec" in side.name
                  else "")
        lines.append(f"| {side.name} | {spread(side.times, 'ms')} | {ratio} | {net} | {memory} | "
                     f"{f'{side.size:,} bytes' if side.size else ''} |")
    return lines + [""]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", type=Path, default=ROOT / "docs" / "benchmark-results.md")
    parser.add_argument("--flavour", choices=("x86", "x64"),
                        help="the flavour to measure; by default the one this machine runs, as "
                             "the build decided")
    parser.add_argument("--profile", type=int, nargs="?", const=55000000, metavar="SIZE",
                        help="trace one silent installation step by step instead")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("at least 5 runs")
    build = args.build.resolve()
    os.environ["BOOTSTRAPPER_BUILD_DIR"] = str(build)
    os.environ["BOOTSTRAPPER_WORK"] = str(build / "work")
    sys.path.insert(0, str(ROOT / "tests" / "e2e"))
    from testbed import Display, Prefix, flavours  # noqa: E402 (found through the path above)

    flavour = args.flavour or (flavours.X86 if flavours.runs_32bit() else flavours.X64)
    tree = build / ("windows-x64" if flavour == flavours.X64 else "windows")
    os.environ["BOOTSTRAPPER_FLAVOUR"] = flavour
    os.environ["BOOTSTRAPPER_WIN_BUILD"] = str(tree)
    started = machine(flavour)
    root_cert = tree / "signing" / "publisher" / "ca.cer"
    figures: List[Figure] = []
    peers: Dict[int, List[Side]] = {}
    with Display() as display, Prefix(display, root_cert=root_cert, name="bench",
                                      flavour=flavour) as prefix:
        bench = Bench(prefix, tree, args.runs)
        if args.profile:
            bench.profile(args.profile)
            return 0

        def installation(size: int) -> List[Figure]:
            found, peers[size] = bench.overhead(size)
            bench.peak_memory(size, peers[size])
            return found

        measures = (lambda: installation(55000000), lambda: installation(200000000),
                    lambda: [bench.extraction()], lambda: [bench.memory()],
                    lambda: [bench.startup()], lambda: [bench.size()])
        for measure in measures:
            for figure in measure():
                print(f"{figure.name}: {' | '.join(figure.cells()[1:])}", flush=True)
                figures.append(figure)

    lines = ["# Benchmark results", "",
             "Written by `bench/run.sh`; docs/benchmarks.md says what each figure measures.", "",
             *started, f"- Load average when it ended: {loads(os.getloadavg())}",
             f"- Runs: {args.runs} per figure, the sides of each in alternating order", "",
             "| Figure | Median | Min to max | Goal | |", "|---|---|---|---|---|"]
    lines += ["| " + " | ".join(f.cells()) + " |" for f in figures]
    lines += ["", "## setup.exe beside the NSIS peer", "",
              "Each a silent installation of the same package in the same rounds (median, min "
              "to max); the ratios are taken round by round. The direct call, the verification "
              "and the copy are the overhead's sides, for reference.", ""]
    for size, sides in peers.items():
        lines += peer_table(size, sides)
    lines += ["## Measured sides (median, min to max)", ""]
    lines += [f"- {f.name.split(':')[0]}: {f.detail}" for f in figures]
    text = "\n".join(lines) + "\n"
    args.output.write_text(text)
    print()
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
