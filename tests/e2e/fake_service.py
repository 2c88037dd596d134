"""A scriptable stand-in for the Dropvale service API, on 127.0.0.1.

Used in-process by the end-to-end tests (see conftest.py) and as a standalone server by
scripts/demo.sh and scripts/stand-in.sh. Every endpoint the client calls has a sensible
default reply; a test can queue scripted replies for a method and path pattern, and every
request is recorded.
"""

from __future__ import annotations

import argparse
import gzip as gzip_module
import hashlib
import json
import re
import signal
import socket
import ssl
import sys
import threading
import time
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit


@dataclass
class Request:
    method: str
    path: str  # path and query after the API prefix, as sent
    headers: dict  # lower-case names -> value
    raw_headers: list  # (name, value) as received
    body: bytes
    port: int = 0  # the server port that received it
    peer: tuple = ()  # the client's (address, port): one per TCP connection


@dataclass
class Reply:
    status: int = 200
    json: object = None
    body: bytes | None = None  # raw body; wins over json
    headers: dict = field(default_factory=dict)
    delay: float = 0.0
    drop: bool = False  # close the connection without answering
    gzip: bool = False
    close: bool = False  # close the connection after the reply (a cut body stays cut)
    times: int | None = 1  # how many requests it answers; None: every one
    raw: bytes | None = None  # written as the whole reply, then the connection is closed


def error_body(code: str, message: str) -> dict:
    return {"error": {"code": code, "message": message}}


DEFAULT_ACCOUNT = {
    "name": "Ana Pop",
    "email": "ana@example.com",
    "read_only": False,
    "plan": {"name": "Business"},
    "limits": {
        "max_transfer_size": 10737418240,
        "monthly_transfers": 100,
        "monthly_volume": 107374182400,
        "expiry_days": 30,
    },
    "usage": {"transfers_this_month": 3, "volume_this_month": 1048576},
    "features": {"password_protection": True, "preview": True, "self_destroy": False},
}


