"""Release tooling: scripts/inspect.py on built executables, and signing through tooling.signing,
the script the build signs with: each way a release engineer holds a key, a timestamp from an
authority on 127.0.0.1, and the options that stop the build before anything is signed."""

import hashlib
import http.server
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

from testbed import SetupTestCase, artifact, paths
from trust_support import PRODUCT_CODE, publisher_root, trust_file

SOURCE = paths.REPO_ROOT
INSPECT = SOURCE / "scripts" / "inspect.py"
# The signing command, run as the build runs it: a module of the package at the sources' root.
SIGNING = ("-m", "tooling.signing")
TOOLING_ENV = {"PYTHONPATH": str(SOURCE)}
PUBLISHER = paths.win_build_dir() / "signing" / "publisher"
DEMO_PACKAGE = paths.win_build_dir() / "products" / "demo" / "CorvellVesk5.msi"
SOFTHSM_MODULES = ("/usr/lib/softhsm/libsofthsm2.so",
                   "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so")
PASS_PHRASE = "correct horse 7"
PIN = "246810"


def run(command, **kwargs):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, **kwargs)


def openssl(*args, cwd):
    done = run(["openssl", *args], cwd=cwd)
    if done.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(args)}: {done.stderr}")


def inspect(*args):
    return run([sys.executable, INSPECT, *args])


def sign(*args, env=None):
    return run([sys.executable, *SIGNING, "sign", *args],
               env={**os.environ, **TOOLING_ENV, **(env or {})})


class TimestampAuthority:
    """An RFC 3161 authority on 127.0.0.1: `openssl ts -reply` answers each request, with a
    certificate whose only use is time stamping, issued by a root of its own."""

    def __init__(self, folder: Path):
        self.folder = folder
        folder.mkdir()
        (folder / "tsa.ext").write_text("basicConstraints=critical,CA:FALSE\n"
                                        "keyUsage=critical,digitalSignature\n"
                                        "extendedKeyUsage=critical,timeStamping\n")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                "/CN=Release Test TSA Root", "-keyout", "root.key", "-out", "root.pem",
                "-addext", "basicConstraints=critical,CA:TRUE", cwd=folder)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Release Test TSA",
                "-keyout", "tsa.key", "-out", "tsa.csr", cwd=folder)
        openssl("x509", "-req", "-in", "tsa.csr", "-CA", "root.pem", "-CAkey", "root.key",
                "-CAcreateserial", "-days", "30", "-extfile", "tsa.ext", "-out", "tsa.pem",
                cwd=folder)
        (folder / "serial").write_text("01\n")
        (folder / "tsa.cnf").write_text(
            "[tsa]\ndefault_tsa = here\n[here]\n"
            f"serial = {folder}/serial\nsigner_cert = {folder}/tsa.pem\n"
            f"signer_key = {folder}/tsa.key\ncerts = {folder}/root.pem\n"
            "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
            "ess_cert_id_alg = sha256\n")
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = authority.answer(query)
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def answer(self, query: bytes) -> bytes:
        with tempfile.TemporaryDirectory() as scratch:
            (Path(scratch) / "query").write_bytes(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", self.folder / "tsa.cnf",
                                   "-queryfile", "query", "-out", "reply"], cwd=scratch,
                                  capture_output=True)
            return (Path(scratch) / "reply").read_bytes() if done.returncode == 0 else b""

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Keys:
    """The build's test publisher held the ways a release engineer holds a key: a PEM key with a
    pass phrase, a .pfx file with a password, a key in a SoftHSM2 token."""

    def __init__(self, folder: Path):
        folder.mkdir()
        self.chain = PUBLISHER / "chain.pem"
        self.ca = PUBLISHER / "ca.pem"
        self.protected_key = folder / "protected.pem"
        self.pfx = folder / "release.pfx"
        self.pass_file = folder / "pass.txt"
        self.pin_file = folder / "pin.txt"
        openssl("pkey", "-in", PUBLISHER / "key.pem", "-aes256", "-passout",
                f"pass:{PASS_PHRASE}", "-out", self.protected_key, cwd=folder)
        openssl("pkcs12", "-export", "-in", self.chain, "-inkey", PUBLISHER / "key.pem",
                "-passout", f"pass:{PASS_PHRASE}", "-out", self.pfx, cwd=folder)
        self.pass_file.write_text(PASS_PHRASE + "\n")
        self.pin_file.write_text(PIN + "\n")
        tokens = folder / "tokens"
        tokens.mkdir()
        (folder / "softhsm2.conf").write_text(f"directories.tokendir = {tokens}\n"
                                              "objectstore.backend = file\n")
        self.token_env = {"SOFTHSM2_CONF": str(folder / "softhsm2.conf")}
        for command in (["--init-token", "--free", "--label", "release", "--pin", PIN,
                         "--so-pin", "13579111"],
                        ["--import", PUBLISHER / "key.pem", "--token", "release", "--label",
                         "signing", "--id", "01", "--pin", PIN]):
            done = run(["softhsm2-util", *command], env={**os.environ, **self.token_env})
            if done.returncode != 0:
                raise RuntimeError(f"softhsm2-util: {done.stdout}{done.stderr}")
        self.module = next(m for m in SOFTHSM_MODULES if Path(m).is_file())


