"""What a setup.exe carries, as a description would say it: the sections compiled in and the
findings of the description's checks on them, its payloads with what each is and where the
program writes it, and the identity of the product package. Standard library only, plus msitools
(msiinfo) for the package and description_rules (or g++ to build it) for the rules."""

import hashlib
import subprocess
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Tuple

from .. import authenticode, description, msi
from ..description.languages import language_name
from ..description.model import OPTIONS, RUNTIME_ROWS, UNINSTALL_KEY
from ..description.string_table import read_default_strings
from .finding import WARNING, Finding
from .image import (DEFAULT_UPDATE, MSXML_X64_PATH, MSXML_X86_PATH, PACKAGE_PAYLOAD,
                    RUNTIME_FILE, SetupImage)
from .signature import signature_summary

PACKAGE_PROPERTIES = ("ProductName", "ProductCode", "ProductVersion", "Manufacturer",
                      "UpgradeCode")
# Upgrade.Attributes: the row only detects; its bounds are inclusive.
UPGRADE_ONLY_DETECT = 0x2
UPGRADE_MIN_INCLUSIVE = 0x100
UPGRADE_MAX_INCLUSIVE = 0x200


def compiled_sections(image: SetupImage) -> Dict[str, object]:
    """The product description's sections compiled in besides the settings and the payloads,
    keyed and spelt as in a description: the feature selection (None when there is none, and
    OEM\\Feature.ini is not read), the prerequisites, the rows of the default string table that
    differ from the program's own, each translated table's rows that differ from the default
    table, and the version resource."""
    described: Dict[str, Dict[str, str]] = {}
    # In the order a description gives them, what is unknown last.
    order = list(OPTIONS)
    for option in sorted(image.options, key=lambda o: (o not in order, o in order and
                                                       order.index(o), o)):
        section, key = OPTIONS.get(option, ("unknown options", option))
        described.setdefault(section, {})[key] = image.options[option]
    prerequisites = {"runtime": "on", "xmlparser": "on", **described.pop("prerequisites", {})}
    if prerequisites["runtime"] == "on":
        for key, row in RUNTIME_ROWS.items():
            value = image.strings.get(row, "")
            if key == "runtime_uninstall_key" and value.startswith(UNINSTALL_KEY):
                value = value[len(UNINSTALL_KEY):]
            prerequisites[key] = value
    sections: Dict[str, object] = {
        "feature-selection": described.pop("feature-selection", None),
        "prerequisites": prerequisites, **described}
    own = read_default_strings().messages
    sections["strings"] = {str(row): text for row, text in sorted(image.strings.items())
                           if row in own and text != own[row]}
    for language, table in sorted(image.string_tables.items()):
        if table is not image.strings:
            sections[f"strings.{language_name(language)}"] = {
                str(row): text for row, text in sorted(table.items())
                if row in own and text != image.strings.get(row)}
    sections["version"] = image.version
    return sections


def description_findings(image: SetupImage, rules_tool: Optional[str] = None) -> List[Finding]:
    """The findings of the checks the build runs on product descriptions, applied to what was
    compiled in. Without the rules program (and without g++ to build it) they cannot run: that
    is a warning, since nothing is known to be wrong with the file."""
    try:
        found = description.check_executable(
            image.settings, image.options, image.string_tables, image.payloads,
            name=image.path.name, rules_tool=rules_tool)
    except (OSError, subprocess.CalledProcessError) as error:
        return [Finding(WARNING, f"the product description's rules could not be applied: "
                                 f"{error}")]
    findings = [Finding(f.severity, f.message) for f in found]
    if image.version is None:
        findings.append(Finding(WARNING, "setup.exe has no version resource: Explorer shows no "
                                         "product, company or version"))
    return findings


def payload_role(image: SetupImage, pid: int):
    """What a payload is, where the program writes it at run time, and why not where it does
    not."""
    temp = "%TEMP%\\"
    written = {
        90: ("C++ runtime redistributable", image.strings.get(RUNTIME_FILE, "?")),
        1001: ("Windows Installer engine update", image.setting("UPDATE", DEFAULT_UPDATE)),
        1002: ("MSXML 6 package, 32-bit Windows", image.strings.get(MSXML_X86_PATH, "?")),
        1003: ("MSXML 6 package, 64-bit Windows", image.strings.get(MSXML_X64_PATH, "?")),
        PACKAGE_PAYLOAD: ("product package", image.database),
        1005: ("readme", "OEM\\readme.txt"),
        1007: ("technical support document", "OEM\\technicalsupport.rtf"),
    }
    if pid == PACKAGE_PAYLOAD and "BASEURL" in image.settings:
        return "product package", None, "downloaded from BASEURL instead"
    if pid in written:
        content, name = written[pid]
        return content, temp + name, None
    if pid == 1008:
        return "installation settings template", None, "carried only"
    return "not used by the program", None, "unknown id"


def payload_rows(image: SetupImage) -> List[dict]:
    rows = []
    for pid in sorted(image.payloads):
        content, target, why = payload_role(image, pid)
        data = image.payloads[pid]
        rows.append({"id": pid, "content": content, "written_to": target, "not_written": why,
                     "size": len(data), "sha256": hashlib.sha256(data).hexdigest().upper()})
    return rows


def package_identity(path: Path) -> dict:
    """A Windows Installer package's identity, features, major upgrades and signature; raises
    msi.NotAPackage."""
    present = msi.tables(path)
    properties = {row[0]: row[1] for row in msi.table(path, "Property", present) if len(row) > 1}
    features = [{"feature": row[0], "title": row[2] if len(row) > 2 else ""}
                for row in msi.table(path, "Feature", present)]
    identity = {name: properties.get(name) for name in PACKAGE_PROPERTIES}
    identity["PackageCode"] = msi.package_code(path)
    identity["features"] = features
    sequence = {row[0] for row in msi.table(path, "InstallExecuteSequence", present)}
    identity["major_upgrades"] = [
        {"upgrade_code": row[0], "version_min": row[1] or None, "version_max": row[2] or None,
         "min_inclusive": bool(int(row[4] or 0) & UPGRADE_MIN_INCLUSIVE),
         "max_inclusive": bool(int(row[4] or 0) & UPGRADE_MAX_INCLUSIVE)}
        for row in msi.table(path, "Upgrade", present)
        if len(row) > 4 and not int(row[4] or 0) & UPGRADE_ONLY_DETECT
        and "RemoveExistingProducts" in sequence]
    signature = authenticode.read_file_signature(path)
    identity["signature"] = signature_summary(signature) if signature else None
    return identity


@contextmanager
def package_file(image: SetupImage, upload: Optional[Path]) -> Iterator[Tuple[str, Optional[Path]]]:
    """The product package as a file, and what it is: the carried one (payload 1004) in a scratch
    folder while the block runs, else the package for the server; None when there is neither."""
    if PACKAGE_PAYLOAD not in image.payloads:
        found = upload is not None and upload.is_file()
        yield "the package for the server", upload if found else None
        return
    with tempfile.TemporaryDirectory() as scratch:
        # Not named after DATABASE: the setting is the file's to choose, and may be too long for
        # this file system or name a folder outside the scratch folder.
        path = Path(scratch) / "package.msi"
        path.write_bytes(image.payloads[PACKAGE_PAYLOAD])
        yield f"payload {PACKAGE_PAYLOAD}", path
