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


def _code(code: int) -> str:
    return f"0x{code:08X}" if code > 0xFFFF else str(code)


def _description_text(value: str) -> str:
    """A text as a description writes it: a line break as \\n, a backslash as \\\\."""
    return value.replace("\\", "\\\\").replace("\n", "\\n")


def _feature_lines(selection: dict) -> List[str]:
    if selection["file"] is None:
        return [f"  Features      {selection['without_file']}"]
    return [f"  Features      with {selection['file']}, a first installation (no reinstall "
            "upgrade, /a or /x) asks for",
            f"                {selection['selection']}",
            f"                without it: {selection['without_file']}"]


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
        out += [f"  {name:<16}{package[name] or '-'}"
                for name in PACKAGE_PROPERTIES + ("PackageCode",)]
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
                   f"version {d['detection']['version']} {d['detection']['comparison']} "
                   "installed")
    out += [f"  Rights        administrator {d['administrator']}",
            f"  Logs          {d['logs'][0]}, {d['logs'][1]}; {d['logs'][2]}",
            *_feature_lines(d["feature_selection"]),
            f"  Contacts      {', '.join(d['hosts']) or 'no host: everything is carried'}",
            f"  Success       {', '.join(map(str, d['success']))}",
            f"  Restart       {', '.join(map(str, d['restart']))}",
            f"  Retry later   {', '.join(map(str, d['retry']))}",
            "  Failure       any other code, among them"]
    out += [f"    {_code(f['code']):<12}{f['meaning']}" for f in d["failures"]]
    out += ["", "Findings"]
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
    for name in PACKAGE_PROPERTIES + ("PackageCode",):
        if package.get(name) is not None:
            items[f"package {name}"] = package[name]
    if package:
        items["package features"] = ", ".join(f["feature"] for f in package["features"])
    signature = report["signature"] or {}
    for key in ("signer", "issuer", "serial"):
        if signature.get(key):
            items[f"signer {key}"] = signature[key]
    return items


def differences(new: dict, old: dict) -> dict:
    """What --against reports: whether the two files are the same (the same bytes, or the same
    bytes but for their signatures), what differs, and the path that a machine with the old
    build's product installed takes when it runs the new one."""
    before, after = _comparable(old), _comparable(new)
    if new["file"]["sha256"] == old["file"]["sha256"]:
        identical = "file"
    elif new["file"]["authenticode_sha256"] == old["file"]["authenticode_sha256"]:
        identical = "before signing"
    else:
        identical = None
    return {"format": new["format"], "identical": identical,
            "differences": [{"what": key, "old": before.get(key), "new": after.get(key)}
                            for key in sorted(set(before) | set(after))
                            if before.get(key) != after.get(key)],
            "upgrade": upgrade_path(new["package"], old["package"])}


def _version_in(version: str, low: Optional[str], high: Optional[str], upgrade: dict) -> bool:
    def numbers(text: str) -> List[int]:
        parts = [int(p) if p.isdigit() else 0 for p in text.split(".")]
        return parts + [0] * (4 - len(parts))
    value = numbers(version)
    if low and (value < numbers(low) or (value == numbers(low) and not upgrade["min_inclusive"])):
        return False
    return not high or value < numbers(high) or (value == numbers(high)
                                                 and upgrade["max_inclusive"])


def upgrade_path(new: Optional[dict], old: Optional[dict]) -> Optional[str]:
    """What setup.exe does on a machine where the old package's product is installed: it
    chooses by the ProductCode and the ProductVersion text, and the installer then applies its
    own rules (the PackageCode, the package's major upgrade)."""
    if not new or not old or not new.get("ProductCode") or not old.get("ProductCode"):
        return None
    same_package = new.get("PackageCode") == old.get("PackageCode")
    if new["ProductCode"] == old["ProductCode"]:
        if (new.get("ProductVersion") or "").lower() != (old.get("ProductVersion") or "").lower():
            path = ("reinstall upgrade: the same ProductCode in another version, so setup.exe "
                    "passes REINSTALL=ALL REINSTALLMODE=vomus (no PROPERTIES, no feature "
                    "selection) and the installer recaches the new package and replaces older "
                    "files")
            if same_package:
                path += "; but both packages have one PackageCode, which the installer takes " \
                        "for the same package: give each build its own"
            return path
        if same_package:
            return ("the same package: setup.exe uses its first-installation command line, and "
                    "the installer runs a maintenance installation of the installed product")
        return ("the same ProductCode and version in another package: the installer refuses it "
                "(1638, another version of this product is already installed); change the "
                "ProductVersion, or the ProductCode together with a major upgrade")
    covering = [u for u in new.get("major_upgrades", [])
                if u["upgrade_code"] == old.get("UpgradeCode")
                and _version_in(old.get("ProductVersion") or "0", u["version_min"],
                                u["version_max"], u)]
    if covering:
        return (f"major upgrade: a new ProductCode, so setup.exe installs as for the first time, "
                f"and the package's Upgrade row for {old['UpgradeCode']} removes the installed "
                f"{old.get('ProductVersion')}")
    if new.get("UpgradeCode") and new.get("UpgradeCode") == old.get("UpgradeCode"):
        return (f"a second product beside the first: a new ProductCode, so setup.exe installs "
                f"as for the first time, and the package has no major upgrade that removes "
                f"{old.get('ProductVersion')} (an Upgrade row for {old['UpgradeCode']} with "
                f"RemoveExistingProducts), so both stay installed")
    return ("an unrelated product: a new ProductCode and another UpgradeCode, so setup.exe "
            "installs as for the first time and the old product stays installed")


def render_differences(comparison: dict) -> str:
    out = []
    if comparison["identical"] == "file":
        out.append("identical: the same file")
    elif comparison["identical"] == "before signing":
        out.append("identical before signing: only the signatures differ")
    elif not comparison["differences"]:
        out.append("no differences in settings, compiled sections, payloads, package or signer")
    # One line a difference: a text with a line break shows it as the description writes it.
    shown = lambda value: "(none)" if value is None else _description_text(value)  # noqa: E731
    out += [f"{c['what']}: {shown(c['old'])} -> {shown(c['new'])}"
            for c in comparison["differences"]]
    if comparison["upgrade"] and comparison["identical"] is None:
        out.append(f"upgrade path from the old build: {comparison['upgrade']}")
    return "".join(line + "\n" for line in out)
