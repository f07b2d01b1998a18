"""``Emulator``: the service served by uvicorn in a background thread."""

from __future__ import annotations

import socket
import threading
import time
from typing import Any, Iterable

import uvicorn

from vora_emulator import simulator
from vora_emulator.app import EmulatorApp, create_app
from vora_emulator.config import EmulatorConfig, Fault
from vora_emulator.service import RequestRecord


class Emulator:
    """A running emulated service on a local port.

    ``Emulator(api_keys=["k"], seed=1)`` takes the fields of
    ``EmulatorConfig`` as keywords (or one ``config``), plus where and how to
    serve (``log_config`` is handed to uvicorn; ``None`` leaves logging
    alone). As a context manager it starts the server and yields its base URL::

        emulator = Emulator(api_keys=["k"], seed=1, counts_in="nested")
        with emulator as base_url:           # "http://127.0.0.1:PORT"
            ...
            emulator.requests                # the request log

    ``port=0`` (the default) takes a free port. ``start()`` returns once the
    server accepts requests; ``stop()`` returns once it has closed its socket
    and its thread has ended. Injected slow responses are cut short by
    ``stop()``.
    """

    def __init__(
        self,
        config: EmulatorConfig | None = None,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        log_level: str = "warning",
        access_log: bool = False,
        log_config: dict[str, Any] | None = None,
        preload: bool = True,
        **options: Any,
    ) -> None:
        self.app: EmulatorApp = create_app(config, **options)
        self.service = self.app.service
        self.config = self.service.config
        self.host = host
        self.port = port
        self.log_level = log_level
        self.access_log = access_log
        self.log_config = log_config
        self.preload = preload
        self.url: str | None = None
        self._server: uvicorn.Server | None = None
        self._thread: threading.Thread | None = None
        self._socket: socket.socket | None = None
        self._failure: BaseException | None = None

    # -- inspection --------------------------------------------------------

    @property
    def api_key(self) -> str:
        """The first accepted API key."""
        return self.config.api_keys[0]

    @property
    def requests(self) -> list[RequestRecord]:
        """A copy of the request log, oldest first."""
        return self.service.requests

    def clear_requests(self) -> None:
        self.service.clear_requests()

    def set_faults(self, faults: Iterable[Fault | str]) -> None:
        """Replace the fault rules while running; counters start from zero."""
        self.service.set_faults(list(faults))

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    # -- lifecycle ---------------------------------------------------------

    def start(self, timeout: float = 30.0) -> str:
        if self._thread is not None:
            raise RuntimeError("emulator is already running")
        if self.preload:
            simulator.preload()
        # IPPROTO_TCP explicitly: asyncio only sets TCP_NODELAY on sockets that say
        # so, and without it every keep-alive answer waits for a delayed ACK.
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((self.host, self.port))
            sock.listen(128)
        except BaseException:
            sock.close()
            raise
        config = uvicorn.Config(
            self.app,
            http="h11",
            loop="asyncio",
            lifespan="off",
            log_config=self.log_config,
            log_level=self.log_level,
            access_log=self.access_log,
            timeout_graceful_shutdown=2,
        )
        server = uvicorn.Server(config)
        self.service.open()
        self._failure = None
        self._socket, self._server = sock, server
        self._thread = threading.Thread(target=self._serve, name="vora-emulator", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + timeout
        while not server.started:
            if not self._thread.is_alive() or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("emulator did not start: %r" % (self._failure,))
            time.sleep(0.005)
        host, port = sock.getsockname()[:2]
        self.port = port
        self.url = "http://%s:%d" % (host, port)
        return self.url

    def _serve(self) -> None:
        assert self._server is not None and self._socket is not None
        try:
            self._server.run(sockets=[self._socket])
        except BaseException as exc:  # reported by start()/stop()
            self._failure = exc

    def stop(self, timeout: float = 10.0) -> None:
        thread, server, sock = self._thread, self._server, self._socket
        if thread is None or server is None:
            return
        self.service.close()
        server.should_exit = True
        thread.join(timeout)
        if thread.is_alive():
            server.force_exit = True
            thread.join(5.0)
        if sock is not None:
            sock.close()
        self._thread = self._server = self._socket = None
        if thread.is_alive():
            raise RuntimeError("emulator thread did not stop")

    def __enter__(self) -> str:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()
