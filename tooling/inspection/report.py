"""Everything inspect reports about one setup.exe, as one dictionary (the JSON that --json
prints), with the deployment summary and the exit code."""

import hashlib
from pathlib import Path
from typing import List, Optional

from .contents import (carried_package, compiled_sections, description_findings,
                       package_identity, payload_rows)
from .finding import ERROR, Finding
from .image import PACKAGE_PAYLOAD, SETTING_NAMES, SetupImage, read_setup
from .signature import find_upload, setup_signature, upload_check


# Exit codes a deployment system acts on: the product installed; installed but Windows must
# restart (3010 and 3011 from a prerequisite or the installer, 1641 when the installer started
# the restart); another installation was running, so the same command can be tried again later.
EXIT_SUCCESS = (0,)
EXIT_RESTART = (3010, 3011, 1641)
EXIT_RETRY = (1618,)


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
        package = carried_package(image, findings)
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