class InspectTest(unittest.TestCase):
    """inspect reads back what the build put into setup.exe."""

    def test_demo_setup_holds_the_built_package_and_the_build_signer(self):
        done = inspect("--json", artifact("setup.exe"))
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        report = json.loads(done.stdout)
        payloads = {p["id"]: p for p in report["payloads"]}
        self.assertEqual(hashlib.sha256(DEMO_PACKAGE.read_bytes()).hexdigest().upper(),
                         payloads[1004]["sha256"])
        self.assertEqual("%TEMP%\\CorvellVesk5.msi", payloads[1004]["written_to"])
        product_code = next(line.split("\t")[1] for line in run(
            ["msiinfo", "export", DEMO_PACKAGE, "Property"]).stdout.splitlines()
            if line.startswith("ProductCode\t"))
        self.assertEqual(product_code, report["package"]["ProductCode"])
        self.assertEqual(product_code, report["deployment"]["detection"]["product_code"])
        signature = report["signature"]
        publisher = run(["openssl", "x509", "-in", PUBLISHER / "chain.pem", "-noout",
                         "-fingerprint", "-sha256"]).stdout.split("=", 1)[1].strip()
        self.assertEqual(publisher.replace(":", ""), signature["certificate_sha256"])
        self.assertTrue(signature["digest_matches"])
        # Without [signing] in the description the signature shows the product's name.
        self.assertEqual(report["settings"]["PRODUCTNAME"], signature["description"])

    def test_sections_compiled_in_are_shown(self):
        # The second product as its description says; the demo runs its prerequisites with the
        # program's own texts; a variant without a feature selection shows none.
        notes = {
            "feature-selection": {"features": "NotesCore,NotesHelp", "drivers": "Dictionaries",
                                  "properties": "NOTES_TOUR=0"},
            "prerequisites": {"runtime": "off", "xmlparser": "off"},
            "strings": {"11": "Tallow Notes 2 Setup"},
            "version": {"ProductName": "Tallow Notes 2", "ProductVersion": "2.1.0",
                        "CompanyName": "Tallow Software",
                        "FileDescription": "Tallow Notes 2 Setup", "FileVersion": "2.1.0",
                        "LegalCopyright": "Copyright \u00a9 Tallow Software"}}
        demo = {
            "prerequisites": {"runtime": "on", "xmlparser": "on",
                              "runtime_file": "vcredist_vc9.exe", "runtime_arguments": "/q",
                              "runtime_uninstall_key": "{9BE518E6-ECC6-35A9-88E4-87755C07200F}"},
            "strings": {}}
        german = "Tallow Notes 2 Installation"
        for variant, expected, german in (("setup-notes", notes, german),
                                          ("setup-notes-nofeatures",
                                           {"feature-selection": None}, german),
                                          ("setup", demo, None)):
            with self.subTest(variant):
                done = inspect("--json", artifact(f"{variant}.exe"))
                self.assertEqual(0, done.returncode, done.stdout + done.stderr)
                sections = json.loads(done.stdout)["sections"]
                self.assertEqual(expected, {k: sections[k] for k in expected})
                self.assertEqual(german, sections.get("strings.de-DE", {}).get("11"))
        self.assertIn("\n[strings.de-DE]\n  11 = Tallow Notes 2 Installation\n",
                      inspect(artifact("setup-notes.exe")).stdout)

    def test_against_shows_only_what_differs(self):
        for new, old, expected in (
                ("setup", "setup-noprops", "setting PROPERTIES: (none) -> MSI_VIA_EXE=true\n"),
                ("setup-notes", "setup-notes-nofeatures",
                 "[feature-selection] drivers: (none) -> Dictionaries\n"
                 "[feature-selection] features: (none) -> NotesCore,NotesHelp\n"
                 "[feature-selection] properties: (none) -> NOTES_TOUR=0\n")):
            with self.subTest(new=new, old=old):
                done = inspect(artifact(f"{new}.exe"), "--against", artifact(f"{old}.exe"))
                self.assertEqual((0, expected), (done.returncode, done.stdout), done.stderr)

    def test_exit_code_says_whether_the_file_is_a_sound_setup(self):
        # 2: no setup.exe of this project; 1: one whose stored settings break the description's
        # rules, found by the same check the build runs on descriptions.
        for path, code, said in (
                (SOURCE / "README.md", 2, str(SOURCE / "README.md")),
                (trust_file("signed.exe"), 2, str(trust_file("signed.exe"))),
                (artifact("setup-min3x.exe"), 1,
                 "setup-min3x.exe: error: MINIMUM_MSI = 3x is not a Windows Installer version "
                 "the program accepts")):
            with self.subTest(path.name):
                done = inspect("--quiet", path)
                self.assertEqual(code, done.returncode, done.stdout + done.stderr)
                self.assertIn(said, done.stdout + done.stderr)

    def test_upload_package_is_written_signed_and_checked(self):
        # setup-download fetches its package from BASEURL: the package for its server must carry
        # setup.exe's signer, as the build's own upload step writes it.
        setup = artifact("setup-download.exe")
        with tempfile.TemporaryDirectory() as scratch:
            details = Path(scratch) / "signing.json"
            details.write_text(json.dumps({"upload_package": str(DEMO_PACKAGE)}))
            done = run([sys.executable, *SIGNING, "upload", "--cert", PUBLISHER / "chain.pem",
                        "--key", PUBLISHER / "key.pem", "--details", details, "--setup", setup,
                        "--to", Path(scratch) / "upload"], env={**os.environ, **TOOLING_ENV})
            self.assertEqual(0, done.returncode, done.stderr)
            written = Path(scratch) / "upload" / "CorvellVesk5.msi"
            cases = [(written, 0, None),
                     (trust_file("other-publisher/CorvellVesk5.msi"), 1,
                      "signed by CN=Bootstrapper Other Publisher, not by setup.exe's signer"),
                     (trust_file("unsigned/CorvellVesk5.msi"), 1, "is not signed")]
            for package, code, finding in cases:
                with self.subTest(package.parent.name):
                    done = inspect("--json", "--upload", package, setup)
                    self.assertEqual(code, done.returncode, done.stdout + done.stderr)
                    report = json.loads(done.stdout)
                    self.assertEqual(PRODUCT_CODE, report["package"]["ProductCode"])
                    texts = " ".join(f["text"] for f in report["findings"])
                    if finding:
                        self.assertIn(finding, texts)
                    else:
                        self.assertTrue(report["upload"]["same_signer"], texts)


