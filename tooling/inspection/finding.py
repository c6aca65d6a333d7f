"""A finding of inspect: an error makes it exit 1; a warning does not."""

from dataclasses import dataclass

from ..description.model import ERROR, WARNING

__all__ = ["ERROR", "WARNING", "Finding"]


@dataclass
class Finding:
    level: str
    text: str
