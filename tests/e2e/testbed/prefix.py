"""A Wine prefix for one test file, and the programs run in it.

A prefix is a copy of a template prefix. The template is made once per Wine version and
architecture (wineboot takes 10 to 20 s, a copy about 2 s) under a file lock, because two test
processes may want it at the same moment. While a prefix is open its wineserver stays up, so each
program start costs a fraction of a second instead of a full Wine start-up.

The programs of the x86 flavour are started by the `wine` script, those of the x64 flavour by
the 64-bit loader itself (see flavours.py).
"""

import atexit
import fcntl
import itertools
import os
import re
import shutil
import subprocess
import tempfile
import uuid
from pathlib import Path, PureWindowsPath
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import flavours, paths
from .display import Display
from .leftovers import TempLeftovers, snapshot, temp_leftovers
from .results import HarnessError, HarnessTimeout, RunResult, load_record

PathLike = Union[str, os.PathLike]

_WINEBOOT_TIMEOUT = 300
_WINE_TIMEOUT = 120
_TEMPLATE_MARK = ".testbed-template-complete"
LOG_NAME = "bootstrap.log"

# Settings every prefix starts with. Without a window manager, Wine waits up to two seconds for
# one whenever a managed window (a message box, the progress dialog) is hidden; unmanaged
# windows skip that wait. A crashing program must end instead of opening the debugger's dialog.
_TEMPLATE_SETTINGS = [
    ("HKCU\\Software\\Wine\\X11 Driver", "Managed", "REG_SZ", "N"),
    ("HKCU\\Software\\Wine\\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
]

WINDOWS_VERSIONS = ("win2k", "winxp", "win2003", "vista", "win7", "win8", "win10")


class WineError(RuntimeError):
    pass


def _wine_version() -> str:
    """The Wine version as a file name: a template is only good for the Wine that made it."""
    # Asked of the 64-bit loader where there is one: the 32-bit one may be installed but unable
    # to run.
    loader = flavours.WINE64 if os.access(flavours.WINE64, os.X_OK) else "wine"
    out = subprocess.run([loader, "--version"], capture_output=True, text=True, check=True)
    return re.sub(r"[^A-Za-z0-9._-]+", "_", out.stdout.strip()).strip("_")


def _base_env() -> Dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    # Wine turns Unix arguments and file names into UTF-16 with the locale's character set.
    env["LC_ALL"] = "C.UTF-8"
    env["WINEDEBUG"] = "-all"
    return env


def _run(command: Sequence[str], env: Dict[str, str], timeout: float,
         check: bool = False) -> subprocess.CompletedProcess:
    """Runs a Wine command and collects its output through files, not pipes.

    Wine's own background processes (the server, services.exe, explorer.exe) inherit the
    standard handles of the command that started them and keep them open; a pipe would then
    never reach its end and the caller would wait for ever.
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(list(command), env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        result = subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())
    if check and result.returncode != 0:
        raise WineError(f"{' '.join(map(str, command))} failed ({result.returncode}): "
                        f"{result.stderr.decode('utf-8', 'replace')[-2000:]}")
    return result


def _write_args_file(path: Path, args: Sequence[str]) -> None:
    path.write_bytes(b"".join(str(a).encode("utf-8") + b"\0" for a in args))


def _template_loader(arch: str, runs_32bit: bool) -> str:
    """What makes and sets up a template: a 64-bit prefix where no 32-bit program runs is made
    by the 64-bit loader, which then also leaves its 32-bit system folder empty."""
    return flavours.WINE64 if arch == "win64" and not runs_32bit else "wine"


def _template_lock(root: Path, name: str):
    return open(root / f".{name}.lock", "w")


def ensure_template(arch: str, runs_32bit: Optional[bool] = None,
                    timeout: float = _WINEBOOT_TIMEOUT) -> Path:
    """The template prefix for `arch` (win32 or win64), made on first use."""
    if runs_32bit is None:
        runs_32bit = flavours.runs_32bit()
    if arch not in ("win32", "win64"):
        raise ValueError(f"unknown Wine architecture {arch!r}")
    root = paths.work_dir() / "templates"
    root.mkdir(parents=True, exist_ok=True)
    template = root / f"{_wine_version()}-{arch}"
    if (template / _TEMPLATE_MARK).exists():
        return template
    # One lock per template: a process that makes the 64-bit one does not hold up the 32-bit one.
    with _template_lock(root, template.name) as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            if (template / _TEMPLATE_MARK).exists():
                return template  # made by another process while this one waited
            # Whatever an interrupted build left behind goes first.
            if template.exists():
                shutil.rmtree(template)
            for stale in root.glob(f"building-{arch}-*"):
                shutil.rmtree(stale, ignore_errors=True)
            building = Path(tempfile.mkdtemp(prefix=f"building-{arch}-", dir=root))
            building.rmdir()  # wineboot wants to create the folder itself
            try:
                _build_template(building, arch, _template_loader(arch, runs_32bit), timeout)
                building.rename(template)
            except BaseException:
                shutil.rmtree(building, ignore_errors=True)
                raise
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)
    return template


def _build_template(where: Path, arch: str, loader: str, timeout: float) -> None:
    env = _base_env()
    env.update(WINEPREFIX=str(where), WINEARCH=arch, WINEDLLOVERRIDES="mscoree,mshtml=")
    # No display: wineboot needs none, and the template must not remember one.
    env.pop("DISPLAY", None)
    boot = ["wineboot", "-i"] if loader == "wine" else [loader, "wineboot.exe", "-i"]
    _run(boot, env, timeout, check=True)
    for key, name, kind, data in _TEMPLATE_SETTINGS:
        _run([loader, "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"], env,
             _WINE_TIMEOUT, check=True)
    # The registry reaches the disk when the server ends; only then may the folder be copied.
    _run(["wineserver", "-w"], env, _WINEBOOT_TIMEOUT)
    (where / _TEMPLATE_MARK).write_text("complete\n")


def run_in_template(arch: str, command: Sequence[str], runner, runs_32bit: bool,
                    timeout: float = _WINEBOOT_TIMEOUT):
    """Runs `runner(command, env)` in the template of `arch` itself (made first if need be) and
    returns what it returns; no prefix is copied from the template meanwhile."""
    template = ensure_template(arch, runs_32bit=runs_32bit, timeout=timeout)
    env = _base_env()
    env.update(WINEPREFIX=str(template), WINEARCH=arch)
    env.pop("DISPLAY", None)
    with _template_lock(template.parent, template.name) as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            return runner(command, env)
        finally:
            # The template is copied only once its server has written the registry and ended.
            _run(["wineserver", "-k"], env, _WINE_TIMEOUT)
            _run(["wineserver", "-w"], env, _WINE_TIMEOUT)


class Prefix:
    """A private copy of a template prefix, with helpers to run programs in it.

    Paths given to the helpers may be Linux paths (turned into C:\\ inside the prefix, Z:\\
    elsewhere) or Windows paths (passed on unchanged).
    """

    def __init__(self, display: Display, arch: Optional[str] = None,
                 windows_version: Optional[str] = None, root_cert: Optional[PathLike] = None,
                 dll_overrides: Optional[str] = None, name: str = "prefix",
                 flavour: Optional[str] = None):
        self.display = display
        self.flavour = flavour or flavours.current()
        # A 64-bit program needs a 64-bit Windows.
        self.arch = arch or ("win64" if self.flavour == flavours.X64 else "win32")
        if self.flavour == flavours.X64 and self.arch != "win64":
            raise ValueError("the programs of the x64 flavour run only in a win64 prefix")
        self.windows_version = windows_version
        self.root_cert = root_cert
        self.dll_overrides = dll_overrides
        self.name = name
        self.path: Optional[Path] = None
        self.temp_dir_windows: Optional[str] = None
        self.temp_dir: Optional[Path] = None
        self._server_started = False
        self._counter = itertools.count(1)

    # ---------------------------------------------------------------- lifetime

    def open(self) -> "Prefix":
        template = ensure_template(self.arch)
        parent = paths.work_dir() / "prefixes"
        parent.mkdir(parents=True, exist_ok=True)
        self.path = parent / f"{self.name}-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        atexit.register(self.close)
        with _template_lock(template.parent, template.name) as lock:
            # Never a copy of a template that a probe is running in.
            fcntl.flock(lock, fcntl.LOCK_SH)
            subprocess.run(["cp", "-a", str(template), str(self.path)], check=True)
        (self.path / _TEMPLATE_MARK).unlink()
        self.scratch.mkdir(parents=True, exist_ok=True)
        _run(["wineserver", "-p"], self.env(), _WINE_TIMEOUT, check=True)
        self._server_started = True

        setup: List[List[str]] = []
        if self.windows_version:
            setup.append(["reg-set", "HKCU", "Software\\Wine", "Version", "REG_SZ",
                          self.windows_version])
        if self.root_cert:
            setup.append(["add-root-cert", self.to_windows(self.root_cert)])
        setup.append(["temp"])
        answers = self.wintool(*setup)
        for answer in answers:
            if not answer["ok"]:
                raise WineError(f"prefix set-up failed: {answer}")
        self.temp_dir_windows = answers[-1]["path"]
        self.temp_dir = self.to_linux(self.temp_dir_windows)
        self.temp_dir.mkdir(parents=True, exist_ok=True)
        return self

    def close(self) -> None:
        if self.path is None:
            return
        self._end_server()
        shutil.rmtree(self.path, ignore_errors=True)
        self.path = None
        atexit.unregister(self.close)

    def keep(self) -> Path:
        """Ends the prefix's Wine server and leaves the folder in place, for a person to look
        at; the prefix is then no longer this object's. Returns its folder."""
        path = self.path
        self._end_server()
        self.path = None
        atexit.unregister(self.close)
        return path

    def _end_server(self) -> None:
        if self._server_started:
            _run(["wineserver", "-k"], self.env(), _WINE_TIMEOUT)
            # The copy must not be removed under a server that is still going away.
            _run(["wineserver", "-w"], self.env(), _WINE_TIMEOUT)
            self._server_started = False

    def __enter__(self) -> "Prefix":
        return self.open()

    def __exit__(self, *exc) -> None:
        self.close()

    # ---------------------------------------------------------------- paths and environment

    @property
    def drive_c(self) -> Path:
        return self.path / "drive_c"

    @property
    def windows_temp(self) -> Path:
        """The Windows folder's own Temp, where the program makes the folder it works in."""
        return self.drive_c / "windows" / "temp"

    @property
    def scratch(self) -> Path:
        """A folder of the test bed's own files (argument files, records) inside the prefix."""
        return self.drive_c / "testbed"

    def env(self, extra: Optional[Dict[str, str]] = None) -> Dict[str, str]:
        env = _base_env()
        env.update(WINEPREFIX=str(self.path), WINEARCH=self.arch, DISPLAY=self.display.name)
        if self.dll_overrides:
            env["WINEDLLOVERRIDES"] = self.dll_overrides
        if extra:
            env.update(extra)
        return env

    def to_windows(self, path: PathLike) -> str:
        """A Linux path as the prefix's programs name it; a Windows path is returned as it is."""
        text = os.fspath(path)
        if not text.startswith("/"):
            return text
        absolute = Path(os.path.abspath(text))
        try:
            inside = absolute.relative_to(self.drive_c)
            return "C:\\" + "\\".join(inside.parts)
        except ValueError:
            return "Z:" + str(absolute).replace("/", "\\")

    def to_linux(self, windows_path: str) -> Path:
        """The Linux path of a Windows path in this prefix, matching names without case."""
        pure = PureWindowsPath(windows_path)
        drive = pure.drive.lower()
        if len(drive) != 2 or drive[1] != ":":
            raise ValueError(f"not a drive path: {windows_path!r}")
        base = (self.path / "dosdevices" / drive).resolve()
        current = base
        for part in pure.parts[1:]:
            exact = current / part
            if exact.exists() or not current.is_dir():
                current = exact
                continue
            matches = [c for c in current.iterdir() if c.name.lower() == part.lower()]
            current = matches[0] if matches else exact
        return current

    # ---------------------------------------------------------------- running programs

    def wine(self, args: Sequence[PathLike], timeout: float = _WINE_TIMEOUT,
             env: Optional[Dict[str, str]] = None) -> subprocess.CompletedProcess:
        """Runs `wine ARGS` with the flavour's loader; the exit status is only the low 8 bits of
        the Windows exit code."""
        return _run([flavours.loader(self.flavour), *map(os.fspath, args)], self.env(env),
                    timeout)

    def wintool(self, *commands: Sequence[PathLike], timeout: float = _WINE_TIMEOUT) -> List[dict]:
        """Runs several wintool commands in one Wine start; returns one answer per command."""
        words: List[str] = []
        for command in commands:
            if words:
                words.append(";")
            words.extend(os.fspath(w) for w in command)
        args_file = self.scratch / f"wintool-{next(self._counter)}.args"
        _write_args_file(args_file, words)
        done = self.wine([paths.artifact("wintool.exe"), "--args-file",
                          self.to_windows(args_file)], timeout=timeout)
        args_file.unlink()
        answers = [load_record(line) for line in done.stdout.decode("utf-8").splitlines()
                   if line.startswith("{")]
        if len(answers) != len(commands):
            raise WineError(f"wintool gave {len(answers)} answers to {len(commands)} commands "
                            f"(exit status {done.returncode}): {done.stdout!r} {done.stderr!r}")
        for answer in answers:
            if "error" in answer:
                raise WineError(f"wintool command rejected: {answer}")
        return answers

    def run(self, exe: PathLike, args: Optional[Sequence[str]] = None,
            raw_args: Optional[str] = None, raw_cmdline: Optional[str] = None,
            cwd: Optional[PathLike] = None, env: Optional[Dict[str, Optional[str]]] = None,
            answers: Union[Iterable[Tuple[str, str]], Dict[str, str]] = (),
            default_answer: Optional[str] = None, escape_when: Optional[str] = None,
            timeout: float = 120.0, keep_log: bool = False,
            raise_on_timeout: bool = True,
            hold_answers_until: Optional[PathLike] = None,
            box_seen_file: Optional[PathLike] = None,
            seen_files: Union[Iterable[Tuple[str, PathLike]], Dict[str, PathLike]] = (),
            check_temp: bool = True, hidden_station: Optional[str] = None,
            wine_env: Optional[Dict[str, str]] = None,
            swap_before_start: Optional[PathLike] = None) -> RunResult:
        """Runs `exe` under the harness and returns what the user saw and what it returned; the
        arguments are those of the table in README.md. A run that does not end within `timeout`
        seconds raises HarnessTimeout (unless `raise_on_timeout` is False).
        """
        if args and (raw_args is not None or raw_cmdline is not None):
            raise ValueError("args and raw_args/raw_cmdline exclude each other")
        n = next(self._counter)
        record_file = self.scratch / f"run-{n}.json"
        args_file = self.scratch / f"run-{n}.args"
        record_file.unlink(missing_ok=True)

        log_dir = self._log_dir(env)
        log_file = log_dir / LOG_NAME if log_dir else None
        if log_file and not keep_log:
            log_file.unlink(missing_ok=True)
        # (folder, what it held before, whether logs may stay in it) for the leftovers check
        watched = [(folder, snapshot(folder), stay)
                   for folder, stay in ((log_dir, True), (self.windows_temp, False))
                   if check_temp and folder]

        words: List[str] = ["--record", self.to_windows(record_file),
                            "--timeout-ms", str(max(1, int(timeout * 1000)))]
        for name, value in (env or {}).items():
            words += ["--env-remove", name] if value is None else ["--env", f"{name}={value}"]
        pairs = answers.items() if isinstance(answers, dict) else answers
        for pattern, button in pairs:
            words += ["--answer", f"{pattern}={button}"]
        for option, value in (("--cwd", cwd and self.to_windows(cwd)),
                              ("--default-answer", default_answer or None),
                              ("--escape-when", escape_when),
                              ("--hold-answers-until",
                               hold_answers_until and self.to_windows(hold_answers_until)),
                              ("--box-seen-file", box_seen_file and self.to_windows(box_seen_file)),
                              ("--hidden-station", hidden_station),
                              ("--swap-before-start",
                               swap_before_start and self.to_windows(swap_before_start)),
                              ("--raw-args", raw_args), ("--raw-cmdline", raw_cmdline)):
            if value is not None:
                words += [option, value]
        seen = seen_files.items() if isinstance(seen_files, dict) else seen_files
        for text, file in seen:
            Path(file).unlink(missing_ok=True)
            words += ["--seen-file", f"{text}={self.to_windows(file)}"]
        words += ["--", self.to_windows(exe), *(args or [])]
        _write_args_file(args_file, words)

        # Wine's own start and the harness's clean-up after a time-out come on top of the
        # program's time.
        try:
            done = self.wine([paths.artifact("runharness.exe"), "--args-file",
                              self.to_windows(args_file)], timeout=timeout + 60,
                             env=wine_env)
        except subprocess.TimeoutExpired as e:
            raise HarnessError(f"the harness itself did not end: {e}") from e
        stdout = done.stdout.decode("utf-8", "replace")
        stderr = done.stderr.decode("utf-8", "replace")
        if not record_file.exists():
            raise HarnessError(f"no record from the harness (status {done.returncode}): "
                               f"{stdout}\n{stderr}")
        record = load_record(record_file.read_text(encoding="utf-8"))
        if record.get("launch_error") is not None:
            raise HarnessError(f"cannot start {exe}: Windows error {record['launch_error']}")
        log_bytes = log_file.read_bytes() if log_file and log_file.exists() else None
        result = RunResult(record, log_bytes)
        if result.timed_out and raise_on_timeout:
            raise HarnessTimeout(result)
        # A program ended at the time-out had no chance to clean up.
        for folder, before, logs_stay in ([] if result.timed_out else watched):
            result.temp_leftovers = temp_leftovers(folder, before, logs_stay=logs_stay)
            if result.temp_leftovers:
                raise TempLeftovers(result, folder)
        return result

    def _log_dir(self, env: Optional[Dict[str, Optional[str]]]) -> Optional[Path]:
        # GetTempPathW looks at TMP first, then TEMP.
        for name in ("TMP", "TEMP"):
            for key, value in (env or {}).items():
                if key.upper() == name and value is not None:
                    try:
                        return self.to_linux(value)
                    except ValueError:
                        return None
        return self.temp_dir

    def reset_temp(self) -> None:
        """Empties the user's Temp folder, so that no test sees another's leftovers."""
        if not self.temp_dir or not self.temp_dir.exists():
            return
        for child in self.temp_dir.iterdir():
            if child.is_dir() and not child.is_symlink():
                shutil.rmtree(child, ignore_errors=True)
            else:
                child.unlink(missing_ok=True)

    # ---------------------------------------------------------------- registry, files, installer

    def _view(self, view: Optional[int]) -> List[str]:
        # By default the view that the x86 program sees: the 32-bit one on 64-bit Windows, which
        # the 64-bit tools must ask for.
        if view is None and self.arch == "win64":
            view = 32
        return ["--view", str(view)] if view else []

    def _checked(self, *command, field: Optional[str] = None, timeout: float = _WINE_TIMEOUT):
        """The answer to one wintool command that must be carried out, or its `field`."""
        (answer,) = self.wintool([os.fspath(w) for w in command], timeout=timeout)
        if not answer["ok"]:
            raise WineError(f"{command[0]} failed: {answer}")
        return answer if field is None else answer[field]

    def reg_get(self, root: str, key: str, value: str,
                view: Optional[int] = None) -> Optional[Tuple[str, object]]:
        """(type, data) of a registry value, or None when the key or the value is missing."""
        answer = self._checked("reg-get", root, key, value, *self._view(view))
        return None if answer["type"] is None else (answer["type"], answer["data"])

    def reg_set(self, root: str, key: str, value: str, kind: str, data,
                view: Optional[int] = None) -> None:
        self._checked("reg-set", root, key, value, kind, str(data), *self._view(view))

    def reg_delete_key(self, root: str, key: str, view: Optional[int] = None) -> bool:
        """Deletes a key with everything below it; returns whether it existed."""
        return self._checked("reg-delete-key", root, key, *self._view(view), field="existed")

    def reg_delete_value(self, root: str, key: str, value: str,
                         view: Optional[int] = None) -> bool:
        return self._checked("reg-delete-value", root, key, value, *self._view(view),
                             field="existed")

    def msi_state(self, product_code: str) -> int:
        """MsiQueryProductStateW: 5 installed, -1 unknown."""
        return self.wintool(["msi-state", product_code])[0]["state"]

    def msi_product_prop(self, product_code: str, prop: str) -> Optional[str]:
        return self.wintool(["msi-product-prop", product_code, prop])[0]["value"]

    def msi_products(self) -> List[dict]:
        """Every product the installer knows: code, name, version and state (5 installed)."""
        return self.wintool(["msi-products"])[0]["products"]

    def _installer(self, *command, log: Optional[PathLike] = None) -> int:
        """The installer's result of a silent action, logged to `log` when given."""
        words = [*command, *(["--log", self.to_windows(log)] if log else [])]
        return self.wintool(words, timeout=300)[0]["code"]

    def msi_install(self, package: PathLike, properties: str = "",
                    log: Optional[PathLike] = None) -> int:
        return self._installer("msi-install", self.to_windows(package), properties, log=log)

    def msi_remove(self, product_code: str, log: Optional[PathLike] = None) -> int:
        return self._installer("msi-remove", product_code, log=log)

    def msi_reinstall(self, product_code: str, mode: str = "omus",
                      log: Optional[PathLike] = None) -> int:
        """A silent repair, `mode` as msiexec /f takes it; the installer's result."""
        return self._installer("msi-reinstall", product_code, mode, log=log)

    def acl(self, path: PathLike) -> str:
        """The owner and access list of a file or folder as GetNamedSecurityInfoW reads them back,
        in SDDL ("O:...D:...")."""
        return self._checked("acl", self.to_windows(path), field="sddl")

    def version_info(self, path: PathLike) -> dict:
        """The version resource of a file as the system reads it: file_version, product_version
        and its strings (None when it has none)."""
        return self.wintool(["version-info", self.to_windows(path)])[0]

    def add_root_cert(self, cert: PathLike) -> None:
        self._checked("add-root-cert", self.to_windows(cert))

    def root_cert_present(self, cert: PathLike) -> bool:
        return self.wintool(["root-cert-present", self.to_windows(cert)])[0]["present"]

    def file_exists(self, path: PathLike) -> bool:
        return self.wintool(["file-exists", self.to_windows(path)])[0]["exists"]

    def ls(self, folder: PathLike) -> List[str]:
        return [e["name"] for e in self.wintool(["ls", self.to_windows(folder)])[0]["entries"]]

    def delete(self, path: PathLike) -> bool:
        """Deletes a file or a folder tree through Windows; returns whether it existed."""
        return self.wintool(["delete", self.to_windows(path)])[0]["existed"]

    def url_cache(self) -> List[Tuple[str, str]]:
        """(URL, local file) of every entry of the user's URL cache."""
        return [(e["url"], e["file"]) for e in self._checked("url-cache", field="entries")]

    @property
    def program_files_32(self) -> str:
        """Where a 32-bit package installs: Program Files (x86) on 64-bit Windows."""
        return "C:\\Program Files (x86)" if self.arch == "win64" else "C:\\Program Files"

    @property
    def installer_view(self) -> Optional[int]:
        """The registry view of the Windows Installer's own registration (products, source
        lists): the 64-bit one on 64-bit Windows, whichever program installed."""
        return 64 if self.arch == "win64" else None

    def wow64(self) -> bool:
        return self.wintool(["wow64"])[0]["wow64"]

    def version(self) -> dict:
        return self.wintool(["version"])[0]
