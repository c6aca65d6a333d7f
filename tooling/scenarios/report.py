"""The report of a scenario check: readable text, the same as JSON, and JUnit XML in which a
CI server shows each step as a test case."""

import json
import re
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import List

FILES = ("report.txt", "report.json", "junit.xml")
STATES = {5: "installed", 1: "advertised", 2: "absent", -1: "unknown"}
# What XML 1.0 cannot hold at all, even escaped; a box text or a log may have it.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _code(code) -> str:
    return "none" if code is None else f"{code} (0x{code & 0xFFFFFFFF:08X})"


def _product(p: dict) -> str:
    state = "" if p["state"] == 5 else f" [{STATES.get(p['state'], p['state'])}]"
    return f"{p['name']} {p['version']} {p['code']}{state}"


def step_lines(step: dict, details: bool = False) -> List[str]:
    """One step's account: a heading and indented lines. With `details`, the progress
    window's texts too."""
    verdict = "passed" if step["passed"] else "FAILED"
    lines = [f"{step['number']}. {step['name']}: {verdict} ({step['elapsed_s']:g} s)",
             f"   step: {step['step']}"]
    if step.get("command"):
        lines.append(f"   ran: {step['command']}")
    for failure in step["failures"]:
        lines.append(f"   FAILED: {failure}")
    restart = "; a restart is asked for" if step.get("restart_asked") else ""
    lines.append(f"   exit code: {_code(step['exit_code'])}; expected {step['expected']}{restart}")
    if not step["boxes_recorded"]:
        lines.append("   boxes: none can be seen with no interactive desktop (their texts are in "
                     "bootstrap.log)")
    elif not step["boxes"]:
        lines.append("   boxes: none")
    for box in step["boxes"]:
        lines.append(f"   box [{box['icon']}] {box['caption']}: {box['text']!r} "
                     f"{'/'.join(box['buttons'])} -> {box['answer'] or 'closed by the program'}")
    if details and step["window"]:
        lines.append(f"   progress window {step['window']['title']!r}"
                     f"{'' if step['window']['visible'] else ' (never shown)'}: "
                     + " | ".join(step["window"]["texts"]))
    installed = [_product(p) for p in step["products"]]
    lines.append(f"   installed afterwards: {'; '.join(installed) or 'nothing'}")
    if step["left_in_temp"] is None:
        lines.append("   left behind: not looked at, the run was ended")
    else:
        lines.append("   left in the temporary folder: "
                     f"{', '.join(step['left_in_temp']) or 'nothing but the logs'}")
        lines.append("   left in the Windows folder's Temp: "
                     f"{', '.join(step['left_in_windows_temp']) or 'nothing'}")
    if step["beside_setup"]:
        lines.append(f"   written beside setup.exe: {', '.join(step['beside_setup'])}")
    for log in step["logs"]:
        lines.append(f"   log: {log['path']} (copy: {log['copy']})")
    if not step["logs"]:
        lines.append("   log: none written")
    return lines


def heading_lines(report: dict) -> List[str]:
    lines = [f"Scenario check of {report['flavour']} programs in one Wine prefix: "
             f"{report['prefix']}"]
    for setup in report["setups"]:
        lines.append(f"setup.exe {setup['number']}: {setup['label']}")
        if setup["note"]:
            lines.append(f"   {setup['note']}")
        if setup["served"]:
            lines.append(f"   its upload folder is served at {setup['base_url']} during its steps")
        elif setup["base_url"]:
            lines.append(f"   it downloads its package from {setup['base_url']}, which is not "
                         f"served here (not on 127.0.0.1, or no upload folder beside it)")
    lines += [f"upgrade {note}" for note in report["upgrades"]]
    return lines


def summary(report: dict) -> str:
    failed = [s["name"] for s in report["steps"] if not s["passed"]]
    total = len(report["steps"])
    return (f"{total} step{'s' if total != 1 else ''}: {total - len(failed)} passed"
            + (f", {len(failed)} failed ({', '.join(failed)})" if failed else ""))


def render(report: dict) -> str:
    lines = heading_lines(report) + [""]
    for step in report["steps"]:
        lines += step_lines(step) + [""]
    return "\n".join(lines + [summary(report)]) + "\n"


def _xml_text(text: str) -> str:
    return _NOT_XML.sub("?", text)


def junit(report: dict) -> bytes:
    """One test suite, one test case per step, its account as the case's output."""
    steps = report["steps"]
    suite = ET.Element("testsuite", name="check-setup", tests=str(len(steps)),
                       failures=str(sum(1 for s in steps if not s["passed"])), errors="0",
                       skipped="0", time=f"{sum(s['elapsed_s'] for s in steps):.1f}")
    for step in steps:
        case = ET.SubElement(suite, "testcase", classname=f"check-setup.{report['flavour']}",
                             name=f"{step['number']:02d}-{step['name']}",
                             time=f"{step['elapsed_s']:.1f}")
        if not step["passed"]:
            failure = ET.SubElement(case, "failure", message=_xml_text(step["failures"][0]))
            failure.text = _xml_text("\n".join(step["failures"]))
        ET.SubElement(case, "system-out").text = _xml_text("\n".join(step_lines(step, True)))
    root = ET.Element("testsuites")
    root.append(suite)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def write(report: dict, folder: Path) -> None:
    text, data, cases = FILES
    (folder / text).write_text(render(report), encoding="utf-8")
    (folder / data).write_text(json.dumps(report, indent=1) + "\n", encoding="utf-8")
    (folder / cases).write_bytes(junit(report))