class SigningRoutesTest(SetupTestCase):
    """Each way to hold the key signs a setup.exe that verifies against the build's test CA and
    passes its own signature check under Wine; the pass phrase is never printed."""

    root_cert = publisher_root()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.scratch = Path(tempfile.mkdtemp(prefix="release-"))
        cls.addClassCleanup(shutil.rmtree, cls.scratch, True)
        cls.keys = Keys(cls.scratch / "keys")
        cls.authority = TimestampAuthority(cls.scratch / "tsa")
        cls.addClassCleanup(cls.authority.stop)

    def test_each_route_signs_a_setup_that_verifies_and_runs(self):
        keys = self.keys
        routes = [
            ("PEM key, pass phrase from the environment",
             ["--cert", keys.chain, "--key", keys.protected_key, "--pass-env", "RELEASE_PASS"],
             {"RELEASE_PASS": PASS_PHRASE}),
            ("PKCS#12 file, password from a file, timestamped",
             ["--pkcs12", keys.pfx, "--pass-file", keys.pass_file,
              "--timestamp", self.authority.url], {}),
            ("key in a PKCS#11 token, PIN from a file",
             ["--pkcs11-module", keys.module, "--cert", keys.chain,
              "--key", "pkcs11:token=release;object=signing;type=private",
              "--pass-file", keys.pin_file], keys.token_env),
        ]
        for number, (name, signer, env) in enumerate(routes):
            with self.subTest(name):
                setup = self.scratch / f"setup-{number}.exe"
                shutil.copyfile(artifact("setup-unsigned.exe"), setup)
                done = sign(*signer, setup, env=env)
                self.assertEqual(0, done.returncode, done.stdout + done.stderr)
                self.assertNotIn(PASS_PHRASE, done.stdout + done.stderr)
                verify = ["osslsigncode", "verify", "-in", setup, "-CAfile", keys.ca]
                timestamped = "--timestamp" in signer
                if timestamped:
                    verify += ["-TSA-CAfile", self.scratch / "tsa" / "root.pem"]
                verified = run(verify)
                self.assertEqual(0, verified.returncode, verified.stdout + verified.stderr)
                if timestamped:
                    self.assertIn("Timestamp Server Signature verification: ok", verified.stdout)
                report = json.loads(inspect("--json", setup).stdout)
                stamp = report["signature"]["timestamp"]
                self.assertEqual("CN=Release Test TSA" if timestamped else None,
                                 stamp and stamp["authority"])
                # The verification mode on itself: 0 only when its signature is trusted.
                cmdline = f'"{self.prefix.to_windows(setup)}" /v "{self.prefix.to_windows(setup)}"'
                result = self.run_program(setup, raw_cmdline=cmdline)
                self.assertEqual(0, result.exit_code, result.describe())


