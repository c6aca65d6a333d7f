"""inspect's report and the differences between two builds, as text."""

from typing import Dict, List, Optional

from .contents import PACKAGE_PROPERTIES


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
