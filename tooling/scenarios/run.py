"""Runs the steps of a scenario check in one Wine prefix, through the test bed's Windows-side
harness, and records what each step showed and left.

Each setup.exe lies in a media folder of its own in the prefix (C:\\media-N\\setup.exe), as on
a customer's media, for the whole run; a step's media and Feature.ini lie beside it for that
step only. A step of a download product has its upload folder served on 127.0.0.1 at the port
its BASEURL names, for the length of the step.
"""

import shutil
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from .. import REPO_ROOT
from .setups import Setup, same_version
from .steps import RESTART_CODES, Step

# The test bed of the end-to-end tests runs programs under Wine for this check too.
sys.path.insert(0, str(REPO_ROOT / "tests" / "e2e"))
from testbed import (Display, DisplayError, HarnessError, HttpServer, Prefix,  # noqa: E402
                     WineError)
from testbed.leftovers import snapshot, temp_leftovers  # noqa: E402

# A station that nobody sees, as a deployment service's programs run on.
HIDDEN_STATION = "Deployment"
REPAIR_MODE = "omus"
INSTALLED = 5


class PrefixError(RuntimeError):
    """The display or the prefix could not be had; the message says why."""


class CheckRun:
    """One prefix on its own display, with every setup.exe laid on its media."""

    def __init__(self, setups: Sequence[Setup], flavour: str, report: Path, timeout: float,
                 root_cert: Optional[Path] = None, windows_version: Optional[str] = None):
        self.setups = {s.number: s for s in setups}
        self.report = report
        self.timeout = timeout
        self.flavour = flavour
        self.options = {"root_cert": root_cert, "windows_version": windows_version}
        self.prefix: Optional[Prefix] = None

    def open(self) -> "CheckRun":
        try:
            self.prefix = Prefix(Display.shared(), name="check-setup", flavour=self.flavour,
                                 **self.options)
            self.prefix.open()
            for setup in self.setups.values():
                media = self.media(setup.number)
                media.mkdir(parents=True)
                shutil.copyfile(setup.path, media / "setup.exe")
        except (DisplayError, WineError, OSError) as error:
            raise PrefixError(f"the Wine prefix could not be made: {error}") from None
        return self

    def close(self, keep: bool = False) -> Optional[Path]:
        if self.prefix is None:
            return None
        if keep:
            return self.prefix.keep()
        self.prefix.close()
        return None

    def media(self, number: int) -> Path:
        return self.prefix.drive_c / f"media-{number}"

    # ------------------------------------------------------------------ one step

    def run_step(self, number: int, step: Step) -> dict:
        setup = self.setups[step.setup]
        folder = self.report / f"{number:02d}-{step.name}"
        folder.mkdir(parents=True)
        result = {"number": number, "name": step.name, "step": step.text(),
                  "setup": setup.number, "expected": step.expected_text, "exit_code": None,
                  "timed_out": False, "boxes": [], "boxes_recorded": not step.hidden_desktop,
                  "window": None, "products": [], "left_in_temp": [],
                  "left_in_windows_temp": [], "beside_setup": [], "logs": [], "failures": [],
                  "folder": folder.name}
        temp, work = self.prefix.temp_dir, self.prefix.windows_temp
        logs_before = _log_stamps(temp)
        temp_before, work_before = snapshot(temp), snapshot(work)
        laid = self._lay_media(step)
        media_before = snapshot(self.media(setup.number))
        server = None
        started = time.monotonic()
        try:
            server = self._serve(setup)
            if step.repair:
                self._repair(setup, result)
            else:
                self._run_setup(step, setup, result)
        except (HarnessError, WineError, OSError) as error:
            result["failures"].append(f"could not be run: {error}")
        finally:
            result["elapsed_s"] = round(time.monotonic() - started, 1)
            if server:
                server.stop()
            beside = temp_leftovers(self.media(setup.number), media_before, logs_stay=False)
            self._take_media_away(laid)
            result["beside_setup"] = beside
        if result["timed_out"]:
            # What a program that was ended had no chance to clean up is no finding.
            result["left_in_temp"] = result["left_in_windows_temp"] = None
        else:
            result["left_in_temp"] = temp_leftovers(temp, temp_before)
            result["left_in_windows_temp"] = temp_leftovers(work, work_before, logs_stay=False)
        result["logs"] = self._copy_logs(temp, logs_before, folder)
        try:
            result["products"] = self.prefix.msi_products()
        except WineError as error:
            result["failures"].append(f"the installed products could not be read: {error}")
        self._judge(step, result)
        return result

    def _run_setup(self, step: Step, setup: Setup, result: dict) -> None:
        exe = self.media(setup.number) / "setup.exe"
        result["command"] = " ".join([self.prefix.to_windows(exe), *step.switches])
        run = self.prefix.run(exe, args=step.switches, answers=step.answers,
                              timeout=self.timeout, raise_on_timeout=False, check_temp=False,
                              hidden_station=HIDDEN_STATION if step.hidden_desktop else None)
        result["exit_code"] = run.exit_code
        result["timed_out"] = run.timed_out
        result["boxes"] = [{"caption": b.caption, "text": b.text, "icon": b.icon,
                            "buttons": b.button_labels, "answer": b.answer} for b in run.boxes]
        if run.dialog and run.dialog.seen:
            result["window"] = {"title": run.dialog.title, "visible": run.dialog.visible,
                                "texts": [text for _, text in run.dialog.texts]}
        if run.timed_out:
            windows = "; ".join(f"{w['class']} {w['caption']!r}" for w in run.windows_at_timeout)
            result["failures"].append(f"did not end within {self.timeout:g} s and was ended; "
                                      f"open windows: {windows or 'none'}")

    def _repair(self, setup: Setup, result: dict) -> None:
        code = setup.package.get("ProductCode") if setup.package else None
        if not code:
            result["failures"].append(f"{setup.path}: its package is not at hand, so the "
                                      f"product to repair is unknown")
            return
        result["command"] = f"repair of {code} (REINSTALLMODE={REPAIR_MODE})"
        log = self.prefix.temp_dir / f"{setup.product_name}.log"
        result["exit_code"] = self.prefix.msi_reinstall(code, REPAIR_MODE, log=log)

    def _lay_media(self, step: Step) -> List[Tuple[Path, Optional[bytes]]]:
        """Copies the step's media beside setup.exe; returns each file or folder it laid with
        what it replaced, so that the media are as before once the step is over."""
        target = self.media(step.setup)
        sources = []
        if step.media:
            sources += [(p, target / p.relative_to(step.media))
                        for p in sorted(step.media.rglob("*"))]
        if step.feature_ini:
            sources.append((step.feature_ini, target / "OEM" / "Feature.ini"))
        laid: List[Tuple[Path, Optional[bytes]]] = []
        for source, destination in sources:
            if source.is_dir():
                if not destination.is_dir():
                    destination.mkdir(parents=True)
                    laid.append((destination, None))
                continue
            if not destination.parent.is_dir():
                destination.parent.mkdir(parents=True)
                laid.append((destination.parent, None))
            laid.append((destination, destination.read_bytes() if destination.is_file() else None))
            shutil.copyfile(source, destination)
        return laid

    @staticmethod
    def _take_media_away(laid: List[Tuple[Path, Optional[bytes]]]) -> None:
        for path, replaced in reversed(laid):
            if replaced is not None:
                path.write_bytes(replaced)
            elif path.is_dir() and not path.is_symlink():
                shutil.rmtree(path, ignore_errors=True)
            else:
                path.unlink(missing_ok=True)

    def _serve(self, setup: Setup) -> Optional[HttpServer]:
        files = setup.served_files()
        if files is None:
            return None
        return HttpServer(files=files, port=setup.port).start()

    def _copy_logs(self, temp: Path, before: Dict[str, tuple], folder: Path) -> List[dict]:
        """The logs this step wrote in the temporary folder (bootstrap.log and the installer's
        log), copied into the step's report folder."""
        logs = []
        # bootstrap.log first, then the installer's.
        for name, stamp in sorted(_log_stamps(temp).items(),
                                  key=lambda item: (item[0].lower() != "bootstrap.log", item[0])):
            if before.get(name) == stamp:
                continue
            shutil.copyfile(temp / name, folder / name)
            logs.append({"name": name,
                         "path": self.prefix.temp_dir_windows.rstrip("\\") + "\\" + name,
                         "copy": f"{folder.name}/{name}"})
        return logs

    def _judge(self, step: Step, result: dict) -> None:
        code = result["exit_code"]
        if code is not None and not step.accepts(code):
            result["failures"].insert(0, f"exit code {code}, expected {step.expected_text}")
        result["restart_asked"] = code in RESTART_CODES
        for number in step.installed:
            setup = self.setups[number]
            if not self._installed(setup, result["products"]):
                result["failures"].append(f"{_product(setup)} is not installed afterwards")
        for number in step.absent:
            setup = self.setups[number]
            if self._installed(setup, result["products"]):
                result["failures"].append(f"{_product(setup)} is still installed afterwards")
        result["passed"] = not result["failures"]

    @staticmethod
    def _installed(setup: Setup, products: List[dict]) -> bool:
        if not setup.package or not setup.package.get("ProductCode"):
            return False
        code = setup.package["ProductCode"].upper()
        return any(p["code"].upper() == code and p["state"] == INSTALLED
                   and same_version(p["version"], setup.version) for p in products)


def _product(setup: Setup) -> str:
    if not setup.package:
        return f"the product of {setup.path}"
    return (f"{setup.package.get('ProductName')} {setup.version} "
            f"{setup.package.get('ProductCode')} (setup.exe {setup.number})")


def _log_stamps(folder: Path) -> Dict[str, tuple]:
    """Size and modification time of each log at the top of the folder."""
    if not folder.is_dir():
        return {}
    return {p.name: (p.stat().st_mtime_ns, p.stat().st_size) for p in folder.iterdir()
            if p.is_file() and p.suffix.lower() == ".log"}

