"""setup.exe's Authenticode signature and the package for a download product's server: who
signed them, whether the signature still holds, and the findings about them. Standard library
only, plus osslsigncode for a package's signature."""

from datetime import datetime, timezone
from pathlib import Path
from typing import List, Optional

from .. import authenticode
from .finding import ERROR, Finding
from .image import SetupImage


def _iso(moment: Optional[datetime]) -> Optional[str]:
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC") if moment else None


def signature_summary(signature: authenticode.Signature) -> dict:
    stamp = signature.timestamp
    return {
        "signer": signature.signer.subject, "issuer": signature.signer.issuer,
        "serial": signature.signer.serial, "certificate_sha256": signature.signer.sha256,
        "expires": _iso(signature.signer.not_after),
        "purposes": signature.signer.purposes(), "may_sign_code": signature.signer.may_sign_code(),
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
    elif stamp is not None and not stamp.matches_signature:
        findings.append(Finding(ERROR, "the timestamp was not given for this signature"))
    return summary


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
