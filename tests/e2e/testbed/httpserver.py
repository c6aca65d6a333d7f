"""A small HTTP server on 127.0.0.1 for download tests.

It serves files from a dict or a folder, counts requests, always sends Content-Length, and can be
told to serve slowly (a pause after every chunk), to stall after a number of bytes until the test
releases it (or, for every transfer, until a file appears: one that the harness makes once it has
recorded a text of the program's window), or to refuse connections altogether. It listens on the
loopback address only, ends with the test (or after ten minutes at the latest), and every wait
inside it is cut short when it stops.
"""

import http.server
import socket
import threading
import urllib.parse
from pathlib import Path
from typing import Dict, List, Optional, Tuple, Union

_HOST = "127.0.0.1"
_SOCKET_TIMEOUT = 30.0
_MAX_LIFETIME = 600.0  # seconds; a server that a test forgot stops by itself


class _Handler(http.server.BaseHTTPRequestHandler):
    # One request per connection keeps every handler thread short-lived.
    protocol_version = "HTTP/1.0"
    server: "_Server"

    def log_message(self, format, *args):  # noqa: A002 - the base class's signature
        pass

    def setup(self):
        super().setup()
        self.connection.settimeout(_SOCKET_TIMEOUT)

    def do_HEAD(self):
        self._answer(send_body=False)

    def do_GET(self):
        self._answer(send_body=True)

    def _answer(self, send_body: bool):
        owner = self.server.owner
        path = urllib.parse.urlsplit(self.path).path
        owner._note(self.command, path, dict(self.headers.items()))
        body = owner._content(path)
        status = 200 if body is not None else 404
        if body is None:
            body = b"not found\n"
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-cache")
        for name, value in owner.headers.items():
            self.send_header(name, value)
        self.end_headers()
        if not send_body:
            return
        sent = 0
        try:
            while sent < len(body):
                if owner.stall_after is not None and sent >= owner.stall_after:
                    # Held here until the test releases the transfer or the server stops.
                    owner._stalled.set()
                    owner._wait_for_release()
                    if owner._stopping.is_set():
                        return
                chunk = body[sent:sent + owner.chunk_size]
                if owner.stall_after is not None and sent < owner.stall_after:
                    chunk = chunk[:owner.stall_after - sent]
                self.wfile.write(chunk)
                self.wfile.flush()
                sent += len(chunk)
                owner._add_bytes(len(chunk))
                if owner.delay_per_chunk and sent < len(body):
                    if owner._stopping.wait(owner.delay_per_chunk):
                        return
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            owner._note_abort(path)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    owner: "HttpServer"


class HttpServer:
    """Serves `files` ({"/name": bytes, or a list of bodies for successive requests}) and, for
    other paths, files under `folder`."""

    def __init__(self, files: Optional[Dict[str, bytes]] = None,
                 folder: Optional[Union[str, Path]] = None, chunk_size: int = 64 * 1024,
                 delay_per_chunk: float = 0.0, stall_after: Optional[int] = None,
                 refuse: bool = False, headers: Optional[Dict[str, str]] = None, port: int = 0,
                 release_file: Optional[Path] = None):
        self.files: Dict[str, bytes] = dict(files or {})
        self.folder = Path(folder) if folder else None
        self.chunk_size = chunk_size
        self.delay_per_chunk = delay_per_chunk
        self.stall_after = stall_after
        self.release_file = Path(release_file) if release_file else None
        self.refuse = refuse
        self.headers: Dict[str, str] = dict(headers or {})
        self.requests: List[Tuple[str, str, Dict[str, str]]] = []
        self.aborted: List[str] = []
        self.bytes_sent = 0
        # 0 takes a free port; a program whose URL was fixed at build time needs its own.
        self.requested_port = port
        self.port: Optional[int] = None
        self._lock = threading.Condition()
        self._stopping = threading.Event()
        self._release = threading.Event()
        self._stalled = threading.Event()
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None
        self._refusing: Optional[socket.socket] = None
        self._lifetime: Optional[threading.Timer] = None

    # ---------------------------------------------------------------- lifetime

    def start(self) -> "HttpServer":
        if self.refuse:
            # A bound socket that never listens: the port stays ours and every connection to
            # it is refused.
            self._refusing = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            # Like the serving socket: a fixed port may still hold connections of an earlier
            # server in TIME_WAIT.
            self._refusing.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._refusing.bind((_HOST, self.requested_port))
            self.port = self._refusing.getsockname()[1]
        else:
            self._server = _Server((_HOST, self.requested_port), _Handler)
            self._server.owner = self
            self.port = self._server.server_address[1]
            self._thread = threading.Thread(target=self._server.serve_forever,
                                            kwargs={"poll_interval": 0.1}, daemon=True)
            self._thread.start()
        self._lifetime = threading.Timer(_MAX_LIFETIME, self.stop)
        self._lifetime.daemon = True
        self._lifetime.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        self._release.set()
        if self._lifetime:
            self._lifetime.cancel()
        if self._server:
            server, self._server = self._server, None
            if threading.current_thread() is not self._thread:
                server.shutdown()
            server.server_close()
        if self._refusing:
            self._refusing.close()
            self._refusing = None

    def __enter__(self) -> "HttpServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ---------------------------------------------------------------- for the test

    @property
    def base_url(self) -> str:
        return f"http://{_HOST}:{self.port}/"

    def url(self, path: str) -> str:
        return self.base_url + path.lstrip("/")

    def release(self) -> None:
        """Lets a transfer held by `stall_after` go on."""
        self._release.set()

    def wait_stalled(self, timeout: float = 30.0) -> bool:
        """Waits until a transfer is held at `stall_after`; returns whether it happened."""
        return self._stalled.wait(timeout)

    def count(self, path: Optional[str] = None, method: Optional[str] = None) -> int:
        with self._lock:
            return sum(1 for m, p, _ in self.requests
                       if (path is None or p == path) and (method is None or m == method))

    # ---------------------------------------------------------------- for the handler

    def _wait_for_release(self) -> None:
        if self.release_file is None:
            self._release.wait(_MAX_LIFETIME)
            return
        # A file's appearance signals nobody: it is looked for every few milliseconds.
        for _ in range(int(_MAX_LIFETIME / 0.02)):
            if self.release_file.exists() or self._stopping.wait(0.02):
                return

    def _note(self, method: str, path: str, headers: Dict[str, str]) -> None:
        with self._lock:
            self.requests.append((method, path, headers))
            self._lock.notify_all()

    def _note_abort(self, path: str) -> None:
        with self._lock:
            self.aborted.append(path)

    def _add_bytes(self, n: int) -> None:
        with self._lock:
            self.bytes_sent += n

    def _content(self, path: str) -> Optional[bytes]:
        if path in self.files:
            body = self.files[path]
            if isinstance(body, list):
                # A list answers request n with its n-th body, and every later one with its last.
                with self._lock:
                    served = sum(1 for m, p, _ in self.requests if p == path and m == "GET")
                return body[min(max(served - 1, 0), len(body) - 1)]
            return body
        if self.folder:
            candidate = (self.folder / urllib.parse.unquote(path).lstrip("/")).resolve()
            # Only files below the folder are served.
            if self.folder.resolve() in candidate.parents and candidate.is_file():
                return candidate.read_bytes()
        return None
