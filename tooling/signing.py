"""Signs what the build makes with Authenticode, through osslsigncode.

    python3 -m tooling.signing check  SIGNER...       refuse a signer that cannot work, in a sentence
    python3 -m tooling.signing sign   SIGNER... [--details JSON] FILE...
    python3 -m tooling.signing upload SIGNER... --details JSON --setup SETUP.EXE --to FOLDER

SIGNER is one of
    --cert CHAIN.pem --key KEY.pem               a PEM certificate chain (leaf first) and its key
    --pkcs12 FILE.pfx                            a PKCS#12 file with the certificate and its key
    --pkcs11-module MODULE --cert CHAIN.pem --key KEY-ID
                                                 a key in a PKCS#11 token (a pkcs11: URI)
with, where the key is protected, --pass-env NAME (an environment variable) or --pass-file FILE
(its first line): a pass phrase, the .pfx password or the token's PIN. It is handed to the tools
through a pipe, never on a command line, and never printed. --timestamp URL adds an RFC 3161
timestamp from that authority, and the timestamp is checked once it is in the signature.

--details names the signing.json that the resource generator writes for a variant: the
signature's description and URL, and the package for the server of a product that downloads its
package. `upload` writes that package, signed, as FOLDER/<DATABASE> when setup.exe has a BASEURL,
and takes out of FOLDER any other file, which an earlier description left there.

The messages name the build options (BOOTSTRAPPER_SIGNING_...) that set each argument.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import urllib.error
import urllib.request
from contextlib import contextmanager
from pathlib import Path

from . import authenticode, inspection

OPTION = {"cert": "BOOTSTRAPPER_SIGNING_CERT", "key": "BOOTSTRAPPER_SIGNING_KEY",
          "pkcs12": "BOOTSTRAPPER_SIGNING_PKCS12",
          "pkcs11_module": "BOOTSTRAPPER_SIGNING_PKCS11_MODULE",
          "pass_env": "BOOTSTRAPPER_SIGNING_PASS_ENV",
          "pass_file": "BOOTSTRAPPER_SIGNING_PASS_FILE",
          "timestamp": "BOOTSTRAPPER_TIMESTAMP_URL"}
TIMESTAMP_WAIT = 20  # seconds


class Refusal(Exception):
    pass


def signer_arguments(parser):
    for name in OPTION:
        parser.add_argument("--" + name.replace("_", "-"), dest=name, default="")


# ----------------------------------------------------------------------------- pass phrase

def pass_phrase(args):
    """The pass phrase from its source, or None when none is given."""
    if args.pass_env:
        if args.pass_env not in os.environ:
            raise Refusal(f"{OPTION['pass_env']} names the environment variable "
                          f"{args.pass_env}, which is not set.")
        return os.environ[args.pass_env]
    if args.pass_file:
        lines = Path(args.pass_file).read_text(encoding="utf-8").splitlines()
        return lines[0] if lines else ""
    return None


@contextmanager
def pass_pipe(secret):
    """A pipe holding the pass phrase, for a child's "file" /dev/fd/N: the secret never appears
    on a command line or on disk."""
    if secret is None:
        yield None
        return
    read, write = os.pipe()
    try:
        os.write(write, secret.encode("utf-8"))
        os.close(write)
        yield read
    finally:
        os.close(read)


def run_openssl(command, secret, **kwargs):
    """openssl with the pass phrase given to -passin (None: an empty one, which opens an
    unprotected key)."""
    with pass_pipe(secret or None) as fd:
        source = f"file:/dev/fd/{fd}" if fd is not None else "pass:"
        return subprocess.run(["openssl", *command, "-passin", source],
                              pass_fds=(fd,) if fd is not None else (),
                              stdin=subprocess.DEVNULL, capture_output=True, **kwargs)


def openssl_accepts(command, secret):
    return run_openssl(command, secret).returncode == 0


# ------------------------------------------------------------------------------------ checks

def check_files(args):
    for name in ("cert", "pkcs12", "pkcs11_module", "pass_file"):
        value = getattr(args, name)
        if value and not Path(value).is_file():
            raise Refusal(f"{OPTION[name]} names {value}, which does not exist.")
    if not args.pkcs11_module and args.key and not Path(args.key).is_file():
        raise Refusal(f"{OPTION['key']} names {args.key}, which does not exist.")


def check_combination(args):
    if args.pkcs12 and (args.cert or args.key or args.pkcs11_module):
        raise Refusal(f"{OPTION['pkcs12']} holds the certificate and its key: give it without "
                      f"{OPTION['cert']}, {OPTION['key']} and {OPTION['pkcs11_module']}.")
    if args.cert and not args.key:
        raise Refusal(f"{OPTION['cert']} is given without {OPTION['key']}: give the key of that "
                      "certificate too (with a PKCS#11 token, its id in the token), or neither "
                      "to sign with the build's test certificate.")
    if args.key and not args.cert:
        raise Refusal(f"{OPTION['key']} is given without {OPTION['cert']}: give the "
                      "certificate chain of that key too, or neither to sign with the build's "
                      "test certificate.")
    if args.pkcs11_module and not args.key:
        raise Refusal(f"{OPTION['pkcs11_module']} is given without the key's id in the token "
                      f"({OPTION['key']}) and its certificate chain ({OPTION['cert']}).")
    if args.pass_env and args.pass_file:
        raise Refusal(f"Give the pass phrase through {OPTION['pass_env']} or "
                      f"{OPTION['pass_file']}, not both.")
    if (args.pass_env or args.pass_file) and not (args.key or args.pkcs12):
        raise Refusal(f"A pass phrase source is given, but no key: the build's test "
                      "certificate needs none.")


def check_pass_phrase(args):
    """A protected key needs a source for its pass phrase, and the pass phrase must open it."""
    secret = pass_phrase(args)
    if args.pkcs11_module:
        if secret is None:
            raise Refusal(f"The key in the PKCS#11 token needs the token's PIN, but neither "
                          f"{OPTION['pass_env']} nor {OPTION['pass_file']} says where to read "
                          "it; the build never asks for it.")
        return
    if args.pkcs12:
        what, command = f"The PKCS#12 file {args.pkcs12}", ["pkcs12", "-in", args.pkcs12,
                                                             "-noout"]
        readable = lambda s: (openssl_accepts(command, s)  # noqa: E731
                              or openssl_accepts(command + ["-legacy"], s))
    elif args.key:
        what, command = f"The signing key {args.key}", ["pkey", "-in", args.key, "-noout"]
        readable = lambda s: openssl_accepts(command, s)  # noqa: E731
    else:
        return
    if readable(None):
        return   # not protected
    if secret is None:
        raise Refusal(f"{what} is protected by a pass phrase, but neither {OPTION['pass_env']} "
                      f"nor {OPTION['pass_file']} says where to read it; the build never asks "
                      "for it.")
    if not readable(secret):
        raise Refusal(f"{what} cannot be opened with the pass phrase given (or is no key).")


def check_key_matches(args):
    """A PEM key must belong to the first certificate of the chain."""
    if args.pkcs11_module or not args.cert or not args.key:
        return
    certificate = subprocess.run(["openssl", "x509", "-in", args.cert, "-noout", "-pubkey"],
                                 capture_output=True, text=True)
    if certificate.returncode != 0:
        raise Refusal(f"{OPTION['cert']} names {args.cert}, which holds no PEM certificate.")
    key = run_openssl(["pkey", "-in", args.key, "-pubout"], pass_phrase(args), text=True)
    if key.stdout != certificate.stdout:
        raise Refusal(f"The key {args.key} does not belong to the certificate {args.cert} (the "
                      "first certificate of the chain must be the signing certificate).")


def signer_certificate(args):
    """The signing certificate, DER-encoded: the first of the PEM chain, or the one in the
    PKCS#12 file that has its key."""
    if args.pkcs12:
        command = ["pkcs12", "-in", args.pkcs12, "-nokeys", "-clcerts"]
        secret = pass_phrase(args)
        done = run_openssl(command, secret)
        if done.returncode != 0:
            done = run_openssl(command + ["-legacy"], secret)
        pem = done.stdout
    else:
        pem = Path(args.cert).read_bytes()
    der = subprocess.run(["openssl", "x509", "-outform", "DER"], input=pem, capture_output=True)
    return der.stdout if der.returncode == 0 else None


