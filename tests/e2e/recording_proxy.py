"""A small recording HTTP proxy on 127.0.0.1 for the proxy tests: plain forwarding of
absolute-URI requests and CONNECT tunnels, with every request head recorded."""

from __future__ import annotations

import base64
import select
import socket
import socketserver
import threading
from dataclasses import dataclass
from urllib.parse import urlsplit


@dataclass
class ProxyRequest:
    method: str
    target: str  # the absolute URI, or host:port for CONNECT
    headers: dict  # lower-case names -> value


def _read_head(sock: socket.socket) -> tuple[bytes, bytes] | None:
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head, rest


def _pipe(a: socket.socket, b: socket.socket) -> None:
    sockets = [a, b]
    while True:
        readable, _, _ = select.select(sockets, [], [], 30)
        if not readable:
            return
        for s in readable:
            data = s.recv(65536)
            if not data:
                return
            (b if s is a else a).sendall(data)


class RecordingProxy:
    def __init__(self, credentials: tuple[str, str] | None = None):
        self.credentials = credentials  # when set, requests without them get 407
        self.requests: list[ProxyRequest] = []
        self.lock = threading.Lock()
        self.server: socketserver.ThreadingTCPServer | None = None

    def start(self) -> "RecordingProxy":
        proxy = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                proxy._handle(self.request)

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True).start()
        return self

    def stop(self) -> None:
        if self.server:
            self.server.shutdown()
            self.server.server_close()

    @property
    def port(self) -> int:
        return self.server.server_address[1]

    @property
    def address(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def _authorized(self, headers: dict) -> bool:
        if self.credentials is None:
            return True
        expected = base64.b64encode(":".join(self.credentials).encode()).decode()
        return headers.get("proxy-authorization") == f"Basic {expected}"

    def _handle(self, client: socket.socket) -> None:
        got = _read_head(client)
        if got is None:
            return
        head, rest = got
        lines = head.decode("latin-1").split("\r\n")
        method, target, _ = lines[0].split(" ", 2)
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        with self.lock:
            self.requests.append(ProxyRequest(method, target, headers))

        if not self._authorized(headers):
            client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                           b"Proxy-Authenticate: Basic realm=\"test\"\r\n"
                           b"Content-Length: 0\r\nConnection: close\r\n\r\n")
            return

        if method == "CONNECT":
            host, _, port = target.rpartition(":")
            upstream = socket.create_connection((host, int(port)))
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            if rest:
                upstream.sendall(rest)
            with upstream:
                _pipe(client, upstream)
            return

        # Plain forwarding: one request per client connection, then both sides close.
        url = urlsplit(target)
        path = url.path + ("?" + url.query if url.query else "")
        length = int(headers.get("content-length") or 0)
        while len(rest) < length:
            chunk = client.recv(65536)
            if not chunk:
                break
            rest += chunk
        forwarded = [f"{method} {path} HTTP/1.1"]
        for line in lines[1:]:
            name = line.partition(":")[0].strip().lower()
            if name.startswith("proxy-") or name == "connection":
                continue
            forwarded.append(line)
        forwarded.append("Connection: close")
        upstream = socket.create_connection((url.hostname, url.port or 80))
        with upstream:
            upstream.sendall(("\r\n".join(forwarded) + "\r\n\r\n").encode("latin-1") + rest)
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                client.sendall(data)
