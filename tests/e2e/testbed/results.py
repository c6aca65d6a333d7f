"""What one run of a program under the harness showed and returned."""

import json
import re
from dataclasses import dataclass, field, fields
from typing import List, NamedTuple, Optional, Tuple


class Rect(NamedTuple):
    left: int
    top: int
    right: int
    bottom: int

    @property
    def width(self) -> int:
        return self.right - self.left

    @property
    def height(self) -> int:
        return self.bottom - self.top

    @classmethod
    def from_record(cls, data) -> Optional["Rect"]:
        if not data:
            return None
        return cls(data["left"], data["top"], data["right"], data["bottom"])


@dataclass
class Box:
    """One message box as the user saw it, and the answer the harness gave."""

    caption: str
    text: str
    icon: str                     # error, warning, information, question, none or unknown
    buttons: List[str]            # as shown, with their accelerator marks ("&Yes")
    button_ids: List[int]
    has_owner: bool
    owner_is_dialog: bool
    pid: int
    main_process: bool
    answer: Optional[str]         # ok, cancel, yes, no, ... or None when the program closed it
    answer_rule: str              # pattern, default-answer, box-default or none
    closed_by_program: bool
    record: dict = field(repr=False)

    @property
    def button_labels(self) -> List[str]:
        """The button texts without accelerator marks ("Yes", "No")."""
        return [b.replace("&", "") for b in self.buttons]

    @classmethod
    def from_record(cls, data: dict) -> "Box":
        # Every field but `record` is the record's value of the same name.
        return cls(**{f.name: data[f.name] for f in fields(cls) if f.name != "record"},
                   record=data)


@dataclass
class Dialog:
    """The progress dialog over the whole run."""

    seen: bool
    visible: bool                 # ever visible
    visible_last: bool
    title: str
    main_texts: List[str]         # every distinct text of control 114, in order
    detail_texts: List[str]       # every distinct text of control 116, in order
    texts: List[Tuple[int, str]]  # both, interleaved in the order they appeared
    range_low: Optional[int]
    range_high: Optional[int]
    pos: Optional[int]
    max_pos: Optional[int]
    rect: Optional[Rect]
    work_area: Rect
    escape_sent: bool
    escape_target: str
    instances: int
    record: dict = field(repr=False)

    @classmethod
    def from_record(cls, data: dict) -> "Dialog":
        progress = data["progress"]
        return cls(seen=data["seen"], visible=data["ever_visible"],
                   visible_last=data["visible_last"], title=data["title"],
                   main_texts=list(data["main_texts"]), detail_texts=list(data["detail_texts"]),
                   texts=[(e["control"], e["text"]) for e in data["events"]],
                   range_low=progress["range_low"], range_high=progress["range_high"],
                   pos=progress["pos"], max_pos=progress["max_pos"],
                   rect=Rect.from_record(data["rect"]), work_area=Rect.from_record(data["work_area"]),
                   escape_sent=data["escape_sent"], escape_target=data["escape_target"],
                   instances=data["instances"], record=data)


def _split_log_lines(data: Optional[bytes]) -> List[str]:
    if not data:
        return []
    lines = data.decode("latin-1").split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


# The folder the program makes for itself to work in: below the Windows folder's Temp, "Setup"
# and 16 random hexadecimal digits.
WORK_FOLDER = re.compile(r"C:\\windows\\Temp\\Setup[0-9A-F]{16}\\", re.IGNORECASE)


class RunResult:
    """The harness's record of one run, plus the bootstrap log the run left behind."""

    def __init__(self, record: dict, log_bytes: Optional[bytes]):
        self.record = record
        self.exit_code: Optional[int] = record.get("exit_code")
        self.timed_out: bool = record.get("timed_out", False)
        self.elapsed_ms: int = record.get("elapsed_ms", 0)
        self.peak_private_bytes: int = record.get("peak_private_bytes", 0)
        self.boxes = [Box.from_record(b) for b in record.get("boxes", [])]
        self.dialog = Dialog.from_record(record["dialog"]) if "dialog" in record else None
        self.processes = record.get("processes", [])
        self.other_windows = record.get("other_windows", [])
        self.windows_at_timeout = record.get("windows_at_timeout", [])
        self.killed = record.get("killed", [])
        self.command_line: str = record.get("command_line", "")
        self.log_bytes = log_bytes
        self.log: Optional[str] = log_bytes.decode("latin-1") if log_bytes is not None else None
        self.log_lines = _split_log_lines(log_bytes)
        # What the run left in its temporary folder besides the logs (see leftovers.py).
        self.temp_leftovers: List[str] = []

    @property
    def work_folder(self) -> Optional[str]:
        """The folder the run worked in, with its backslash, as the log names it; None when the
        log names none."""
        for line in self.log_lines:
            found = WORK_FOLDER.search(line)
            if found:
                return found.group(0)
        return None

    @property
    def exit_code_hex(self) -> Optional[str]:
        return None if self.exit_code is None else f"0x{self.exit_code:08X}"

    def describe(self) -> str:
        """A readable account of the run, for assertion messages."""
        lines = [f"command line: {self.command_line}",
                 f"exit code: {self.exit_code_hex}  timed out: {self.timed_out}  "
                 f"elapsed: {self.elapsed_ms} ms"]
        for box in self.boxes:
            lines.append(f"box [{box.icon}] {box.caption!r}: {box.text!r} buttons={box.buttons} "
                         f"owner={'dialog' if box.owner_is_dialog else box.has_owner} "
                         f"answer={box.answer}")
        if self.dialog and self.dialog.seen:
            lines.append(f"dialog {self.dialog.title!r} visible={self.dialog.visible} "
                         f"texts={self.dialog.texts} escape_sent={self.dialog.escape_sent}")
        for window in self.windows_at_timeout:
            children = "; ".join(f"{c['class']}#{c['id']}={c['text']!r}"
                                 for c in window["children"] if c["visible"])
            lines.append(f"window {window['class']} {window['caption']!r} pid {window['pid']}: "
                         f"{children}")
        for window in self.other_windows:
            lines.append(f"other window {window['class']} {window['caption']!r}")
        if self.log is not None:
            lines.append("bootstrap.log:")
            lines.extend("  " + line for line in self.log_lines)
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"RunResult({self.describe()})"


class HarnessError(RuntimeError):
    """The harness could not run the program or produced no record."""


class HarnessTimeout(AssertionError):
    """The program did not end in time; the harness ended it and listed its windows."""

    def __init__(self, result: RunResult):
        super().__init__("program did not end in time and was killed\n" + result.describe())
        self.result = result


def load_record(text: str) -> dict:
    return json.loads(text)
