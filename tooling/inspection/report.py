"""Everything inspect reports about one setup.exe, as one dictionary (the JSON that --json
prints), with the deployment summary and the exit code."""

import hashlib
import urllib.parse
from pathlib import Path
from typing import List, Optional

from .. import authenticode, msi
from . import gate
from .contents import (compiled_sections, description_findings, package_file, package_identity,
                       payload_role, payload_rows)
from .finding import ERROR, WARNING, Finding
from .image import DEFAULT_PRODUCT_NAME, SETTING_NAMES, SetupImage, read_setup
from .signature import find_upload, setup_signature, upload_check

# The version of the JSON that --json prints (docs/inspect-report.schema.json); it changes when
# a key changes its meaning or goes away.
FORMAT_VERSION = 1

# Exit codes a deployment system acts on: the product installed; installed but Windows must
# restart (3010 and 3011 from a prerequisite or the installer, 1641 when the installer started
# the restart); another installation was running, so the same command can be tried again later.
EXIT_SUCCESS = (0,)
EXIT_RESTART = (3010, 3011, 1641)
EXIT_RETRY = (1618,)
# The failures a deployment system may meet in a silent run; any other code is a failure too.
EXIT_FAILURES = {
    2: "the package or a payload could not be written, or the download failed",
    4: "the downloaded package is not trusted",
    14: "out of memory",
    87: "a setting of setup.exe is invalid",
    120: "the system cannot verify signatures",
    1602: "cancelled",
    1603: "not run as an administrator, an internal error, or the installer failed",
    1633: "this Windows is not supported",
    0x800B0001: "setup.exe's own signature cannot be verified",
    0x800B0004: "setup.exe's own signature is not trusted",
}


def _hosts(image: SetupImage) -> List[str]:
    """The hosts a run may contact: the product package's and the engine update's servers."""
    hosts = []
    for name in ("BASEURL", "UPDATELOCATION"):
        url = urllib.parse.urlsplit(image.settings.get(name, ""))
        if url.hostname:
            host = f"{url.scheme}://{url.hostname}" + (f":{url.port}" if url.port else "")
            if host not in hosts:
                hosts.append(host)
    return hosts


# What a first installation without the distributor's file installs.
DEFAULT_FEATURES = ("the installer installs the package's default features (those whose level "
                    "is within INSTALLLEVEL)")


def feature_selection(image: SetupImage) -> dict:
    """When the description's feature selection reaches the installer: only on a first
    installation, and only where the distributor's Feature.ini is found; and what it asks for."""
    features = image.options.get("FEATURES")
    if features is None:
        return {"file": None, "selection": None,
                "without_file": "no feature selection: OEM\\Feature.ini is not read, and "
                                + DEFAULT_FEATURES}
    # A downloaded package has no media folder: the bare name is looked for in the current one.
    where = ("Feature.ini in the current folder of setup.exe's process" if "BASEURL" in
             image.settings else "OEM\\Feature.ini beside setup.exe")
    drivers = image.options.get("DRIVERS")
    listed = f"[,{drivers},<include>...]" if drivers else "[,<include>...]"
    selection = f"ALLDRIVERS=<include|exclude> ADDLOCAL={features}{listed}"
    if image.options.get("FEATURE_PROPERTIES"):
        selection += " " + image.options["FEATURE_PROPERTIES"]
    return {"file": where, "selection": selection + " [<EXCLUDE>=exclude...]",
            "without_file": "none of [feature-selection] reaches the installer, and "
                            + DEFAULT_FEATURES}


def deployment(image: SetupImage, package: Optional[dict]) -> dict:
    name = image.path.name
    rule = None
    if package and package.get("ProductCode"):
        rule = {"product_code": package["ProductCode"], "version": package["ProductVersion"],
                "comparison": "or later"}
    product_name = image.setting("PRODUCTNAME", DEFAULT_PRODUCT_NAME)
    return {"install": f"{name} /qn", "uninstall": f"{name} /x /qn", "detection": rule,
            "administrator": "required: run it elevated, as SYSTEM or an administrator; "
                             "otherwise it ends with 1603, also with /qn",
            "logs": [r"%TEMP%\bootstrap.log", f"%TEMP%\\{product_name}.log",
                     "both copied into the product's install folder after an installation"],
            "hosts": _hosts(image),
            "feature_selection": feature_selection(image),
            "success": list(EXIT_SUCCESS), "restart": list(EXIT_RESTART),
            "retry": list(EXIT_RETRY),
            "failures": [{"code": code, "meaning": meaning}
                         for code, meaning in EXIT_FAILURES.items()]}


def inspect(path: Path, upload: Optional[Path] = None, rules_tool: Optional[str] = None,
            release: bool = False) -> dict:
    """Everything inspect reports about one setup.exe; raises NotASetup. With `release` what
    makes it unfit to ship is an error, else a warning."""
    image = read_setup(path)
    findings: List[Finding] = []
    signature = setup_signature(image, findings)
    upload_path = find_upload(image, upload) if "BASEURL" in image.settings else None
    upload_result = upload_check(image, upload_path, signature, findings)
    unfit = gate.signer_findings(signature)
    unfit += gate.payload_findings(image, lambda pid: payload_role(image, pid)[0])
    package = None
    with package_file(image, upload_path) as (source, package_path):
        if package_path is not None:
            try:
                package = {"source": source, **package_identity(package_path)}
                unfit += gate.package_duties(package_path, image)
            except msi.NotAPackage as error:
                findings.append(Finding(ERROR, f"{source} is not a Windows Installer package: "
                                               f"{error}"))
    unfit += gate.version_findings(image, package)
    findings += [Finding(ERROR if release else WARNING, text) for text in unfit]
    findings += description_findings(image, rules_tool)
    return {
        "format": FORMAT_VERSION,
        "file": {"path": str(image.path), "size": len(image.data),
                 "sha256": hashlib.sha256(image.data).hexdigest().upper(),
                 # The digest that the signature signs, which leaves the signature out: two
                 # builds that agree here differ only in their signatures.
                 "authenticode_sha256": authenticode.pe_digest(image.data, image.pe, "sha256")},
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
