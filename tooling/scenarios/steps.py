"""The steps of a scenario check: their plain-text form, the standard set, and whether a step's
exit code is the one it expects.

One step is one line of words:

    NAME [OPTION=VALUE...] [SWITCHES...]

NAME names the step in the report and in the JUnit file. The options come first; the first word
that starts with "/" or "-", or the word `repair`, starts what the step does, and everything from
there on is passed on as it stands. Words are separated by blanks; double quotes keep blanks in
a word ("C:\\My Media"); a backslash is an ordinary character. In a step file, "#" starts a
comment, blank lines are skipped, and files are named relative to the file's folder.

    setup=N           the setup.exe to run, by its position on the command line (default 1)
    expect=CODE       the exit code the step expects, decimal or 0x...; by default 0, and 3010
                      or 3011 (the product installed, a restart is asked for) pass too
    media=FOLDER      lays the folder's contents beside setup.exe for this step (OEM\\, the
                      product's ini file...)
    feature-ini=FILE  a distributor's OEM\\Feature.ini beside setup.exe for this step
    desktop=hidden    runs setup.exe with no interactive desktop, as a deployment service does
                      (no box can be seen or answered there)
    answer=TEXT:BUTTON
                      a box whose caption or text holds TEXT gets BUTTON (ok, cancel, yes, no,
                      abort, retry, ignore); any other box gets its safe answer: No where there
                      is one, else OK, else Cancel
    installed=N       afterwards the product of setup.exe N is installed, in its version
    absent=N          afterwards the product of setup.exe N is not installed in its version

    SWITCHES          setup.exe's command line (/qn, /x /qn, /w /qb, /a C:\\admin ...); none at
                      all runs it with the full user interface
    repair            instead of a run of setup.exe, the Windows Installer's repair of the
                      installed product of setup.exe N (as Programs and Features starts it)
"""

import re
import shlex
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

# The codes a run ends with when it did what it was asked: 3010 and 3011 when, besides, it asks
# for a restart.
SUCCESS = 0
RESTART_CODES = (3010, 3011)
BUTTONS = ("ok", "cancel", "yes", "no", "abort", "retry", "ignore")
REPAIR = "repair"
HIDDEN_DESKTOP = "hidden"
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*\Z")


class StepError(ValueError):
    """A step that cannot be read; the message says where and why."""


@dataclass
class Step:
    name: str
    setup: int = 1
    switches: List[str] = field(default_factory=list)
    repair: bool = False
    expect: Optional[int] = None
    media: Optional[Path] = None
    feature_ini: Optional[Path] = None
    hidden_desktop: bool = False
    answers: List[Tuple[str, str]] = field(default_factory=list)
    installed: List[int] = field(default_factory=list)
    absent: List[int] = field(default_factory=list)

    def accepts(self, code: Optional[int]) -> bool:
        if self.expect is not None:
            return code == self.expect
        return code == SUCCESS or code in RESTART_CODES

    @property
    def expected_text(self) -> str:
        if self.expect is not None:
            return str(self.expect)
        return f"{SUCCESS} (or {' or '.join(map(str, RESTART_CODES))} with a restart asked for)"

    @property
    def setups(self) -> List[int]:
        """Every setup.exe the step names."""
        return sorted({self.setup, *self.installed, *self.absent})

    def text(self) -> str:
        """The step as a line of a step file."""
        words = [self.name]
        if self.setup != 1:
            words.append(f"setup={self.setup}")
        if self.expect is not None:
            words.append(f"expect={self.expect}")
        if self.media:
            words.append(f"media={self.media}")
        if self.feature_ini:
            words.append(f"feature-ini={self.feature_ini}")
        if self.hidden_desktop:
            words.append(f"desktop={HIDDEN_DESKTOP}")
        words += [f"answer={text}:{button}" for text, button in self.answers]
        words += [f"installed={n}" for n in self.installed]
        words += [f"absent={n}" for n in self.absent]
        words += [REPAIR] if self.repair else self.switches
        return " ".join(f'"{w}"' if not w or re.search(r"\s", w) else w for w in words)


