"""The release gate: what makes a setup.exe unfit to ship although it runs on a test machine.
Each finding is one sentence; plain inspect shows them as warnings, inspect --release (and the
build of a release-signed setup.exe) as errors.

    - signed by the build's test publisher, which no customer's machine trusts;
    - a signing certificate that may not sign code, which Windows refuses;
    - no timestamp: the signature stops verifying when the certificate expires;
    - a payload that is one of the test bed's stand-ins, not the vendor's file;
    - a version resource that says another version than the package installs;
    - a package without the duties it has towards setup.exe (docs/shipping-a-product.md).

Standard library only, plus msitools (msiinfo) for packages."""

import tempfile
from pathlib import Path
from typing import List, Optional

from .. import msi, pe_image
from .image import RT_VERSION, SetupImage, read_version

# The maker that the test bed's stand-ins name (an MSI's Manufacturer, an EXE's CompanyName).
TEST_BED_MANUFACTURER = "Bootstrapper test bed"
# The build's test publishers are named "Bootstrapper ..." and issued by "<name> Root CA".
TEST_PUBLISHER_PREFIX = "CN=Bootstrapper "
OLE_SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
INI_CONDITION_PROPERTY = "WRITE_INI_FILE"
# RemoveFile.InstallMode: 1 on installation, 2 on removal, 3 both.
REMOVE_ON_UNINSTALL = ("2", "3")
CUSTOM_ACTION_SET_PROPERTY = 51


def signer_findings(signature: Optional[dict]) -> List[str]:
    if signature is None:
        return []   # not signed, or unreadable: already an error
    found = []
    if (signature["signer"].startswith(TEST_PUBLISHER_PREFIX)
            and signature["issuer"] == signature["signer"] + " Root CA"):
        found.append(f"setup.exe is signed by the build's test publisher ({signature['signer']}), "
                     "which no customer's machine trusts: sign a release with your certificate "
                     "(BOOTSTRAPPER_SIGNING_...)")
    if not signature["may_sign_code"]:
        found.append(f"the signing certificate {signature['signer']} may not sign code (it is "
                     f"issued for {signature['purposes']}): Windows refuses the signature, so "
                     "setup.exe fails its own signature check on every machine")
    if signature["timestamp"] is None:
        found.append("the signature has no timestamp: it stops verifying when the certificate "
                     f"expires ({signature['expires']}); sign with BOOTSTRAPPER_TIMESTAMP_URL")
    return found


def _payload_maker(data: memoryview) -> Optional[tuple]:
    """The product name and maker that a payload gives itself: an MSI's ProductName and
    Manufacturer, an EXE's version resource; None when it says neither."""
    if bytes(data[:8]) == OLE_SIGNATURE:
        with tempfile.TemporaryDirectory() as scratch:
            path = Path(scratch) / "payload.msi"
            path.write_bytes(data)
            try:
                properties = msi.properties(path)
            except msi.NotAPackage:
                return None
        return properties.get("ProductName", ""), properties.get("Manufacturer", "")
    if bytes(data[:2]) == b"MZ":
        try:
            image = pe_image.read(bytes(data))
        except pe_image.PeFormatError:
            return None
        version = next((r for r in image.resources if r.type == RT_VERSION), None)
        strings = read_version(bytes(version.data)) if version is not None else None
        if strings:
            return (strings.get("ProductName") or strings.get("FileDescription", ""),
                    strings.get("CompanyName", ""))
    return None


def payload_findings(image: SetupImage, describe) -> List[str]:
    found = []
    for pid in sorted(image.payloads):
        maker = _payload_maker(image.payloads[pid])
        if maker is not None and maker[1] == TEST_BED_MANUFACTURER:
            found.append(f"payload {pid} ({describe(pid)}) is the test bed's \"{maker[0]}\" by "
                         f"{maker[1]}, not the vendor's file: name the redistributable in the "
                         "description's [payloads] (docs/prerequisites.md)")
    return found


def _version_numbers(text: str) -> List[int]:
    parts = [int(p) if p.isdigit() else -1 for p in text.strip().split(".")]
    return parts + [0] * (4 - len(parts))


def version_findings(image: SetupImage, package: Optional[dict]) -> List[str]:
    shown = (image.version or {}).get("ProductVersion")
    installed = (package or {}).get("ProductVersion")
    if not shown or not installed or _version_numbers(shown) == _version_numbers(installed):
        return []
    return [f"the version resource says ProductVersion {shown}, but the package installs "
            f"{installed}: Explorer and the Uninstall list disagree; leave ProductVersion out of "
            "[version] to take the package's, or build the package as that version"]


def package_duties(path: Path, image: SetupImage) -> List[str]:
    """What the package must do for setup.exe, read from its tables."""
    present = msi.tables(path)
    found = []
    actions = {row[0]: row for row in msi.table(path, "CustomAction", present)}
    sequence = {row[0]: row for row in msi.table(path, "InstallExecuteSequence", present)}
    properties = {row[0] for row in msi.table(path, "Property", present)}

    def number(row) -> int:
        return int(row[2]) if len(row) > 2 and row[2].lstrip("-").isdigit() else 0
    register = sequence.get("RegisterProduct")
    sets_location = "ARPINSTALLLOCATION" in properties or any(
        len(row) > 3 and int(row[1] or 0) & 0x3F == CUSTOM_ACTION_SET_PROPERTY
        and row[2] == "ARPINSTALLLOCATION" and name in sequence
        and (register is None or number(sequence[name]) < number(register))
        for name, row in actions.items())
    if not sets_location:
        found.append("the package does not set ARPINSTALLLOCATION before RegisterProduct: "
                     "setup.exe finds no install folder to copy its two logs into")

    product_name = image.setting("PRODUCTNAME", 17) or ""
    removed = {msi.long_name(row[2]).lower() for row in msi.table(path, "RemoveFile", present)
               if len(row) > 4 and row[4] in REMOVE_ON_UNINSTALL}
    for log in ("bootstrap.log", f"{product_name}.log"):
        if log.lower() not in removed:
            found.append(f"the package does not remove {log} on uninstall (a RemoveFile row with "
                         "InstallMode 2 in the install folder): setup.exe's copy stays behind")

    ini = image.database[:-4] + ".ini"
    files = [row for row in msi.table(path, "File", present)
             if len(row) > 2 and msi.long_name(row[2]).lower() == ini.lower()]
    conditions = {row[0]: row[4] if len(row) > 4 else ""
                  for row in msi.table(path, "Component", present)}
    if not files:
        found.append(f"the package installs no {ini} when given {INI_CONDITION_PROPERTY}=true: "
                     "setup.exe /w has no settings file to copy beside itself")
    elif not any(INI_CONDITION_PROPERTY in conditions.get(row[1], "") for row in files):
        found.append(f"the component of {ini} has no condition on {INI_CONDITION_PROPERTY}: "
                     "every installation writes it, not only setup.exe /w")
    return found