class FakeService:
    def __init__(self, prefix: str = "/api/v1"):
        self.prefix = prefix
        self.lock = threading.Lock()
        self.requests: list[Request] = []
        self.scripts: list[tuple[str, re.Pattern, Reply]] = []
        self.accounts: dict[str, dict] = {"test-key": dict(DEFAULT_ACCOUNT)}
        self.accept_any_key = False
        self.transfers: dict[int, dict] = {}
        self.chunks: dict[tuple[int, int, int], bytes] = {}
        self.next_id = 1
        # Device sign-in: how many polls answer "authorization_pending" before approval.
        self.pending_polls = 1
        self.device_interval = 0
        self.device_expires_in = 600
        self.device_token = "qec_device_token"
        self.server: ThreadingHTTPServer | None = None
        self.scheme = "http"
        self.thread: threading.Thread | None = None

    # ---- control ----------------------------------------------------------------

    def start(self, port: int = 0, tls: "ssl.SSLContext | None" = None) -> "FakeService":
        """Serves on 127.0.0.1 (a free port by default); over TLS with the given server
        context."""
        service = self

        class Handler(_Handler):
            pass

        Handler.service = service
        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        if tls is not None:
            self.server.socket = tls.wrap_socket(self.server.socket, server_side=True)
            self.scheme = "https"
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,),
                                       daemon=True)
        self.thread.start()
        return self

    def stop(self) -> None:
        if self.server:
            self.server.shutdown()
            self.server.server_close()

    @property
    def port(self) -> int:
        return self.server.server_address[1]

    @property
    def origin(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}"

    @property
    def url(self) -> str:
        return self.origin + self.prefix

    def on(self, method: str, path: str, **reply) -> Reply:
        """Queues a scripted reply for requests whose method matches and whose path (after
        the API prefix, query included) fully matches the regular expression `path`."""
        r = Reply(**reply)
        with self.lock:
            self.scripts.append((method.upper(), re.compile(path), r))
        return r

    def find(self, method: str | None = None, path: str | None = None) -> list[Request]:
        with self.lock:
            items = list(self.requests)
        return [
            r
            for r in items
            if (method is None or r.method == method.upper())
            and (path is None or re.fullmatch(path, r.path))
        ]

    def connections(self) -> int:
        """How many TCP connections the recorded requests came over."""
        with self.lock:
            return len({r.peer for r in self.requests})

    def add_transfer(self, **fields) -> dict:
        with self.lock:
            tid = fields.pop("id", None) or self.next_id
            # Dates follow today, so a transfer sent by hand never shows an expiry in the
            # past: it expires at the end of the plan's last day.
            created = datetime.now(timezone.utc)
            expires = created + timedelta(days=DEFAULT_ACCOUNT["limits"]["expiry_days"])
            self.next_id = max(self.next_id, tid + 1)
            t = {
                "id": tid,
                "status": "active",
                "title": None,
                "mode": "e2ee",
                "url": f"{self.origin}/t/{tid}",
                "created_at": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
                "expires_at": expires.strftime("%Y-%m-%dT23:59:59Z"),
                "download_count": 0,
                "files": [],
                "downloads": [],
            }
            t.update(fields)
            self.transfers[tid] = t
            return t

    def stored_file(self, transfer_id: int, file_index: int) -> bytes:
        """The bytes stored for one file: its chunks joined in chunk order."""
        with self.lock:
            parts = sorted(
                (c, data)
                for (t, f, c), data in self.chunks.items()
                if t == transfer_id and f == file_index
            )
        return b"".join(data for _, data in parts)

    # ---- request handling ---------------------------------------------------------

    def _scripted(self, method: str, path: str) -> Reply | None:
        with self.lock:
            for i, (m, pattern, reply) in enumerate(self.scripts):
                if m == method and pattern.fullmatch(path):
                    if reply.times is not None:
                        reply.times -= 1
                        if reply.times <= 0:
                            del self.scripts[i]
                    return reply
        return None

    def _account_for(self, req: Request) -> dict | None:
        auth = req.headers.get("authorization", "")
        if not auth.startswith("Bearer "):
            return None
        key = auth[len("Bearer "):]
        if key in self.accounts:
            return self.accounts[key]
        if self.accept_any_key or key == self.device_token:
            return dict(DEFAULT_ACCOUNT)
        return None

    def handle(self, req: Request) -> Reply:
        scripted = self._scripted(req.method, req.path)
        if scripted is not None:
            return scripted
        return self._default(req)

    def _default(self, req: Request) -> Reply:
        split = urlsplit(req.path)
        path, query = split.path, parse_qs(split.query)
        m, p = req.method, path

        if m == "POST" and p == "/auth/device":
            return Reply(json={
                "device_code": "dev-code-1",
                "user_code": "WXYZ-1234",
                "verification_url": f"{self.origin}/device",
                "verification_url_complete": f"{self.origin}/device?code=WXYZ-1234",
                "interval": self.device_interval,
                "expires_in": self.device_expires_in,
            })
        if m == "POST" and p == "/auth/token":
            with self.lock:
                if self.pending_polls > 0:
                    self.pending_polls -= 1
                    return Reply(status=400, json=error_body(
                        "authorization_pending", "Waiting for the user."))
            return Reply(json={"access_token": self.device_token, "token_type": "bearer"})

        account = self._account_for(req)
        if account is None:
            return Reply(status=401, json=error_body("unauthorized", "Invalid API key."))

        if m == "POST" and p == "/auth/revoke":
            return Reply(json={"revoked": True})
        if m == "GET" and p == "/me":
            return Reply(json=account)
        if m == "GET" and p == "/transfers":
            with self.lock:
                data = [
                    {k: t.get(k) for k in ("id", "status", "file_count", "total_size",
                                           "download_count", "expires_at", "title")}
                    for t in self.transfers.values()
                ]
            return Reply(json={"data": data, "total": len(data)})
        if m == "POST" and p == "/transfers":
            try:
                body = json.loads(req.body)
            except ValueError:
                return Reply(status=400, json=error_body("invalid_json", "Bad body."))
            files = body.get("files", [])
            t = self.add_transfer(
                status="pending",
                mode=body.get("mode"),
                title=body.get("title"),
                recipient_email=body.get("recipient_email"),
                files=[{"name": f.get("name"), "size": f.get("size"), "downloads": 0}
                       for f in files],
                file_count=len(files),
                total_size=sum(f.get("size", 0) for f in files),
                create_body=body,
            )
            return Reply(status=201, json={"id": t["id"], "status": "pending"})

        mt = re.fullmatch(r"/transfers/(-?\d+)(/.*)?", p)
        if mt:
            tid, rest = int(mt.group(1)), mt.group(2) or ""
            with self.lock:
                t = self.transfers.get(tid)
            if t is None:
                return Reply(status=404, json=error_body("not_found", "Transfer not found."))
            if rest == "" and m == "GET":
                return Reply(json=_public(t))
            if rest == "" and m == "DELETE":
                with self.lock:
                    self.transfers.pop(tid, None)
                return Reply(json={"deleted": True, "id": tid})
            mc = re.fullmatch(r"/files/(\d+)/chunks/(\d+)", rest)
            if mc and m == "PUT":
                digest = hashlib.sha256(req.body).hexdigest()
                if req.headers.get("x-chunk-sha256") != digest:
                    return Reply(status=409, json=error_body(
                        "checksum_mismatch", "The chunk's checksum does not match."))
                with self.lock:
                    self.chunks[(tid, int(mc.group(1)), int(mc.group(2)))] = req.body
                return Reply(json={"received": len(req.body)})
            if rest == "/finalize" and m == "POST":
                with self.lock:
                    if t["status"] != "pending":
                        return Reply(status=409, json=error_body(
                            "transfer_not_pending", "The transfer is not pending."))
                    t["status"] = "active"
                return Reply(json=_public(t))
        return Reply(status=404, json=error_body("not_found", "No such endpoint."))