def _words(text: str) -> List[str]:
    lexer = shlex.shlex(text, posix=True)
    lexer.whitespace_split = True
    # Windows paths keep their backslashes; only double quotes group.
    lexer.escape = ""
    lexer.quotes = '"'
    lexer.commenters = "#"
    return list(lexer)


def _number(text: str, what: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise StepError(f"{what} is a number, not {text!r}") from None


def parse_step(text: str, base: Path = Path(".")) -> Optional[Step]:
    """One step from its line; None for a blank or comment line. Files are named relative to
    `base` (the step file's folder)."""
    try:
        words = _words(text)
    except ValueError as error:
        raise StepError(f"cannot split the line into words: {error}") from None
    if not words:
        return None
    name, rest = words[0], words[1:]
    if not _NAME.match(name):
        raise StepError(f"a step starts with its name (letters, digits, '.', '_', '-'), not "
                        f"{name!r}")
    step = Step(name)
    while rest and not rest[0].startswith(("/", "-")) and rest[0] != REPAIR:
        option, _, value = rest.pop(0).partition("=")
        if not value:
            raise StepError(f"{option!r} is neither OPTION=VALUE nor a switch (a switch starts "
                            f"with / or -)")
        if option == "setup":
            step.setup = _number(value, "setup")
        elif option == "expect":
            step.expect = _number(value, "expect") & 0xFFFFFFFF
        elif option == "media":
            step.media = base / value
        elif option == "feature-ini":
            step.feature_ini = base / value
        elif option == "desktop":
            if value != HIDDEN_DESKTOP:
                raise StepError(f"desktop={HIDDEN_DESKTOP} is the one desktop option, not "
                                f"desktop={value}")
            step.hidden_desktop = True
        elif option == "answer":
            pattern, _, button = value.rpartition(":")
            if not pattern or button.lower() not in BUTTONS:
                raise StepError(f"answer is TEXT:BUTTON with BUTTON one of {', '.join(BUTTONS)}, "
                                f"not {value!r}")
            step.answers.append((pattern, button.lower()))
        elif option in ("installed", "absent"):
            getattr(step, option).append(_number(value, option))
        else:
            raise StepError(f"unknown option {option!r}")
    if rest[:1] == [REPAIR]:
        if len(rest) > 1:
            raise StepError("repair takes no switches")
        step.repair = True
    else:
        step.switches = rest
    return step


def parse_step_file(path: Path) -> List[Step]:
    steps = []
    for number, line in enumerate(path.read_text(encoding="utf-8-sig").splitlines(), 1):
        try:
            step = parse_step(line, path.parent)
        except StepError as error:
            raise StepError(f"{path}:{number}: {error}") from None
        if step:
            steps.append(step)
    return steps


def check(steps: Sequence[Step], count: int) -> None:
    """Every setup.exe a step names must be one of the `count` given, and its media there."""
    for step in steps:
        for n in step.setups:
            if not 1 <= n <= count:
                raise StepError(f"step {step.name} names setup.exe {n}, but "
                                f"{count} {'was' if count == 1 else 'were'} given")
        if step.media and not step.media.is_dir():
            raise StepError(f"step {step.name}: media={step.media} is no folder")
        if step.feature_ini and not step.feature_ini.is_file():
            raise StepError(f"step {step.name}: feature-ini={step.feature_ini} is no file")


def standard_set(order: Sequence[int]) -> List[Step]:
    """What a release is checked with when nobody says more: a first installation, the same
    setup.exe again, and its removal. `order` is the setup.exe to use, by position, oldest
    first: with several versions of one product, the oldest is installed and each newer one
    upgrades the one before, after which only the newer one is installed; the newest is
    removed."""
    first, last = order[0], order[-1]
    steps = [Step("install", setup=first, switches=["/qn"], installed=[first]),
             Step("reinstall", setup=first, switches=["/qn"], installed=[first])]
    for number, (older, newer) in enumerate(zip(order, order[1:]), 2):
        name = "upgrade" if len(order) == 2 else f"upgrade-{number}"
        steps.append(Step(name, setup=newer, switches=["/qn"], installed=[newer],
                          absent=[older]))
    steps.append(Step("remove", setup=last, switches=["/x", "/qn"], absent=[last]))
    return steps
