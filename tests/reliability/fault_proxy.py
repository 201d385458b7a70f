"""A loopback TCP proxy in front of the local service that holds back answers or cuts requests off.

The request layer opens one connection per request, so the proxy decides per
connection, from the request line (for example "POST /v1/sdk/.../upload HTTP/1.1"):

- `hold_answers(pattern, seconds)`: the service's answer to a matching request is
  held back that long before it is passed on (a service that answers after the
  client's time-out);
- `cut_requests(pattern, after_bytes)`: once that many bytes of a matching request
  have reached the service, both connections are reset (a connection lost in the
  middle of an upload).
"""

from __future__ import annotations

import contextlib
import re
import selectors
import socket
import struct
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass

_CHUNK = 64 * 1024


@dataclass(frozen=True)
class _Rule:
    pattern: re.Pattern[str]
    value: float


def _reset(connection: socket.socket) -> None:
    # SO_LINGER 0: close sends a reset, as a dropped connection would, not an orderly end.
    with contextlib.suppress(OSError):
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


class FaultProxy:
    def __init__(self, upstream_url: str) -> None:
        host, port = upstream_url.removeprefix("http://").rstrip("/").split(":")
        self._upstream = (host, int(port))
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self._listener.getsockname()[1]}"
        self._hold: _Rule | None = None
        self._cut: _Rule | None = None
        self.request_lines: list[str] = []
        self._threads: list[threading.Thread] = []
        self._connections: list[socket.socket] = []
        self._closed = False
        self._acceptor = threading.Thread(target=self._accept, daemon=True)
        self._acceptor.start()

    def hold_answers(self, pattern: str, seconds: float) -> None:
        self._hold = _Rule(re.compile(pattern), seconds)

    def cut_requests(self, pattern: str, after_bytes: int) -> None:
        self._cut = _Rule(re.compile(pattern), after_bytes)

    def close(self) -> None:
        self._closed = True
        # shutdown wakes the acceptor's accept(); close alone does not.
        with contextlib.suppress(OSError):
            self._listener.shutdown(socket.SHUT_RDWR)
        self._listener.close()
        self._acceptor.join(timeout=5)
        # Wake the connections still open (a kept-alive one waits for the service's idle time-out).
        for connection in self._connections:
            with contextlib.suppress(OSError):
                connection.shutdown(socket.SHUT_RDWR)
        for thread in self._threads:
            thread.join(timeout=30)

    def _accept(self) -> None:
        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            thread = threading.Thread(target=self._serve, args=(client,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, client: socket.socket) -> None:
        upstream = socket.create_connection(self._upstream)
        self._connections += (client, upstream)
        try:
            head = self._read_request_line(client)
            line = head.split(b"\r\n", 1)[0].decode("latin-1")
            self.request_lines.append(line)
            hold = self._hold.value if self._hold and self._hold.pattern.search(line) else 0.0
            cut = int(self._cut.value) if self._cut and self._cut.pattern.search(line) else None
            self._pump(client, upstream, head, hold, cut)
        except OSError:
            pass
        finally:
            _reset(client)
            _reset(upstream)

    @staticmethod
    def _read_request_line(client: socket.socket) -> bytes:
        head = b""
        while b"\r\n" not in head:
            chunk = client.recv(_CHUNK)
            if not chunk:
                break
            head += chunk
        return head

    def _pump(
        self, client: socket.socket, upstream: socket.socket, head: bytes, hold: float, cut: int | None
    ) -> None:
        sent = 0

        def forward_request(data: bytes) -> bool:
            """Pass request bytes on; False once the cut is reached."""
            nonlocal sent
            if cut is not None and sent + len(data) >= cut:
                upstream.sendall(data[: cut - sent])
                # Let the service read what arrived before the connection drops.
                time.sleep(0.2)
                return False
            upstream.sendall(data)
            sent += len(data)
            return True

        if not forward_request(head):
            return
        with selectors.DefaultSelector() as selector:
            selector.register(client, selectors.EVENT_READ)
            selector.register(upstream, selectors.EVENT_READ)
            while True:
                for key, _ in selector.select(timeout=60):
                    data = key.fileobj.recv(_CHUNK)  # type: ignore[union-attr]
                    if not data:
                        return
                    if key.fileobj is client:
                        if not forward_request(data):
                            return
                        continue
                    if hold:
                        time.sleep(hold)
                        hold = 0.0
                    client.sendall(data)


@contextlib.contextmanager
def fault_proxy(upstream_url: str) -> Iterator[FaultProxy]:
    proxy = FaultProxy(upstream_url)
    try:
        yield proxy
    finally:
        proxy.close()