def check_purpose(args):
    """Windows accepts a code signature only from a certificate issued for signing code."""
    if not (args.cert or args.pkcs12):
        return
    der = signer_certificate(args)
    if not der:
        return   # what cannot be read was refused above, or osslsigncode says it
    certificate = authenticode.read_certificate(der)
    if not certificate.may_sign_code():
        raise Refusal(f"The signing certificate {certificate.subject} may not sign code (it is "
                      f"issued for {certificate.purposes()}): Windows refuses its signatures, so "
                      "setup.exe would fail its own signature check on every machine. Give a "
                      "code-signing certificate.")


def timestamp_request():
    """An RFC 3161 request for the SHA-256 digest of nothing, asking for the certificate."""
    digest = bytes.fromhex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
    sha256 = bytes.fromhex("300d06096086480165030402010500")
    imprint = b"\x30" + bytes([len(sha256) + 2 + len(digest)]) + sha256 + b"\x04\x20" + digest
    body = b"\x02\x01\x01" + imprint + b"\x01\x01\xff"
    return b"\x30" + bytes([len(body)]) + body


def check_timestamp(url):
    """The authority must answer a request with a granted timestamp."""
    request = urllib.request.Request(url, data=timestamp_request(),
                                     headers={"Content-Type": "application/timestamp-query"})
    refusal = (f"The timestamp authority {url} ({OPTION['timestamp']}) does not answer a "
               "timestamp request")
    try:
        with urllib.request.urlopen(request, timeout=TIMESTAMP_WAIT) as response:
            answer = response.read()
    except (urllib.error.URLError, OSError, ValueError) as error:
        raise Refusal(f"{refusal}: {getattr(error, 'reason', error)}.") from error
    try:
        status = authenticode.parse(authenticode.parse(answer).children()[0].content)
        granted = status.tag == 0x02 and int.from_bytes(status.content, "big") in (0, 1)
    except (authenticode.SignatureFormatError, IndexError):
        granted = False
    if not granted:
        raise Refusal(f"{refusal} with a timestamp.")


