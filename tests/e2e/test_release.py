"""Release tooling: scripts/inspect.py on built executables, and signing through tooling.signing,
the script the build signs with: each way a release engineer holds a key, a timestamp from an
authority on 127.0.0.1, and the options that stop the build before anything is signed."""

import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from testbed import SetupTestCase, artifact, flavours, paths
from trust_support import PRODUCT_CODE, publisher_root, trust_file

SOURCE = paths.REPO_ROOT
sys.path.insert(0, str(SOURCE))
from tooling.timestamp_authority import TimestampAuthority  # noqa: E402

INSPECT = SOURCE / "scripts" / "inspect.py"
# The signing command, run as the build runs it: a module of the package at the sources' root.
SIGNING = ("-m", "tooling.signing")
TOOLING_ENV = {"PYTHONPATH": str(SOURCE)}
PUBLISHER = paths.win_build_dir() / "signing" / "publisher"
DEMO_PACKAGE = paths.win_build_dir() / "products" / "demo" / "CorvellVesk5.msi"
DEMO_DESCRIPTION = SOURCE / "products" / "demo" / "product.ini"
NOTES_PACKAGE = paths.win_build_dir() / "tests" / "windows" / "notes" / "TallowNotes2.msi"
# The tests' second product as a download: its package goes to the server, signed.
WEB_NOTES = """; Tallow Notes 2 from the web
[settings]
PRODUCTNAME = Tallow Notes
DATABASE = TallowNotes2.msi
BASEURL = https://downloads.tallow.example/notes

[feature-selection]
features = NotesCore

[prerequisites]
runtime = off
xmlparser = off

[build]
x64 = on

[upload]
package = {package}
"""
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


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ReleaseKeys:
    """Keys a release engineer brings, made here: a code-signing certificate from a CA of their
    own (not the build's test publisher), and a certificate that may only stamp time."""

    def __init__(self, folder: Path):
        folder.mkdir()
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                "/CN=Release Test Root", "-keyout", "root.key", "-out", "root.pem",
                "-addext", "basicConstraints=critical,CA:TRUE", cwd=folder)
        for name, usage in (("publisher", "codeSigning"), ("clock", "timeStamping")):
            (folder / f"{name}.ext").write_text("basicConstraints=critical,CA:FALSE\n"
                                                "keyUsage=critical,digitalSignature\n"
                                                f"extendedKeyUsage={usage}\n")
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN=Release Test {name}",
                    "-keyout", f"{name}.key", "-out", f"{name}.csr", cwd=folder)
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "root.pem", "-CAkey",
                    "root.key", "-CAcreateserial", "-days", "30", "-extfile", f"{name}.ext",
                    "-out", f"{name}.pem", cwd=folder)
            (folder / f"{name}-chain.pem").write_text((folder / f"{name}.pem").read_text()
                                                     + (folder / "root.pem").read_text())
        self.chain, self.key = folder / "publisher-chain.pem", folder / "publisher.key"
        self.clock_chain, self.clock_key = folder / "clock-chain.pem", folder / "clock.key"


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

    def test_deployment_says_when_the_feature_selection_applies(self):
        # Only with the distributor's file: beside setup.exe, or for a download in the current
        # folder; without a selection the file is never read.
        for variant, where, selection in (
                ("setup-notes", "OEM\\Feature.ini beside setup.exe",
                 "ALLDRIVERS=<include|exclude> ADDLOCAL=NotesCore,NotesHelp[,Dictionaries,"
                 "<include>...] NOTES_TOUR=0 [<EXCLUDE>=exclude...]"),
                ("setup-download", "Feature.ini in the current folder of setup.exe's process",
                 None),
                ("setup-notes-nofeatures", None, None)):
            with self.subTest(variant):
                report = json.loads(inspect("--json", artifact(f"{variant}.exe")).stdout)
                found = report["deployment"]["feature_selection"]
                self.assertEqual(where, found["file"])
                if selection:
                    self.assertEqual(selection, found["selection"])
                self.assertIn("the package's default features", found["without_file"])
        self.assertIn("\n  Features      with OEM\\Feature.ini beside setup.exe, a first "
                      "installation (no reinstall upgrade, /a or /x) asks for\n",
                      inspect(artifact("setup-notes.exe")).stdout)

    def test_against_shows_only_what_differs_and_the_upgrade_path(self):
        same = "upgrade path from the old build: the same package: "
        for new, old, expected in (
                ("setup", "setup-noprops", "setting PROPERTIES: (none) -> MSI_VIA_EXE=true\n"
                 + same),
                ("setup-notes", "setup-notes-nofeatures",
                 "[feature-selection] drivers: (none) -> Dictionaries\n"
                 "[feature-selection] features: (none) -> NotesCore,NotesHelp\n"
                 "[feature-selection] properties: (none) -> NOTES_TOUR=0\n" + same),
                ("setup-v510", "setup", "upgrade path from the old build: reinstall upgrade: "
                 "the same ProductCode in another version, so setup.exe passes REINSTALL=ALL"),
                ("setup-notes", "setup", "upgrade path from the old build: an unrelated product"),
                ("setup", "setup", "identical: the same file\n")):
            with self.subTest(new=new, old=old):
                done = inspect(artifact(f"{new}.exe"), "--against", artifact(f"{old}.exe"))
                self.assertEqual(0, done.returncode, done.stderr)
                self.assertIn(expected, done.stdout)
                self.assertEqual(1, done.stdout.count("upgrade path") + done.stdout.count(
                    "identical"), done.stdout)

    def test_json_follows_its_schema(self):
        import jsonschema
        schema = json.loads((SOURCE / "docs" / "inspect-report.schema.json").read_text())
        for args in (["setup.exe"], ["setup-download.exe"], ["setup-notapackage.exe"],
                     ["setup-unsigned.exe"], ["setup-v510.exe", "--against", "setup.exe"]):
            with self.subTest(" ".join(args)):
                done = inspect("--json", *[artifact(a) if a.endswith(".exe") else a
                                           for a in args])
                jsonschema.validate(json.loads(done.stdout), schema)

    def test_exit_code_says_whether_the_file_is_a_sound_setup(self):
        # 2: no setup.exe of this project; 1: one whose stored settings break the description's
        # rules, found by the same check the build runs on descriptions.
        for path, code, said in (
                (SOURCE / "README.md", 2, str(SOURCE / "README.md")),
                (trust_file("signed.exe"), 2, str(trust_file("signed.exe"))),
                (artifact("setup-min3x.exe"), 1,
                 "setup-min3x.exe: error: MINIMUM_MSI = 3x is not a Windows Installer version "
                 "the program accepts"),
                # One sentence, none of msiinfo's own messages.
                (artifact("setup-notapackage.exe"), 1,
                 "setup-notapackage.exe: error: payload 1004 is not a Windows Installer package: "
                 "msiinfo cannot read it as a Windows Installer package\n")):
            with self.subTest(path.name):
                done = inspect("--quiet", path)
                self.assertEqual(code, done.returncode, done.stdout + done.stderr)
                self.assertNotIn("**", done.stdout + done.stderr)
                self.assertIn(said, done.stdout + done.stderr)

    def test_upload_package_is_written_signed_and_checked(self):
        # setup-download fetches its package from BASEURL: the package for its server must carry
        # setup.exe's signer, as the build's own upload step writes it.
        setup = artifact("setup-download.exe")
        with tempfile.TemporaryDirectory() as scratch:
            details = Path(scratch) / "signing.json"
            details.write_text(json.dumps({"upload_package": str(DEMO_PACKAGE)}))
            # What an earlier description left in the folder does not stay to be uploaded.
            (Path(scratch) / "upload").mkdir()
            (Path(scratch) / "upload" / "Earlier.msi").write_bytes(b"stale")
            done = run([sys.executable, *SIGNING, "upload", "--cert", PUBLISHER / "chain.pem",
                        "--key", PUBLISHER / "key.pem", "--details", details, "--setup", setup,
                        "--to", Path(scratch) / "upload"], env={**os.environ, **TOOLING_ENV})
            self.assertEqual(0, done.returncode, done.stderr)
            written = Path(scratch) / "upload" / "CorvellVesk5.msi"
            self.assertEqual(["CorvellVesk5.msi"],
                             [p.name for p in (Path(scratch) / "upload").iterdir()])
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