class SigningRefusalsTest(unittest.TestCase):
    """A signer that cannot work stops the configuration, with a sentence saying why, before
    the Windows tree exists and so before anything is signed."""

    def test_refusals(self):
        with tempfile.TemporaryDirectory() as scratch:
            keys = Keys(Path(scratch) / "keys")
            unset = "RELEASE_PASS_NOT_SET"
            os.environ.pop(unset, None)
            cases = [
                ("certificate without key", {"SIGNING_CERT": keys.chain},
                 "BOOTSTRAPPER_SIGNING_CERT is given without BOOTSTRAPPER_SIGNING_KEY"),
                ("key without certificate", {"SIGNING_KEY": keys.protected_key},
                 "BOOTSTRAPPER_SIGNING_KEY is given without BOOTSTRAPPER_SIGNING_CERT"),
                ("protected key, no pass phrase source",
                 {"SIGNING_CERT": keys.chain, "SIGNING_KEY": keys.protected_key},
                 f"The signing key {keys.protected_key} is protected by a pass phrase, but "
                 "neither BOOTSTRAPPER_SIGNING_PASS_ENV nor BOOTSTRAPPER_SIGNING_PASS_FILE"),
                ("pass phrase variable not set",
                 {"SIGNING_PKCS12": keys.pfx, "SIGNING_PASS_ENV": unset},
                 f"BOOTSTRAPPER_SIGNING_PASS_ENV names the environment variable {unset}, "
                 "which is not set"),
                ("timestamp authority not answering",
                 {"SIGNING_PKCS12": keys.pfx, "SIGNING_PASS_FILE": keys.pass_file,
                  "TIMESTAMP_URL": f"http://127.0.0.1:{closed_port()}/"},
                 "does not answer a timestamp request"),
            ]
            for name, options, sentence in cases:
                with self.subTest(name):
                    build = Path(scratch) / "build"
                    shutil.rmtree(build, ignore_errors=True)
                    definitions = [f"-DBOOTSTRAPPER_{k}={v}" for k, v in options.items()]
                    done = run(["cmake", "-S", SOURCE, "-B", build,
                                "-DBOOTSTRAPPER_BUILD_TESTS=OFF", *definitions])
                    self.assertNotEqual(0, done.returncode, done.stdout)
                    self.assertIn(sentence, re.sub(r"\s+", " ", done.stderr))
                    self.assertFalse((build / "windows").exists())


if __name__ == "__main__":
    unittest.main()
