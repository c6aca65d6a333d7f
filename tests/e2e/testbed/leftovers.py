"""What a run left in its temporary folder and in the Windows folder's Temp.

A run of the bootstrapper removes everything it extracted; only its own log (bootstrap.log) and
the Windows Installer's log (named after the product, "<name>.log") stay in the temporary
folder, and nothing at all stays of the folder of its own that it works in, below the Windows
folder's Temp. Prefix.run takes a snapshot of both folders before the program starts and, after a
run that ended by itself, lists whatever appeared since; anything in that list fails the run
(TempLeftovers) unless the caller passes check_temp=False.
"""

import os
from pathlib import Path
from typing import FrozenSet, List

from .results import RunResult


def snapshot(folder: Path) -> FrozenSet[str]:
    """Every file and folder below `folder`, as paths relative to it ("OEM/readme.txt")."""
    entries = set()
    if not folder.is_dir():
        return frozenset()
    for root, dirs, files in os.walk(folder):
        base = Path(root).relative_to(folder)
        for name in dirs + files:
            entries.add((base / name).as_posix())
    return frozenset(entries)


def _is_kept_log(entry: str) -> bool:
    # Only the top level: a log inside an extracted folder is part of what was extracted.
    return "/" not in entry and entry.lower().endswith(".log")


def temp_leftovers(folder: Path, before: FrozenSet[str], logs_stay: bool = True) -> List[str]:
    """What appeared in `folder` since `before`, apart from the logs that stay (unless
    `logs_stay` is False); a new folder is named once, not with everything inside it."""
    new = sorted(e for e in snapshot(folder) - before if not (logs_stay and _is_kept_log(e)))
    new_folders = [e for e in new if (folder / e).is_dir()]
    return [e for e in new if not any(e.startswith(f + "/") for f in new_folders)]


class TempLeftovers(AssertionError):
    """The run left something besides the logs in its temporary folder, or anything in the
    Windows folder's Temp."""

    def __init__(self, result: RunResult, folder: Path):
        super().__init__(f"the run left {result.temp_leftovers} in {folder}\n" +
                         result.describe())
        self.result = result
