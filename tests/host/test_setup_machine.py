"""The machine set-up and its 32-bit probe, with stand-ins for apt-get, dpkg and the probe's
program first on PATH: nothing here touches the machine's packages.

The set-up gets past a package index that fails and past version skew between architectures,
installs no i386 package where 32-bit programs cannot run, and ends a failure it cannot get past
with one sentence that names the cause and the log."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
CODENAME = dict(re.findall(r'^(\w+)="?([^"\n]*)', Path("/etc/os-release").read_text(), re.M)
                ).get("VERSION_CODENAME", "")

# Each command logs its arguments to $FAKE/calls. dpkg-query answers from $FAKE/installed
# ("name:arch" lines); apt-get behaves as FAKE_UPDATE and FAKE_INSTALL say.
STANDINS = {
    "dpkg-query": """shift 2
for p; do
  awk -v p="$p" '$0 == p || index($0, p ":") == 1 { print $0 " install ok installed" }' \\
    "$FAKE/installed"
done""",
    "dpkg": 'if [ "$1" = --print-architecture ]; then echo amd64; fi',
    "sudo": 'exec "$@"',
    "sleep": ":",
    "apt-get": r"""case $1:$FAKE_UPDATE:$FAKE_INSTALL in
update:ok:*) echo "Hit:1 http://deb.debian.org/debian bookworm InRelease" ;;
update:mirror:*)
  printf '%s\n' "Hit:1 http://deb.debian.org/debian bookworm InRelease" \
    "Get:4 http://deb.debian.org/debian-security bookworm-security/main i386 Packages [25.7 kB]" \
    "Err:4 http://deb.debian.org/debian-security bookworm-security/main i386 Packages" \
    "  File has unexpected size (25700 != 25632). Mirror sync in progress? [IP: 151.101.2.132 80]" \
    "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100 ;;
update:down:*)  # apt-get exits 0 when it reaches no mirror at all
  printf '%s\n' "Err:1 http://deb.debian.org/debian bookworm InRelease" \
    "  Temporary failure resolving 'deb.debian.org'" \
    "Get:2 http://deb.debian.org/debian-security bookworm-security InRelease" \
    "Err:2 http://deb.debian.org/debian-security bookworm-security InRelease" \
    "  Connection timed out" "W: Some index files failed to download." ;;
install:*:ok) ;;
install:*:skew|install:*:broken)
  if [ "$FAKE_INSTALL:$5" = "skew:-t" ]; then exit 0; fi
  printf '%s\n' "The following packages have unmet dependencies:" \
    " libwine:i386 : Depends: libgnutls30:i386 (>= 3.7.9-2+deb12u3)" \
    "E: Unable to correct problems, you have held broken packages."
  exit 100 ;;