def check(args, reach_timestamp=True):
    check_combination(args)
    check_files(args)
    check_pass_phrase(args)
    check_key_matches(args)
    check_purpose(args)
    if args.timestamp and reach_timestamp:
        check_timestamp(args.timestamp)


# ----------------------------------------------------------------------------------- signing

def sign_file(args, path, description=None, url=None):
    command = ["osslsigncode", "sign", "-h", "sha256"]
    if args.pkcs12:
        command += ["-pkcs12", args.pkcs12]
    else:
        command += ["-certs", args.cert, "-key", args.key]
    if args.pkcs11_module:
        command += ["-pkcs11module", args.pkcs11_module]
    if description:
        # osslsigncode stores each byte of -n as one character of the signature's text, so the
        # text goes as Latin-1; what Latin-1 cannot hold shows as "?".
        command += ["-n", description.encode("latin-1", "replace")]
    if url:
        command += ["-i", url]
    if args.timestamp:
        command += ["-ts", args.timestamp]
    signing = path.with_name(path.name + ".signing")
    signing.unlink(missing_ok=True)
    with pass_pipe(pass_phrase(args)) as fd:
        if fd is not None:
            command += ["-readpass", f"/dev/fd/{fd}"]
        done = subprocess.run(command + ["-in", str(path), "-out", str(signing)],
                              pass_fds=(fd,) if fd is not None else (),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        signing.unlink(missing_ok=True)
        raise Refusal(f"osslsigncode could not sign {path}:\n{done.stdout}{done.stderr}".strip())
    signing.chmod(path.stat().st_mode)
    if args.timestamp:
        stamp = authenticode.read_file_signature(signing).timestamp
        if stamp is None or not stamp.matches_signature:
            signing.unlink()
            raise Refusal(f"The signature of {path} has no valid timestamp from "
                          f"{args.timestamp}.")
    os.replace(signing, path)


def read_details(path):
    return json.loads(Path(path).read_text(encoding="utf-8")) if path else {}


def upload(args, details):
    """Writes the package for the server of a product that downloads its package."""
    image = inspection.read_setup(Path(args.setup))
    folder = Path(args.to)
    # The folder holds this setup.exe's package and nothing else: a file an earlier description
    # put there (another DATABASE, or none now) would be uploaded by mistake.
    for stale in folder.iterdir() if folder.is_dir() else ():
        if stale.is_file() and ("BASEURL" not in image.settings or stale.name != image.database):
            stale.unlink()
    if "BASEURL" not in image.settings:
        return
    source = details.get("upload_package")
    if not source:
        raise Refusal(f"{args.setup} downloads its package from BASEURL, but the product "
                      "description names no package for the server: add [upload] package = "
                      "FILE, or carry it as payload 1004.")
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / image.database
    shutil.copyfile(source, target)
    sign_file(args, target, details.get("description"), details.get("url"))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=("check", "sign", "upload"))
    signer_arguments(parser)
    parser.add_argument("--details")
    parser.add_argument("--setup")
    parser.add_argument("--to")
    parser.add_argument("files", nargs="*", type=Path)
    args = parser.parse_intermixed_args(argv)
    try:
        if args.command == "check":
            check(args)
            return 0
        # Checked when the build was configured; the pass phrase may still have gone since.
        check(args, reach_timestamp=False)
        details = read_details(args.details)
        if args.command == "upload":
            upload(args, details)
        for path in args.files:
            sign_file(args, path, details.get("description"), details.get("url"))
    except Refusal as refusal:
        print(refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
