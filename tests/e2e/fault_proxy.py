"""A TCP proxy on 127.0.0.1 between a client and the emulator that breaks an
exchange the way a network does: after the service has received the request
and answered it, so that whatever the request asked for has been done.

``FaultProxy(upstream_url, {"POST": ["reset"]})`` passes every request on and
every answer back, except that the first POST gets the fault "reset"; later
POSTs, and every GET, pass. Faults, each applied once the service's whole
answer has come back to the proxy:

- ``reset``: the client's connection is reset (TCP RST), the answer dropped;
- ``close``: the client's connection is closed without an answer;
- ``stall``: the answer is held back until the client gives up and closes;
- ``Answer(body, status, content_type)``: that answer is given instead of the
  service's.

``proxy.seen`` lists ``(method, path, fault)`` for each request, oldest first.
Requests and answers must carry their length (Content-Length), as those of
the SDK's clients and of the emulator do.
"""

from __future__ import annotations

import socket
import struct
import threading
from dataclasses import dataclass
from urllib.parse import urlsplit


@dataclass(frozen=True)
class Answer:
    body: bytes | str
    status: int = 200
    content_type: str = "application/json"

    def message(self) -> bytes:
        body = self.body.encode() if isinstance(self.body, str) else self.body
        head = "HTTP/1.1 %d Answer\r\ncontent-type: %s\r\ncontent-length: %d\r\n\r\n" % (
            self.status, self.content_type, len(body))
        return head.encode() + body


class FaultProxy:
    def __init__(self, upstream_url: str, plan: dict[str, list[str | Answer | None]]):
        parts = urlsplit(upstream_url)
        self.upstream = (parts.hostname, parts.port)
        self.plan = {method: list(faults) for method, faults in plan.items()}
        self.seen: list[tuple[str, str, str | Answer | None]] = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.05)
        self.url = "http://127.0.0.1:%d" % self._listener.getsockname()[1]
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def close(self) -> None:
        self._stop.set()
        for thread in list(self._threads):
            thread.join(5)
        self._listener.close()

    def __enter__(self) -> FaultProxy:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _next_fault(self, method: str, path: str) -> str | Answer | None:
        with self._lock:
            faults = self.plan.get(method, [])
            fault = faults.pop(0) if faults else None
            self.seen.append((method, path, fault))
            return fault

    def _accept(self) -> None:
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            thread = threading.Thread(target=self._serve, args=(client,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, client: socket.socket) -> None:
        upstream = socket.create_connection(self.upstream)
        from_client, from_upstream = client.makefile("rb"), upstream.makefile("rb")
        fault = None
        try:
            while not self._stop.is_set():
                request = _read_message(from_client)
                if request is None:
                    return
                method, path = request.split(b" ", 2)[:2]
                fault = self._next_fault(method.decode(), path.decode())
                upstream.sendall(request)
                answer = _read_message(from_upstream)
                if fault is None or isinstance(fault, Answer):
                    client.sendall(answer if fault is None else fault.message())
                    continue
                if fault == "stall":
                    self._hold(client)
                return
        finally:
            from_client.close()
            from_upstream.close()
            upstream.close()
            if fault == "reset":
                # Closing with a zero linger time sends RST instead of FIN.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            client.close()

    def _hold(self, client: socket.socket) -> None:
        """Waits, answering nothing, until the client closes its end."""
        client.settimeout(0.05)
        while not self._stop.is_set():
            try:
                if not client.recv(4096):
                    return
            except TimeoutError:
                continue
            except OSError:
                return


def _read_message(stream) -> bytes | None:
    """One HTTP/1.1 message (head and body) from a buffered socket reader, or
    None when the peer closed the connection between messages."""
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        line = stream.readline()
        if not line:
            if head:
                raise ConnectionError("connection closed inside a message head")
            return None
        head += line
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
        if name.strip().lower() == b"transfer-encoding":
            raise ValueError("the fault proxy passes only messages with a Content-Length")
    return head + stream.read(length)
