"""What a built setup.exe holds, read back from the file alone: its settings, the product
description's other sections compiled into it, its payloads, the product package it carries or
the package its server gets, its Authenticode signature, and what a deployment system needs to
know. scripts/inspect.py prints it; the build runs it on every product setup.exe it makes.

What was compiled in is checked by product_description.check_executable, the checks the build
runs on descriptions, so inspect and the build cannot disagree about a rule.

Standard library only, plus msitools (msiinfo) for the package, osslsigncode for a package's
signature, and description_rules (or g++ to build it) for the description's rules.
"""

import hashlib
import struct
import subprocess
import tempfile
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Dict, List, Optional

import authenticode
import pe_image
import product_description

RT_DIALOG = 5
RT_STRING = 6
RT_VERSION = 16
RT_SETTING = 40
RT_PRODUCT_OPTION = 41
PAYLOAD_TYPE = "EXE"
ENGLISH_US = 1033

# What marks the program's own resources: the progress dialog and the string rows that give the
# settings their defaults. A product can replace texts, not these ids.
PROGRESS_DIALOG = 1101
DEFAULT_PRODUCT_NAME = 17
DEFAULT_DATABASE = 38
DEFAULT_MINIMUM_MSI = 39
MSXML_X86_PATH = 40
MSXML_X64_PATH = 41
DEFAULT_UPDATE = 42
RUNTIME_FILE = 90

# The settings the program reads, in the order it reads them.
SETTING_NAMES = ("OPERATION", "PRODUCTNAME", "DATABASE", "MINIMUM_MSI", "UPDATE",
                 "UPDATELOCATION", "BASEURL", "PROPERTIES")
PACKAGE_PAYLOAD = 1004
PACKAGE_PROPERTIES = ("ProductName", "ProductCode", "ProductVersion", "Manufacturer",
                      "UpgradeCode")

# Exit codes a deployment system acts on: the product installed; installed but Windows must
# restart (3010 and 3011 from a prerequisite or the installer, 1641 when the installer started
# the restart); another installation was running, so the same command can be tried again later.
EXIT_SUCCESS = (0,)
EXIT_RESTART = (3010, 3011, 1641)
EXIT_RETRY = (1618,)

ERROR, WARNING = product_description.ERROR, product_description.WARNING


class NotASetup(Exception):
    """The file is not a setup.exe that this project builds."""


@dataclass
class Finding:
    level: str
    text: str


@dataclass
class SetupImage:
    path: Path
    data: bytes
    pe: pe_image.PeImage
    settings: Dict[str, str]
    strings: Dict[int, str]             # the default table, the one most users see
    string_tables: Dict[int, Dict[int, str]]   # every table, by LANGID
    options: Dict[str, str]             # the product options, by resource name
    version: Optional[Dict[str, str]]
    payloads: Dict[int, memoryview]

    def setting(self, name: str, default_row: Optional[int] = None) -> Optional[str]:
        """A setting as the program sees it: stored, else its default row, else None."""
        if name in self.settings:
            return self.settings[name]
        return self.strings.get(default_row) if default_row is not None else None

    @property
    def database(self) -> str:
        return self.setting("DATABASE", DEFAULT_DATABASE)


def _string_tables(resources: List[pe_image.Resource]) -> Dict[int, Dict[int, str]]:
    """The rows of each string table, by LANGID."""
    tables: Dict[int, Dict[int, str]] = {}
    for block in resources:
        if block.type != RT_STRING or not isinstance(block.name, int):
            continue
        table = tables.setdefault(block.language, {})
        data, offset = bytes(block.data), 0
        for index in range(16):
            if offset + 2 > len(data):
                break
            length = int.from_bytes(data[offset:offset + 2], "little")
            text = data[offset + 2:offset + 2 + 2 * length].decode("utf-16-le", "replace")
            offset += 2 + 2 * length
            if length:
                table[(block.name - 1) * 16 + index] = text
    return tables


def _text_resources(resources: List[pe_image.Resource], kind: int) -> Dict[str, str]:
    """Named resources of one type that hold UTF-16LE text with its terminator."""
    values = {}
    for r in resources:
        if r.type == kind and isinstance(r.name, str):
            value = bytes(r.data).decode("utf-16-le", "replace")
            values[r.name] = value.split("\0", 1)[0]
    return values


