"""The program's own rules, for the checks of a description: description_rules, a small
program built for this machine from setup.exe's own pure sources, answers them, so that the build
accepts exactly what the program accepts (MINIMUM_MSI, the ini name derived from DATABASE, the
OPERATION keywords, feature and property names, the placeholders of a message). The build passes
its path; without one it is compiled here with the machine's g++ into a cache folder.
Standard library only."""

import hashlib
import os
import re
import subprocess
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Tuple

from .. import PROGRAM_SOURCES

RULES_SOURCE = Path(__file__).resolve().parent / 'DescriptionRules.cpp'


class Rules:
    """The program's rules, answered by description_rules; one process per batch of questions."""

    def __init__(self, tool: Optional[str] = None, cache_dir: Optional[str] = None):
        self.tool = find_rules_tool(tool, cache_dir)
        self._answers: Dict[Tuple[str, str], List[str]] = {}

    def prefetch(self, questions: Iterable[Tuple[str, str]]) -> None:
        wanted = [q for q in dict.fromkeys(questions) if q not in self._answers]
        if not wanted:
            return
        lines = ''.join(f'{q}\t{_escape(v)}\n' for q, v in wanted)
        done = subprocess.run([self.tool], input=lines.encode('utf-8'), capture_output=True,
                              check=True)
        answers = done.stdout.decode('utf-8').split('\n')
        for question, answer in zip(wanted, answers):
            self._answers[question] = [_unescape(f) for f in answer.split('\t')]

    def answer(self, question: str, value: str = '') -> List[str]:
        self.prefetch([(question, value)])
        return self._answers[(question, value)]

    def accepted(self, question: str, value: str) -> bool:
        return self.answer(question, value)[0] == 'ok'

    def setting_names(self) -> List[str]:
        return self.answer('names')[1:]

    def operations(self) -> List[str]:
        return self.answer('operations')[1:]

    def placeholders(self, text: str) -> List[str]:
        return self.answer('placeholders', text)[1:]


def _escape(text: str) -> str:
    return text.replace('\\', '\\\\').replace('\n', '\\n').replace('\t', '\\t').replace('\r', '\\r')


def _unescape(text: str) -> str:
    return re.sub(r'\\(.)', lambda m: {'n': '\n', 't': '\t', 'r': '\r'}.get(m.group(1), m.group(1)),
                  text)


def _pure_sources() -> List[Path]:
    """The program's pure sources, as its build lists them."""
    listing = (PROGRAM_SOURCES / 'Sources.cmake').read_text()
    block = re.search(r'set\(BOOTSTRAPPER_PURE_SOURCES(.*?)\)', listing, re.S).group(1)
    return [PROGRAM_SOURCES / name for name in block.split()]


def find_rules_tool(tool: Optional[str] = None, cache_dir: Optional[str] = None) -> str:
    """The description_rules program: the one given (or in BOOTSTRAPPER_RULES_TOOL), else one
    compiled from this checkout's sources into the cache, again whenever they change."""
    tool = tool or os.environ.get('BOOTSTRAPPER_RULES_TOOL')
    if tool:
        if not os.access(tool, os.X_OK):
            raise FileNotFoundError(f'description_rules not found at {tool}')
        return tool
    sources = [RULES_SOURCE] + _pure_sources()
    headers = sorted(PROGRAM_SOURCES.glob('*/*.h'))
    digest = hashlib.sha256()
    for path in sources + headers:
        digest.update(path.name.encode() + b'\0' + path.read_bytes())
    cache = Path(cache_dir or os.environ.get('XDG_CACHE_HOME') or Path.home() / '.cache')
    built = cache / 'bootstrapper-description-rules' / digest.hexdigest()[:16] / 'description_rules'
    if not built.exists():
        built.parent.mkdir(parents=True, exist_ok=True)
        partial = built.with_name(f'.description_rules.{os.getpid()}')
        subprocess.run(['g++', '-std=c++17', '-O1', f'-I{PROGRAM_SOURCES}', '-o', str(partial),
                        *map(str, sources)], check=True)
        partial.replace(built)
    return str(built)

