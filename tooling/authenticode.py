"""Reads the Authenticode signature of a PE file or a Windows Installer package: who signed it,
with which digest, over what, and when a timestamp authority saw it.

Standard library only, plus osslsigncode for taking the signature out of a package (a PE file's
signature is read straight from its certificate table). The signature is a PKCS#7 SignedData
whose content is the file's digest; it is walked here with a small DER reader rather than
through a tool's text output, which changes between versions.
"""

import hashlib
import struct
import subprocess
import tempfile
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from . import pe_image

DIGESTS = {
    "1.2.840.113549.2.5": "md5",
    "1.3.14.3.2.26": "sha1",
    "2.16.840.1.101.3.4.2.1": "sha256",
    "2.16.840.1.101.3.4.2.2": "sha384",
    "2.16.840.1.101.3.4.2.3": "sha512",
}
NAME_ATTRIBUTES = {
    "2.5.4.3": "CN", "2.5.4.5": "serialNumber", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST",
    "2.5.4.9": "street", "2.5.4.10": "O", "2.5.4.11": "OU", "1.2.840.113549.1.9.1": "emailAddress",
}
SIGNING_TIME = "1.2.840.113549.1.9.5"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"      # a timestamp in the older Authenticode form
RFC3161_TOKEN = "1.3.6.1.4.1.311.3.3.1"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"           # the description and URL given at signing
KEY_USAGE = "2.5.29.15"
EXTENDED_KEY_USAGE = "2.5.29.37"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
ANY_PURPOSE = "2.5.29.37.0"
PURPOSES = {
    "1.3.6.1.5.5.7.3.1": "Server Authentication", "1.3.6.1.5.5.7.3.2": "Client Authentication",
    CODE_SIGNING: "Code Signing", "1.3.6.1.5.5.7.3.4": "Secure Email",
    "1.3.6.1.5.5.7.3.8": "Time Stamping", "1.3.6.1.5.5.7.3.9": "OCSP Signing",
    "1.3.6.1.4.1.311.10.3.13": "Lifetime Signing", ANY_PURPOSE: "Any Purpose",
}

WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2


class SignatureFormatError(ValueError):
    pass


# ------------------------------------------------------------------------------------------ DER

@dataclass
class Node:
    data: bytes
    tag: int
    header: int   # where the element starts
    start: int    # where its content starts
    end: int

    @property
    def content(self) -> bytes:
        return self.data[self.start:self.end]

    @property
    def encoded(self) -> bytes:
        return self.data[self.header:self.end]

    def children(self) -> List["Node"]:
        nodes, pos = [], self.start
        while pos < self.end:
            node = parse(self.data, pos)
            nodes.append(node)
            pos = node.end
        return nodes

    def child(self, tag: int) -> Optional["Node"]:
        return next((c for c in self.children() if c.tag == tag), None)


def parse(data: bytes, pos: int = 0) -> Node:
    if pos + 2 > len(data):
        raise SignatureFormatError("truncated element")
    tag, length = data[pos], data[pos + 1]
    start = pos + 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4:
            raise SignatureFormatError("indefinite or oversized length")
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + length > len(data):
        raise SignatureFormatError("element runs past its container")
    return Node(data, tag, pos, start, start + length)