def _version_block(data: bytes, offset: int, end: int):
    """One block of a version resource: its key, where its children start and where it ends."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    if length < 6:
        raise struct.error("a version block shorter than its header")
    stop = min(offset + length, end)
    key_end = offset + 6
    while key_end + 1 < stop and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le", "replace")
    value_start = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    return key, value_start, (value_start + value_size + 3) & ~3, stop


def read_version(data: bytes) -> Optional[Dict[str, str]]:
    """The strings of a VERSIONINFO resource, of its first language."""
    strings: Dict[str, str] = {}
    try:
        key, _, child, end = _version_block(data, 0, len(data))
        while key == "VS_VERSION_INFO" and child + 6 <= end and not strings:
            name, _, table, table_end = _version_block(data, child, end)
            if name == "StringFileInfo" and table + 6 <= table_end:
                _, _, entry, language_end = _version_block(data, table, table_end)
                while entry + 6 <= language_end:
                    # A string's length is counted in characters by some tools and in bytes by
                    # others: its text runs to its terminator.
                    name, start, _, entry_end = _version_block(data, entry, language_end)
                    strings[name] = data[start:entry_end].decode("utf-16-le", "replace") \
                        .split("\0", 1)[0]
                    entry = (entry_end + 3) & ~3
            child = (table_end + 3) & ~3
    except struct.error:
        pass
    return strings or None


def read_setup(path: Path) -> SetupImage:
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise NotASetup(f"cannot be read: {error.strerror}") from error
    try:
        pe = pe_image.read(data)
    except pe_image.PeFormatError as error:
        raise NotASetup(f"not a Windows program: {error}") from error
    tables = _string_tables(pe.resources)
    strings = tables.get(ENGLISH_US) or next(iter(tables.values()), {})
    has_dialog = any(r.type == RT_DIALOG and r.name == PROGRESS_DIALOG for r in pe.resources)
    if not has_dialog or any(row not in strings for row in
                             (DEFAULT_PRODUCT_NAME, DEFAULT_DATABASE, DEFAULT_MINIMUM_MSI)):
        raise NotASetup("a Windows program without the resources of this project's setup.exe "
                        f"(dialog {PROGRESS_DIALOG}, string rows {DEFAULT_PRODUCT_NAME}, "
                        f"{DEFAULT_DATABASE} and {DEFAULT_MINIMUM_MSI})")
    versions = [r for r in pe.resources if r.type == RT_VERSION]
    payloads = {r.name: r.data for r in pe.resources
                if r.type == PAYLOAD_TYPE and isinstance(r.name, int)}
    return SetupImage(Path(path), data, pe, _text_resources(pe.resources, RT_SETTING), strings,
                      tables, _text_resources(pe.resources, RT_PRODUCT_OPTION),
                      read_version(bytes(versions[0].data)) if versions else None, payloads)


def _language_name(language: int) -> str:
    names = {v: k for k, v in product_description.LANGUAGE_NAMES.items()}
    return names.get(language, str(language))


def compiled_sections(image: SetupImage) -> Dict[str, object]:
    """The product description's sections compiled in besides the settings and the payloads,
    keyed and spelt as in a description: the feature selection (None when there is none, and
    OEM\\Feature.ini is not read), the prerequisites, the rows of the default string table that
    differ from the program's own, each translated table's rows that differ from the default
    table, and the version resource."""
    pd = product_description
    described: Dict[str, Dict[str, str]] = {}
    # In the order a description gives them, what is unknown last.
    order = list(pd.OPTIONS)
    for option in sorted(image.options, key=lambda o: (o not in order, o in order and
                                                       order.index(o), o)):
        section, key = pd.OPTIONS.get(option, ("unknown options", option))
        described.setdefault(section, {})[key] = image.options[option]
    prerequisites = {"runtime": "on", "xmlparser": "on", **described.pop("prerequisites", {})}
    if prerequisites["runtime"] == "on":
        for key, row in pd.RUNTIME_ROWS.items():
            value = image.strings.get(row, "")
            if key == "runtime_uninstall_key" and value.startswith(pd.UNINSTALL_KEY):
                value = value[len(pd.UNINSTALL_KEY):]
            prerequisites[key] = value
    sections: Dict[str, object] = {
        "feature-selection": described.pop("feature-selection", None),
        "prerequisites": prerequisites, **described}
    own = pd.read_default_strings().messages
    sections["strings"] = {str(row): text for row, text in sorted(image.strings.items())
                           if row in own and text != own[row]}
    for language, table in sorted(image.string_tables.items()):
        if table is not image.strings:
            sections[f"strings.{_language_name(language)}"] = {
                str(row): text for row, text in sorted(table.items())
                if row in own and text != image.strings.get(row)}
    sections["version"] = image.version
    return sections


def description_findings(image: SetupImage, rules_tool: Optional[str] = None) -> List[Finding]:
    """The findings of the checks the build runs on product descriptions, applied to what was
    compiled in. Without the rules program (and without g++ to build it) they cannot run: that
    is a warning, since nothing is known to be wrong with the file."""
    try:
        found = product_description.check_executable(
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


# ------------------------------------------------------------------------------- payloads

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


# -------------------------------------------------------------------------------- package

def _msi_table(path: Path, table: str) -> List[List[str]]:
    done = subprocess.run(["msiinfo", "export", str(path), table], capture_output=True,
                          text=True, errors="replace")
    if done.returncode != 0:
        raise ValueError(f"msiinfo cannot read its {table} table")
    # An exported table: column names, column types, table name and keys, then the rows.
    return [line.split("\t") for line in done.stdout.replace("\r", "").split("\n")[3:] if line]


def package_identity(path: Path) -> dict:
    """A Windows Installer package's identity, features and signature."""
    properties = {row[0]: row[1] for row in _msi_table(path, "Property") if len(row) > 1}
    features = [{"feature": row[0], "title": row[2] if len(row) > 2 else ""}
                for row in _msi_table(path, "Feature")]
    identity = {name: properties.get(name) for name in PACKAGE_PROPERTIES}
    identity["features"] = features
    signature = authenticode.read_file_signature(path)
    identity["signature"] = signature_summary(signature) if signature else None
    return identity