def _public(t: dict) -> dict:
    return {k: v for k, v in t.items() if k != "create_body"}


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    service: FakeService

    def log_message(self, *args):  # keep test output clean
        pass

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            out = b""
            while True:
                size = int(self.rfile.readline().strip().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    return out
                out += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _serve(self):
        service = self.service
        body = self._read_body()
        path = self.path
        if path.startswith(service.prefix):
            path = path[len(service.prefix):]
        req = Request(
            method=self.command,
            path=path,
            headers={k.lower(): v for k, v in self.headers.items()},
            raw_headers=list(self.headers.items()),
            body=body,
            port=self.server.server_address[1],
            peer=tuple(self.client_address[:2]),
        )
        with service.lock:
            service.requests.append(req)
        reply = service.handle(req)
        if reply.delay:
            time.sleep(reply.delay)
        if reply.raw is not None:
            self.wfile.write(reply.raw)
            self.wfile.flush()
            self.close_connection = True
            return
        if reply.drop:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.close_connection = True
            return
        if reply.body is not None:
            payload = reply.body
        elif reply.json is not None:
            payload = json.dumps(reply.json).encode()
        else:
            payload = b""
        headers = {"Content-Type": "application/json"}
        headers.update(reply.headers)
        if reply.gzip:
            payload = gzip_module.compress(payload)
            headers["Content-Encoding"] = "gzip"
        self.send_response(reply.status)
        for name, value in headers.items():
            self.send_header(name, value)
        if not any(n.lower() == "content-length" for n in headers):
            self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)
        if reply.close:
            self.wfile.flush()
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _serve


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="write the chosen port to this file")
    args = parser.parse_args()
    service = None
    try:
        try:
            service = FakeService().start(args.port)
        except OSError as e:
            print(f"cannot listen on 127.0.0.1:{args.port}: {e.strerror}", file=sys.stderr)
            return 1
        service.device_interval = 1
        # One transfer to look at, so that a first `qel list` shows the table.
        service.add_transfer(title="Holiday photos", file_count=2, total_size=3670016,
                             download_count=1,
                             files=[{"name": "beach.jpg", "size": 2097152, "downloads": 1},
                                    {"name": "notes.txt", "size": 1572864, "downloads": 0}])
        if args.port_file:
            with open(args.port_file, "w") as f:
                f.write(str(service.port))
        print(f"Stand-in service listening on {service.url} (Ctrl-C stops it).\n"
              "In another shell, point qel at it and sign in:\n"
              "\n"
              f"  export QEL_API_URL={service.url}\n"
              "  qel login --key test-key\n"
              "\n"
              "(A plain `qel login` works too: its sign-in code is approved by itself a "
              "moment later.)", flush=True)
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        # A second Ctrl-C while stopping must not end in a traceback either.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if service is not None:
            service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