def oid(node: Node) -> str:
    raw = node.content
    parts, value = [], 0
    for byte in raw:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    first = min(parts[0] // 40, 2)
    return ".".join(str(p) for p in [first, parts[0] - 40 * first] + parts[1:])


def text(node: Node) -> str:
    encodings = {0x1E: "utf-16-be", 0x1C: "utf-32-be", 0x14: "latin-1"}
    return node.content.decode(encodings.get(node.tag, "utf-8"), "replace")


def time(node: Node) -> datetime:
    value = node.content.decode("ascii").rstrip("Z")
    if node.tag == 0x17:   # UTCTime: two-digit years, 1950 to 2049
        value = ("19" if int(value[:2]) >= 50 else "20") + value
    value = value.split(".")[0]
    return datetime.strptime(value, "%Y%m%d%H%M%S").replace(tzinfo=timezone.utc)


def name(node: Node) -> str:
    """A distinguished name in the certificate's order, "CN=..., O=..."."""
    parts = []
    for rdn in node.children():
        for pair in rdn.children():
            kind, value = pair.children()[:2]
            parts.append(f"{NAME_ATTRIBUTES.get(oid(kind), oid(kind))}={text(value)}")
    return ", ".join(parts)


# --------------------------------------------------------------------------------- signatures

@dataclass
class Certificate:
    subject: str
    issuer: str
    serial: str                 # upper-case hex
    sha256: str                 # of the whole certificate: the same certificate, whoever reads it
    not_after: datetime
    issuer_raw: bytes
    serial_raw: bytes
    # The purposes it is issued for (OIDs); None without that extension: any purpose.
    extended_key_usage: Optional[List[str]] = None
    # Whether its key usage allows signatures; None without that extension.
    digital_signature: Optional[bool] = None

    def may_sign_code(self) -> bool:
        """Whether Windows accepts a code signature made with it."""
        purposes = self.extended_key_usage
        return self.digital_signature is not False and (
            purposes is None or CODE_SIGNING in purposes or ANY_PURPOSE in purposes)

    def purposes(self) -> str:
        if self.extended_key_usage is None:
            return "any purpose"
        return ", ".join(PURPOSES.get(p, p) for p in self.extended_key_usage) or "none"


@dataclass
class Timestamp:
    time: datetime
    authority: str              # subject of the certificate that signed the timestamp
    kind: str                   # "RFC 3161" or "Authenticode"
    matches_signature: bool     # the timestamp was given for this signature's value


@dataclass
class Signature:
    signer: Certificate
    digest_algorithm: str
    digest: str                 # the file digest that was signed, upper-case hex
    description: Optional[str]
    url: Optional[str]
    signing_time: Optional[datetime]
    timestamp: Optional[Timestamp]
    chain: List[str] = field(default_factory=list)   # subjects of the certificates it carries


def _certificate(node: Node) -> Certificate:
    tbs = node.children()[0].children()
    if tbs[0].tag == 0xA0:      # explicit version
        tbs = tbs[1:]
    serial, _, issuer, validity, subject = tbs[:5]
    certificate = Certificate(subject=name(subject), issuer=name(issuer),
                              serial=serial.content.lstrip(b"\0").hex().upper() or "00",
                              sha256=hashlib.sha256(node.encoded).hexdigest().upper(),
                              not_after=time(validity.children()[1]), issuer_raw=issuer.encoded,
                              serial_raw=serial.content)
    extensions = next((n for n in tbs[6:] if n.tag == 0xA3), None)
    for extension in extensions.children()[0].children() if extensions is not None else []:
        parts = extension.children()
        kind, value = oid(parts[0]), parse(parts[-1].content)
        if kind == EXTENDED_KEY_USAGE:
            certificate.extended_key_usage = [oid(p) for p in value.children()]
        elif kind == KEY_USAGE:
            bits = value.content[1:2]
            certificate.digital_signature = bool(bits and bits[0] & 0x80)
    return certificate


def read_certificate(der: bytes) -> Certificate:
    """A certificate from its DER encoding."""
    return _certificate(parse(der))


def _attributes(node: Optional[Node]) -> Dict[str, Node]:
    """An attribute set, each by its OID with its first value."""
    found = {}
    for attribute in node.children() if node is not None else []:
        kind, values = attribute.children()[:2]
        found[oid(kind)] = values.children()[0]
    return found


def _signed_data(content_info: Node) -> List[Node]:
    parts = content_info.children()
    if len(parts) < 2 or parts[1].tag != 0xA0:
        raise SignatureFormatError("no SignedData")
    return parts[1].children()[0].children()


def _signer_infos(signed: List[Node]) -> List[Node]:
    # The last set of SignedData; the first one lists the digest algorithms.
    sets = [n for n in signed if n.tag == 0x31]
    if len(sets) < 2 or not sets[-1].children():
        raise SignatureFormatError("no signer")
    return sets[-1].children()


def _certificates(signed: List[Node]) -> List[Certificate]:
    bag = next((n for n in signed if n.tag == 0xA0), None)
    return [_certificate(c) for c in bag.children() if c.tag == 0x30] if bag is not None else []


def _signer_certificate(signer_info: Node, certificates: List[Certificate]) -> Certificate:
    sid = signer_info.children()[1]
    if sid.tag == 0x30:
        issuer, serial = sid.children()[:2]
        for cert in certificates:
            if cert.issuer_raw == issuer.encoded and cert.serial_raw == serial.content:
                return cert
    if len(certificates) == 1:   # named by key identifier: the one certificate it carries
        return certificates[0]
    raise SignatureFormatError("the signer's certificate is not in the signature")


def _signer_parts(signer_info: Node) -> Tuple[Node, Optional[Node], bytes, Optional[Node]]:
    """The digest algorithm, authenticated attributes, signature value and unauthenticated
    attributes of a SignerInfo."""
    parts = signer_info.children()[2:]
    algorithm = parts.pop(0)
    signed_attributes = parts.pop(0) if parts and parts[0].tag == 0xA0 else None
    parts.pop(0)   # the signature algorithm
    value = parts.pop(0).content
    unsigned_attributes = parts[0] if parts and parts[0].tag == 0xA1 else None
    return algorithm, signed_attributes, value, unsigned_attributes


def _digest_name(algorithm: Node) -> str:
    identifier = oid(algorithm.children()[0])
    return DIGESTS.get(identifier, identifier)


def _timestamp(unsigned: Dict[str, Node], signature_value: bytes,
               certificates: List[Certificate]) -> Optional[Timestamp]:
    token = unsigned.get(RFC3161_TOKEN)
    if token is not None:
        signed = _signed_data(token)
        encapsulated = next(n for n in signed if n.tag == 0x30 and oid(n.children()[0]) == TST_INFO)
        info = parse(encapsulated.children()[1].children()[0].content).children()
        imprint_algorithm, imprint = info[2].children()
        expected = hashlib.new(_digest_name(imprint_algorithm), signature_value).digest()
        signer_info = _signer_infos(signed)[0]
        authority = _signer_certificate(signer_info, _certificates(signed) or certificates)
        return Timestamp(time(info[4]), authority.subject, "RFC 3161", imprint.content == expected)
    counter = unsigned.get(COUNTER_SIGNATURE)
    if counter is not None:
        algorithm, signed_attributes, _, _ = _signer_parts(counter)
        attributes = _attributes(signed_attributes)
        digest = attributes.get("1.2.840.113549.1.9.4")
        expected = hashlib.new(_digest_name(algorithm), signature_value).digest()
        when = attributes.get(SIGNING_TIME)
        if when is None:
            raise SignatureFormatError("a countersignature without its time")
        authority = _signer_certificate(counter, certificates)
        return Timestamp(time(when), authority.subject, "Authenticode",
                         digest is not None and digest.content == expected)
    return None


def _opus_info(node: Optional[Node]) -> Tuple[Optional[str], Optional[str]]:
    description = url = None
    for part in node.children() if node is not None else []:
        inner = parse(part.content) if part.tag in (0xA0, 0xA1) else None
        if inner is None:
            continue
        value = inner.content.decode("utf-16-be" if inner.tag == 0x80 and part.tag == 0xA0
                                     else "latin-1", "replace")
        if part.tag == 0xA0:
            description = value
        else:
            url = value
    return description, url


def parse_signature(blob: bytes) -> Signature:
    signed = _signed_data(parse(blob))
    certificates = _certificates(signed)
    content = next(n for n in signed if n.tag == 0x30)
    digest_info = content.children()[1].children()[0].children()[1].children()
    signer_info = _signer_infos(signed)[0]
    algorithm, signed_attributes, value, unsigned_attributes = _signer_parts(signer_info)
    attributes = _attributes(signed_attributes)
    description, url = _opus_info(attributes.get(OPUS_INFO))
    when = attributes.get(SIGNING_TIME)
    return Signature(
        signer=_signer_certificate(signer_info, certificates),
        digest_algorithm=_digest_name(digest_info[0]),
        digest=digest_info[1].content.hex().upper(),
        description=description, url=url,
        signing_time=time(when) if when is not None else None,
        timestamp=_timestamp(_attributes(unsigned_attributes), value, certificates),
        chain=[c.subject for c in certificates])


# ------------------------------------------------------------------------------------- files

def pe_signature_blob(data: bytes, image: pe_image.PeImage) -> Optional[bytes]:
    offset, size = image.directory(pe_image.DIRECTORY_SECURITY)
    if size == 0:
        return None
    if offset + size > len(data):
        raise SignatureFormatError("the certificate table runs past the file")
    length, _, kind = struct.unpack_from("<IHH", data, offset)
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or length < 8 or length > size:
        raise SignatureFormatError("the certificate table holds no PKCS#7 signature")
    return data[offset + 8:offset + length]


def pe_digest(data: bytes, image: pe_image.PeImage, algorithm: str) -> str:
    """The file's Authenticode digest: every byte before the certificate table except the
    header's checksum and the certificate table's own directory entry."""
    checksum = image.optional_header_offset + 64
    security_entry = image.directories_offset + 8 * pe_image.DIRECTORY_SECURITY
    offset, size = image.directory(pe_image.DIRECTORY_SECURITY)
    end = offset if size else len(data)
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security_entry])
    digest.update(data[security_entry + 8:end])
    return digest.hexdigest().upper()


def package_signature_blob(path: Path) -> Optional[bytes]:
    """The signature of a Windows Installer package (or any file osslsigncode can sign); None when
    it carries none."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "signature.der"
        done = subprocess.run(["osslsigncode", "extract-signature", "-in", str(path),
                               "-out", str(out)], capture_output=True, text=True)
        if done.returncode != 0 or not out.is_file():
            return None
        return out.read_bytes()


def read_file_signature(path: Path) -> Optional[Signature]:
    """The signature of a PE file or a package; None when unsigned."""
    data = Path(path).read_bytes()
    if data[:2] == b"MZ":
        blob = pe_signature_blob(data, pe_image.read(data))
    else:
        blob = package_signature_blob(Path(path))
    return parse_signature(blob) if blob is not None else None