class ReleaseGateTest(unittest.TestCase):
    """inspect --release fails, with one sentence each, on what makes a setup.exe unfit to
    ship; plain inspect says the same as a warning; a release-signed good build passes."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = Path(tempfile.mkdtemp(prefix="gate-"))
        cls.addClassCleanup(shutil.rmtree, cls.scratch, True)
        cls.keys = ReleaseKeys(cls.scratch / "keys")
        cls.authority = TimestampAuthority(cls.scratch / "tsa")
        cls.addClassCleanup(cls.authority.stop)

    def resigned(self, variant: str, name: str, *signer) -> Path:
        """A built variant with its test signature taken off and signed again."""
        target = self.scratch / f"{name}.exe"
        done = run(["osslsigncode", "remove-signature", "-in", artifact(f"{variant}.exe"),
                    "-out", target])
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        done = run(["osslsigncode", "sign", "-h", "sha256", *signer, "-in", target,
                    "-out", target.with_suffix(".signed")])
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        return target.with_suffix(".signed")

    def test_each_unfit_case_fails_the_gate(self):
        keys = self.keys
        clock = self.resigned("setup-notes", "clock", "-certs", keys.clock_chain, "-key",
                              keys.clock_key, "-ts", self.authority.url)
        untimed = self.resigned("setup-notes", "untimed", "-certs", keys.chain, "-key", keys.key)
        cases = [
            ("the build's test publisher", artifact("setup-notes.exe"),
             "setup.exe is signed by the build's test publisher (CN=Bootstrapper Test "
             "Publisher), which no customer's machine trusts"),
            ("a certificate that may not sign code", clock,
             "the signing certificate CN=Release Test clock may not sign code (it is issued for "
             "Time Stamping): Windows refuses the signature"),
            ("no timestamp", untimed, "the signature has no timestamp: it stops verifying when "
                                      "the certificate expires"),
            ("a stand-in payload", artifact("setup.exe"),
             'payload 90 (C++ runtime redistributable) is the test bed\'s "C++ runtime '
             'stand-in" by Bootstrapper test bed, not the vendor\'s file'),
            ("a version the package does not install", artifact("setup-notes-v22.exe"),
             "the version resource says ProductVersion 2.2.0, but the package installs 2.1.0"),
            ("the logs left behind on uninstall", artifact("setup.exe"),
             "the package does not remove Corvell Vesk.log on uninstall"),
            ("no install folder for the logs", artifact("setup-failure.exe"),
             "the package does not set ARPINSTALLLOCATION before RegisterProduct"),
            ("no settings file for /w", artifact("setup-failure.exe"),
             "the package installs no VeskFailure.ini when given WRITE_INI_FILE=true"),
        ]
        for name, setup, sentence in cases:
            with self.subTest(name):
                done = inspect("--release", "--quiet", setup)
                self.assertEqual(1, done.returncode, done.stdout + done.stderr)
                self.assertIn(f"{setup}: error: {sentence}", done.stdout)
                plain = inspect("--quiet", setup)
                self.assertIn(f"{setup}: warning: {sentence}", plain.stdout)

    def test_a_release_signed_good_build_passes(self):
        keys = self.keys
        setup = self.resigned("setup-notes", "release", "-certs", keys.chain, "-key", keys.key,
                              "-ts", self.authority.url)
        done = inspect("--release", "--quiet", setup)
        self.assertEqual((0, ""), (done.returncode, done.stdout), done.stderr)
        # The same bytes as the build made, but for the signature.
        done = inspect(setup, "--against", artifact("setup-notes.exe"))
        self.assertTrue(done.stdout.startswith("identical before signing: only the signatures "
                                               "differ\n"), done.stdout)


class ProductTreeTest(unittest.TestCase):
    """A release engineer's tree, built by the one documented command with the build's own test
    signing: the demo and a download product that asks for a 64-bit setup.exe, its description
    saved as UTF-16 and named with dots. Every file they ask for is there, and the 64-bit
    setup.exe passes the check against the package for the server that the 32-bit tree signed.
    Two builds of one commit give the same setup.exe but for its signature: the demo's, in this
    tree with a test publisher of its own, is the test build's but for its signature."""

    def test_the_documented_command_builds_every_file_asked_for(self):
        with tempfile.TemporaryDirectory() as scratch:
            web = Path(scratch) / "notes-web-2.1.ini"
            web.write_text(WEB_NOTES.format(package=NOTES_PACKAGE), encoding="utf-16")
            build = Path(scratch) / "build"
            configure = run(["cmake", "-S", SOURCE, "-B", build, "-DBOOTSTRAPPER_BUILD_TESTS=OFF",
                             f"-DBOOTSTRAPPER_PRODUCT={DEMO_DESCRIPTION};{web}"])
            self.assertEqual(0, configure.returncode, configure.stdout + configure.stderr)
            built = run(["cmake", "--build", build, "--target", "products", "-j2"])
            self.assertEqual(0, built.returncode, built.stdout[-3000:] + built.stderr)
            out = build / "out"
            self.assertEqual(["demo/setup.exe", "demo/x64/setup.exe", "notes-web-2.1/setup.exe",
                              "notes-web-2.1/upload/TallowNotes2.msi",
                              "notes-web-2.1/x64/setup.exe"],
                             sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file()))
            for flavour in ("", "x64"):
                with self.subTest(flavour or "x86"):
                    setup = out / "notes-web-2.1" / flavour / "setup.exe"
                    done = inspect("--json", setup)
                    self.assertEqual(0, done.returncode, done.stdout + done.stderr)
                    report = json.loads(done.stdout)
                    self.assertTrue(report["upload"]["same_signer"], report["findings"])
                    self.assertEqual("Tallow Notes 2", report["sections"]["version"]["ProductName"])
            second = out / "demo" / ("x64" if flavours.current() == flavours.X64 else "") / \
                "setup.exe"
            done = inspect(second, "--against", artifact("setup.exe"))
            self.assertTrue(done.stdout.startswith("identical before signing"), done.stdout)