install:*:unknown) echo "E: Unable to locate package wine64"; exit 100 ;;
esac""",
}

ALL = ["cmake:amd64", "g++:amd64", "make:amd64", "python3:amd64", "clang:amd64",
       "libclang-rt-14-dev:amd64", "llvm:amd64", "googletest:all", "libgtest-dev:amd64",
       "g++-mingw-w64-i686:all", "g++-mingw-w64-x86-64:all", "mingw-w64-tools:amd64", "wine:all",
       "wine64:amd64", "wixl:amd64", "msitools:amd64", "osslsigncode:amd64", "openssl:amd64",
       "softhsm2:amd64", "libengine-pkcs11-openssl:amd64", "xvfb:amd64", "xauth:amd64",
       "x11-utils:amd64", "nsis:amd64"]
NO_WINE64 = [p for p in ALL if p != "wine64:amd64"]
PIN = f"apt-get install -y -q --no-install-recommends -t {CODENAME} wine64"

# (case, probe says "can", BOOTSTRAPPER_64BIT_ONLY, installed, update, install, exit status,
#  the calls made in order, what the output holds; a failure's sentence is its last line)
SETUPS = [
    ("all there on a 64-bit-only machine", False, "", ALL, "ok", "ok", 0, [],
     "cannot run 32-bit programs (probe says no); installing for the x64 flavour only"),
    ("wine32 added where it runs", True, "", ALL, "ok", "ok", 0,
     ["dpkg --add-architecture i386", "apt-get update",
      "apt-get install -y -q --no-install-recommends wine32:i386"],
     "for the x86 and x64 flavours"),
    ("the benchmark's NSIS peer added", False, "", [p for p in ALL if p != "nsis:amd64"], "ok",
     "ok", 0, ["apt-get update", "apt-get install -y -q --no-install-recommends nsis"],
     "installing nsis"),
    ("the switch keeps i386 out", True, "1", NO_WINE64, "ok", "ok", 0,
     ["apt-get update", "apt-get install -y -q --no-install-recommends wine64"],
     "BOOTSTRAPPER_64BIT_ONLY=1: installing for the x64 flavour only"),
    ("an index caught mid-sync is left out", False, "", NO_WINE64, "mirror", "ok", 0,
     ["apt-get update", "sleep 5"] * 2 + ["apt-get update",
      "apt-get install -y -q --no-install-recommends wine64"],
     "one package index did not update and is left out: http://deb.debian.org/debian-security "
     "bookworm-security/main i386 Packages (File has unexpected size (25700 != 25632). "
     "Mirror sync in progress?)"),
    ("no index reachable", False, "", NO_WINE64, "down", "ok", 1,
     ["apt-get update", "sleep 5"] * 2 + ["apt-get update"],
     "cannot install wine64: the package index is unreachable (apt-get update failed 3 times: "
     "http://deb.debian.org/debian bookworm InRelease (Temporary failure resolving "
     "'deb.debian.org')); apt's output is in "),
    ("version skew: the stable release pinned", False, "", NO_WINE64, "ok", "skew", 0,
     ["apt-get update", "apt-get install -y -q --no-install-recommends wine64", PIN],
     f"trying again with {CODENAME} pinned"),
    ("skew even when pinned", False, "", NO_WINE64, "ok", "broken", 1,
     ["apt-get update", "apt-get install -y -q --no-install-recommends wine64", PIN],
     f"cannot install wine64: the dependencies cannot be met, even with {CODENAME} pinned "
     "(Unable to correct problems, you have held broken packages); apt's output is in "),
    ("another install failure", False, "", NO_WINE64, "ok", "unknown", 1,
     ["apt-get update", "apt-get install -y -q --no-install-recommends wine64"],
     "cannot install wine64: apt-get install failed (Unable to locate package wine64); "
     "apt's output is in "),
]

# (case, the probe's program, BOOTSTRAPPER_64BIT_ONLY, binfmt_misc i386 handler, exit, output)
PROBES = [
    ("answers 42", b"#!/bin/sh\nexit 42\n", "", "disabled", 0, "a 32-bit test program ran"),
    ("answers 42 through an emulator", b"#!/bin/sh\nexit 42\n", "", "enabled", 1,
     "32-bit programs run only through the emulator /usr/bin/qemu-i386"),
    ("the switch", b"#!/bin/sh\nexit 42\n", "1", "disabled", 1, "BOOTSTRAPPER_64BIT_ONLY=1 is set"),
    ("refused by the kernel", b"\x7fELF\x05" + bytes(60), "", "disabled", 1,
     "a 32-bit test program does not start: Exec format error"),
    ("wrong answer", b"#!/bin/sh\nexit 3\n", "", "disabled", 1,
     "a 32-bit test program ended with 3 instead of 42"),
    ("no answer in time", b"#!/bin/sh\nexec sleep 30\n", "", "disabled", 1,
     "a 32-bit test program gave no answer within 1 s"),
]
I386_HANDLER = ("{}\ninterpreter /usr/bin/qemu-i386\nflags: F\noffset 0\n"
                "magic 7f454c4601010100000000000000000002000300\n"
                "mask fffffffffffefefcfffffffffffffffffeffffff\n")


def probe(commands, only64=""):
    """Runs bash commands after sourcing the probe."""
    return subprocess.run(["bash", "-c", f'. "{SCRIPTS}/runs-32bit.sh"; {commands}'],
                          env=dict(os.environ, BOOTSTRAPPER_64BIT_ONLY=only64),
                          capture_output=True, text=True, encoding="latin-1", timeout=30)


class SetupMachine(unittest.TestCase):
    def setUp(self):
        self.fake = Path(tempfile.mkdtemp(prefix="setup-machine-test."))
        self.addCleanup(shutil.rmtree, self.fake)

    def test_setups(self):
        (self.fake / "bin").mkdir()
        (self.fake / "scripts").mkdir()
        shutil.copy(SCRIPTS / "setup-machine.sh", self.fake / "scripts")
        for name, body in STANDINS.items():
            (self.fake / "bin" / name).write_text(
                f'#!/bin/bash\necho "{name} $*" >>"$FAKE/calls"\n{body}\n')
            (self.fake / "bin" / name).chmod(0o755)
        for case, can, only64, installed, update, install, status, calls, last in SETUPS:
            with self.subTest(case):
                (self.fake / "scripts" / "runs-32bit.sh").write_text(
                    f"#!/bin/sh\necho 'probe says no'\nexit {0 if can else 1}\n")
                (self.fake / "scripts" / "runs-32bit.sh").chmod(0o755)
                (self.fake / "installed").write_text("\n".join(installed) + "\n")
                (self.fake / "calls").write_text("")
                shutil.rmtree(self.fake / "tmp", ignore_errors=True)
                (self.fake / "tmp").mkdir()
                env = dict(os.environ, PATH=f"{self.fake}/bin:{os.environ['PATH']}",
                           FAKE=str(self.fake), FAKE_UPDATE=update, FAKE_INSTALL=install,
                           BOOTSTRAPPER_64BIT_ONLY=only64, TMPDIR=str(self.fake / "tmp"))
                run = subprocess.run([self.fake / "scripts" / "setup-machine.sh"], env=env,
                                     capture_output=True, text=True, timeout=60)
                made = [c for c in (self.fake / "calls").read_text().splitlines()
                        if not c.startswith(("dpkg-query", "dpkg --print"))]
                self.assertEqual((run.returncode, made), (status, calls), run.stdout + run.stderr)
                lines = run.stdout.splitlines()
                self.assertEqual(run.stderr, "")
                self.assertTrue(all(line.startswith("setup-machine: ") for line in lines), lines)
                self.assertIn(last, run.stdout)
                # The log is named by a failure and kept; a success leaves nothing behind.
                logs = list((self.fake / "tmp").iterdir())
                if status:
                    self.assertEqual(len(logs), 1)
                    self.assertTrue(lines[-1].endswith(f"{last}{logs[0]}"), lines[-1])
                    self.assertRegex(logs[0].read_text(), r"(?m)^(E: |Err:\d+ )")  # apt's errors
                else:
                    self.assertEqual(logs, [])

    def test_probe(self):
        (self.fake / "binfmt").mkdir()
        (self.fake / "binfmt" / "status").write_text("enabled\n")
        for case, program, only64, handler, status, output in PROBES:
            with self.subTest(case):
                (self.fake / "program").write_bytes(program)
                (self.fake / "binfmt" / "qemu-i386").write_text(I386_HANDLER.format(handler))
                run = probe(f'probe_timeout=1; binfmt_dir="{self.fake}/binfmt"; '
                            f'write_probe() {{ cat "{self.fake}/program"; }}; runs_32bit', only64)
                self.assertEqual((run.returncode, run.stdout, run.stderr),
                                 (status, output + "\n", ""))

    def test_probe_program(self):
        # The probe's own program is run by a kernel that takes 32-bit programs and refused by one
        # that does not; an answer other than those means its bytes are wrong.
        self.assertIn(probe("runs_32bit").stdout,
                      ["a 32-bit test program ran\n",
                       "a 32-bit test program does not start: Exec format error\n"])
        if shutil.which("qemu-i386"):
            program = self.fake / "probe"
            program.write_text(probe("write_probe").stdout, encoding="latin-1")
            program.chmod(0o755)
            self.assertEqual(subprocess.run(["qemu-i386", program]).returncode, 42)


if __name__ == "__main__":
    unittest.main()
