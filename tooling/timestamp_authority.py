"""A local RFC 3161 timestamp authority, for dry runs of a release build: it answers on
127.0.0.1 with `openssl ts -reply`, with a time-stamping certificate issued by a root of its own.
A signature it stamps verifies against that root only (osslsigncode verify -TSA-CAfile), so it is
for trying the release procedure, never for what ships.

    python3 -m tooling.timestamp_authority [--port PORT] [--folder DIR]

prints its URL (give it as BOOTSTRAPPER_TIMESTAMP_URL) and the root certificate's path, and
answers until it is stopped (Ctrl-C). Without --folder its keys live in a temporary folder that
goes with it. Needs openssl. Standard library only."""

import argparse
import http.server
import subprocess
import sys
import tempfile
import threading
from pathlib import Path


def _openssl(*args, cwd: Path) -> None:
    done = subprocess.run(["openssl", *map(str, args)], cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(map(str, args))}: {done.stderr}")


class TimestampAuthority:
    """An authority on 127.0.0.1: its root is `folder`/root.pem, its URL `url`."""

    def __init__(self, folder: Path, port: int = 0):
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        if not (folder / "tsa.cnf").exists():
            self._make_keys()
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

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self.root = folder / "root.pem"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def _make_keys(self) -> None:
        folder = self.folder
        (folder / "tsa.ext").write_text("basicConstraints=critical,CA:FALSE\n"
                                        "keyUsage=critical,digitalSignature\n"
                                        "extendedKeyUsage=critical,timeStamping\n")
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                 "/CN=Release Test TSA Root", "-keyout", "root.key", "-out", "root.pem",
                 "-addext", "basicConstraints=critical,CA:TRUE", cwd=folder)
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Release Test TSA",
                 "-keyout", "tsa.key", "-out", "tsa.csr", cwd=folder)
        _openssl("x509", "-req", "-in", "tsa.csr", "-CA", "root.pem", "-CAkey", "root.key",
                 "-CAcreateserial", "-days", "30", "-extfile", "tsa.ext", "-out", "tsa.pem",
                 cwd=folder)
        (folder / "serial").write_text("01\n")
        (folder / "tsa.cnf").write_text(
            "[tsa]\ndefault_tsa = here\n[here]\n"
            f"serial = {folder}/serial\nsigner_cert = {folder}/tsa.pem\n"
            f"signer_key = {folder}/tsa.key\ncerts = {folder}/root.pem\n"
            "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
            "ess_cert_id_alg = sha256\n")

    def answer(self, query: bytes) -> bytes:
        with tempfile.TemporaryDirectory() as scratch:
            (Path(scratch) / "query").write_bytes(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", self.folder / "tsa.cnf",
                                   "-queryfile", "query", "-out", "reply"], cwd=scratch,
                                  capture_output=True)
            return (Path(scratch) / "reply").read_bytes() if done.returncode == 0 else b""

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()


def main(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="default: a free port")
    parser.add_argument("--folder", type=Path, help="where its keys are kept")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        authority = TimestampAuthority(args.folder or Path(scratch) / "tsa", args.port)
        print(f"Timestamp authority: {authority.url}\nIts root certificate: {authority.root}",
              flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
        authority.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