class ShipTest(unittest.TestCase):
    """What ships goes into the output folder only once it is signed and has passed inspect's
    checks; what fails is not written and takes the earlier file of its name with it."""

    def test_only_what_passes_is_written(self):
        with tempfile.TemporaryDirectory() as scratch:
            image = Path(scratch) / "image" / "setup.exe"
            image.parent.mkdir()
            shutil.copyfile(artifact("setup-unsigned.exe"), image)
            details = Path(scratch) / "signing.json"
            details.write_text(json.dumps({"description": "Corvell Vesk 5 Setup"}))
            target = Path(scratch) / "out" / "demo" / "setup.exe"
            target.parent.mkdir(parents=True)
            target.write_bytes(b"what an earlier build wrote")

            def ship(*options):
                return run([sys.executable, "-m", "tooling.ship", "--cert", PUBLISHER / "chain.pem",
                            "--key", PUBLISHER / "key.pem", "--details", details, "--image", image,
                            "--to", target, *options], env={**os.environ, **TOOLING_ENV})
            # The release gate refuses the build's test publisher.
            done = ship("--release")
            self.assertEqual(1, done.returncode, done.stdout + done.stderr)
            self.assertIn(f"{target}: error: setup.exe is signed by the build's test publisher",
                          done.stdout)
            self.assertIn(f"{target}: error: not written: it did not pass the checks above",
                          done.stderr)
            self.assertEqual([], list(target.parent.iterdir()))
            done = ship()
            self.assertEqual(0, done.returncode, done.stdout + done.stderr)
            self.assertEqual(["setup.exe"], [p.name for p in target.parent.iterdir()])
            signature = json.loads(inspect("--json", target).stdout)["signature"]
            self.assertEqual(("CN=Bootstrapper Test Publisher", "Corvell Vesk 5 Setup", True),
                             (signature["signer"], signature["description"],
                              signature["digest_matches"]))


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
            release = ReleaseKeys(Path(scratch) / "release")
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
                ("certificate that may not sign code",
                 {"SIGNING_CERT": release.clock_chain, "SIGNING_KEY": release.clock_key},
                 "The signing certificate CN=Release Test clock may not sign code (it is issued "
                 "for Time Stamping)"),
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