def _carried_package(image: SetupImage, findings: List[Finding]) -> Optional[dict]:
    with tempfile.TemporaryDirectory() as scratch:
        # Not named after DATABASE: the setting is the file's to choose, and may be too long for
        # this file system or name a folder outside the scratch folder.
        path = Path(scratch) / "package.msi"
        path.write_bytes(image.payloads[PACKAGE_PAYLOAD])
        try:
            return {"source": f"payload {PACKAGE_PAYLOAD}", **package_identity(path)}
        except ValueError as error:
            findings.append(Finding(ERROR, f"payload {PACKAGE_PAYLOAD} is not a Windows "
                                    f"Installer package: {error}"))
            return None


# ------------------------------------------------------------------------------ signatures

def _iso(moment: Optional[datetime]) -> Optional[str]:
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC") if moment else None


def signature_summary(signature: authenticode.Signature) -> dict:
    stamp = signature.timestamp
    return {
        "signer": signature.signer.subject, "issuer": signature.signer.issuer,
        "serial": signature.signer.serial, "certificate_sha256": signature.signer.sha256,
        "expires": _iso(signature.signer.not_after),
        "digest_algorithm": signature.digest_algorithm, "digest": signature.digest,
        "description": signature.description, "url": signature.url,
        "signing_time": _iso(signature.signing_time),
        "timestamp": None if stamp is None else {
            "time": _iso(stamp.time), "authority": stamp.authority, "kind": stamp.kind,
            "matches_signature": stamp.matches_signature},
    }


def setup_signature(image: SetupImage, findings: List[Finding]) -> Optional[dict]:
    try:
        blob = authenticode.pe_signature_blob(image.data, image.pe)
        if blob is None:
            findings.append(Finding(ERROR, "setup.exe is not signed: it refuses to run "
                                    "(its own signature check ends it with 0x800B0004)"))
            return None
        signature = authenticode.parse_signature(blob)
        summary = signature_summary(signature)
        summary["digest_matches"] = signature.digest == authenticode.pe_digest(
            image.data, image.pe, signature.digest_algorithm)
    except (authenticode.SignatureFormatError, ValueError, IndexError, StopIteration) as error:
        findings.append(Finding(ERROR, f"setup.exe's signature cannot be read: {error}"))
        return None
    if not summary["digest_matches"]:
        findings.append(Finding(ERROR, "setup.exe was changed after it was signed: the signed "
                                "digest does not match the file"))
    stamp = signature.timestamp
    if stamp is None and signature.signer.not_after < datetime.now(timezone.utc):
        findings.append(Finding(ERROR, f"the signing certificate expired on "
                                f"{summary['expires']} and no timestamp shows it was valid "
                                "when it signed"))
    elif stamp is None:
        findings.append(Finding(WARNING, "the signature has no timestamp: it stops verifying "
                                f"when the certificate expires ({summary['expires']})"))
    elif not stamp.matches_signature:
        findings.append(Finding(ERROR, "the timestamp was not given for this signature"))
    return summary


# -------------------------------------------------------------------------------- upload

def find_upload(image: SetupImage, given: Optional[Path]) -> Optional[Path]:
    """The package for the server of a product that downloads its package: the file given, or
    <DATABASE> in the folder given, or upload/<DATABASE> beside setup.exe or one folder up (where
    the build writes it)."""
    if given is not None:
        return given / image.database if given.is_dir() else given
    for folder in (image.path.parent, image.path.parent.parent):
        candidate = folder / "upload" / image.database
        if candidate.is_file():
            return candidate
    return None


def upload_check(image: SetupImage, path: Optional[Path], signature: Optional[dict],
                 findings: List[Finding]) -> Optional[dict]:
    if "BASEURL" not in image.settings:
        return None
    url = image.settings["BASEURL"].rstrip("/") + "/" + image.database
    if path is None:
        return {"url": url, "file": None}
    if not path.is_file():
        findings.append(Finding(ERROR, f"the package for the server, {path}, does not exist"))
        return {"url": url, "file": str(path)}
    upload = authenticode.read_file_signature(path)
    result = {"url": url, "file": str(path),
              "signer": upload.signer.subject if upload else None,
              "same_signer": bool(upload and signature and
                                  upload.signer.sha256 == signature["certificate_sha256"])}
    if upload is None:
        findings.append(Finding(ERROR, f"the package for the server, {path}, is not signed: "
                                "setup.exe refuses a downloaded package that is not trusted"))
    elif not result["same_signer"]:
        findings.append(Finding(ERROR, f"the package for the server is signed by "
                                f"{upload.signer.subject}, not by setup.exe's signer"))
    return result


# ------------------------------------------------------------------------------- report

def deployment(image: SetupImage, package: Optional[dict]) -> dict:
    name = image.path.name
    rule = None
    if package and package.get("ProductCode"):
        rule = {"product_code": package["ProductCode"], "version": package["ProductVersion"]}
    return {"install": f"{name} /qn", "uninstall": f"{name} /x /qn", "detection": rule,
            "success": list(EXIT_SUCCESS), "restart": list(EXIT_RESTART),
            "retry": list(EXIT_RETRY)}


def inspect(path: Path, upload: Optional[Path] = None, rules_tool: Optional[str] = None) -> dict:
    """Everything inspect reports about one setup.exe; raises NotASetup."""
    image = read_setup(path)
    findings: List[Finding] = []
    signature = setup_signature(image, findings)
    upload_path = find_upload(image, upload) if "BASEURL" in image.settings else None
    upload_result = upload_check(image, upload_path, signature, findings)
    package = None
    if PACKAGE_PAYLOAD in image.payloads:
        package = _carried_package(image, findings)
    elif upload_path is not None and upload_path.is_file():
        try:
            package = {"source": "the package for the server", **package_identity(upload_path)}
        except ValueError as error:
            findings.append(Finding(ERROR, f"{upload_path} is not a Windows Installer package: "
                                    f"{error}"))
    findings += description_findings(image, rules_tool)
    return {
        "file": {"path": str(image.path), "size": len(image.data),
                 "sha256": hashlib.sha256(image.data).hexdigest().upper()},
        "settings": dict(sorted(image.settings.items())),
        "defaults_apply": [n for n in SETTING_NAMES if n not in image.settings],
        "sections": compiled_sections(image),
        "payloads": payload_rows(image),
        "package": package,
        "signature": signature,
        "upload": upload_result,
        "deployment": deployment(image, package),
        "findings": [{"level": f.level, "text": f.text} for f in findings],
    }


def exit_code(report: dict) -> int:
    return 1 if any(f["level"] == ERROR for f in report["findings"]) else 0


def _signature_lines(signature: Optional[dict], indent: str = "  ") -> List[str]:
    if signature is None:
        return [f"{indent}none"]
    stamp = signature["timestamp"]
    lines = [f"{indent}Signer        {signature['signer']}",
             f"{indent}Issuer        {signature['issuer']}",
             f"{indent}Serial        {signature['serial']}",
             f"{indent}Expires       {signature['expires']}"]
    if "digest_matches" in signature:
        verdict = "matches the file" if signature["digest_matches"] else "DOES NOT match the file"
        lines.append(f"{indent}Digest        {signature['digest_algorithm']}, {verdict}")
    else:
        lines.append(f"{indent}Digest        {signature['digest_algorithm']}")
    lines += [f"{indent}Description   {signature['description'] or '-'}",
              f"{indent}URL           {signature['url'] or '-'}"]
    if stamp is None:
        lines.append(f"{indent}Timestamp     none")
    else:
        lines.append(f"{indent}Timestamp     {stamp['time']} by {stamp['authority']} "
                     f"({stamp['kind']})")
    return lines


# What it means that setup.exe carries nothing of a section.
SECTION_ABSENT = {"feature-selection": "none: OEM\\Feature.ini is not read",
                  "strings": "none replaced: the program's own texts",
                  "version": "none: Explorer shows no product, company or version"}


def _description_text(value: str) -> str:
    """A text as a description writes it: a line break as \\n, a backslash as \\\\."""
    return value.replace("\\", "\\\\").replace("\n", "\\n")


def render(report: dict) -> str:
    out = [f"{report['file']['path']}: {report['file']['size']} bytes, "
           f"SHA-256 {report['file']['sha256']}", "", "Settings"]
    width = max([len(n) for n in report["settings"]] + [12])
    out += [f"  {name.ljust(width)}  {value}" for name, value in report["settings"].items()]
    if report["defaults_apply"]:
        out.append(f"  not stored, defaults apply: {', '.join(report['defaults_apply'])}")
    for section, content in report["sections"].items():
        out += ["", f"[{section}]"]
        if content:
            out += [f"  {key} = {_description_text(value)}" for key, value in content.items()]
        else:
            out.append(f"  {SECTION_ABSENT.get(section, 'none')}")
    out += ["", "Payloads"]
    for p in report["payloads"]:
        out.append(f"  {p['id']:<5} {p['content']:<32} {p['size']:>10} bytes  {p['sha256']}")
        out.append(f"        written to {p['written_to']}" if p["written_to"]
                   else f"        not written: {p['not_written']}")
    package = report["package"]
    out += ["", "Package" + (f" ({package['source']})" if package else "")]
    if package is None:
        out.append("  none carried")
    else:
        out += [f"  {name:<16}{package[name] or '-'}" for name in PACKAGE_PROPERTIES]
        out.append(f"  {'Features':<16}" + ", ".join(
            f"{f['feature']}" + (f" ({f['title']})" if f["title"] else "")
            for f in package["features"]))
        signer = package["signature"]
        out.append(f"  {'Signed':<16}" + (f"by {signer['signer']} (issued by {signer['issuer']})"
                                          if signer else "no"))
    out += ["", "Signature"] + _signature_lines(report["signature"])
    upload = report["upload"]
    if upload is not None:
        out += ["", "Package for the server", f"  URL           {upload['url']}"]
        if upload["file"] is None:
            out.append("  File          not found (give it with --upload)")
        else:
            out.append(f"  File          {upload['file']}")
            if "signer" in upload:
                same = "the same as setup.exe's" if upload["same_signer"] else "NOT setup.exe's"
                out.append(f"  Signer        {upload['signer'] or 'none'}: {same}")
    d = report["deployment"]
    out += ["", "Deployment", f"  Install       {d['install']}",
            f"  Uninstall     {d['uninstall']}"]
    if d["detection"]:
        out.append(f"  Detection     Windows Installer product {d['detection']['product_code']}, "
                   f"version {d['detection']['version']} or later installed")
    out += [f"  Success       {', '.join(map(str, d['success']))}",
            f"  Restart       {', '.join(map(str, d['restart']))}",
            f"  Retry later   {', '.join(map(str, d['retry']))}",
            "", "Findings"]
    out += [f"  {f['level']}: {f['text']}" for f in report["findings"]] or ["  none"]
    return "\n".join(out) + "\n"


# ------------------------------------------------------------------------------ comparison

def _comparable(report: dict) -> Dict[str, object]:
    """What --against compares, flattened to "what: value"."""
    items: Dict[str, object] = {}
    for name, value in report["settings"].items():
        items[f"setting {name}"] = value
    for section, content in report["sections"].items():
        for key, value in (content or {}).items():
            items[f"[{section}] {key}"] = value
    for p in report["payloads"]:
        items[f"payload {p['id']} SHA-256"] = p["sha256"]
    package = report["package"] or {}
    for name in PACKAGE_PROPERTIES:
        if package.get(name) is not None:
            items[f"package {name}"] = package[name]
    if package:
        items["package features"] = ", ".join(f["feature"] for f in package["features"])
    signature = report["signature"] or {}
    for key in ("signer", "issuer", "serial"):
        if signature.get(key):
            items[f"signer {key}"] = signature[key]
    return items


def differences(new: dict, old: dict) -> List[dict]:
    before, after = _comparable(old), _comparable(new)
    return [{"what": key, "old": before.get(key), "new": after.get(key)}
            for key in sorted(set(before) | set(after)) if before.get(key) != after.get(key)]


def render_differences(changes: List[dict]) -> str:
    if not changes:
        return "no differences in settings, compiled sections, payloads, package or signer\n"
    # One line a difference: a text with a line break shows it as the description writes it.
    shown = lambda value: "(none)" if value is None else _description_text(value)  # noqa: E731
    return "".join(f"{c['what']}: {shown(c['old'])} -> {shown(c['new'])}\n" for c in changes)
