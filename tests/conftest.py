"""Shared fixtures for the client and command-line tests.

- ``FakeClock`` stands in for the client module's ``time`` global so that
  back-off and polling never wait for real.
- ``Script`` answers requests of an ``httpx.MockTransport`` from a list.
- ``FakeHTTP`` / ``FakeResponse`` replace ``_client`` where the request routine
  is tested against objects that only quack like httpx.
- ``ServiceEmulator`` is a small threaded HTTP server on 127.0.0.1 that speaks
  the service's HTTP API: job submission, status, results, the three catalogue
  dialects and backend execution, with the API key checked on every request.
"""

from __future__ import annotations

import json
import os
import socket
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import httpx
import pytest

API_KEY = "test-key-7f3a9c"
BASE = "http://svc.test/prefix"


def compiled_docstring(raw: str | None) -> str | None:
    """The docstring that the running interpreter's compiler gives a method
    whose source holds `raw` between triple quotes (the lines after the first
    carry their indentation in the source, as `raw` does)."""
    if raw is None:
        return None
    namespace: dict[str, Any] = {}
    exec(compile(f'class C:\n    def m(self):\n        """{raw}"""\n', "<docstring>", "exec"), namespace)
    return namespace["C"].m.__doc__


# ---------------------------------------------------------------------------
# Clock


class FakeClock:
    """Replacement for the ``time`` module global: a wall clock that only moves
    when slept on (or advanced by a test), recording every sleep."""

    def __init__(self, start: float = 1_700_000_000.0) -> None:
        self.now = start
        self.sleeps: list[Any] = []
        self.reads = 0

    def time(self) -> float:
        self.reads += 1
        if self.reads > 100_000:
            raise AssertionError("the clock was read 100000 times: a wait that never ends")
        return self.now

    def sleep(self, seconds: Any) -> None:
        self.sleeps.append(seconds)
        self.now += seconds

    def advance(self, seconds: float) -> None:
        self.now += seconds


@pytest.fixture
def clock(monkeypatch):
    import zentrova_sdk.client as client_mod

    fake = FakeClock()
    monkeypatch.setattr(client_mod, "time", fake)
    return fake


@pytest.fixture
def env_key(monkeypatch):
    monkeypatch.setenv("VORA_API_KEY", API_KEY)
    return API_KEY


# ---------------------------------------------------------------------------
# MockTransport scripts


class Script:
    """Handler for ``httpx.MockTransport``. Each answer is used for one request,
    the last one for every request after it. An answer is a dict or list (status
    200 with that JSON), a ``(status, body)`` pair (JSON for dict/list bodies,
    text otherwise), an exception (raised from the transport), or a callable
    taking the request and giving one of those."""

    def __init__(self, *answers: Any) -> None:
        assert answers
        self.answers = list(answers)
        self.requests: list[httpx.Request] = []
        self.on_request = None

    def __call__(self, request: httpx.Request) -> httpx.Response:
        self.requests.append(request)
        if self.on_request is not None:
            self.on_request(request)
        answer = self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]
        if callable(answer) and not isinstance(answer, type):
            answer = answer(request)
        if isinstance(answer, BaseException):
            raise answer
        if isinstance(answer, tuple):
            status, body = answer
        else:
            status, body = 200, answer
        if isinstance(body, (dict, list)):
            return httpx.Response(status, json=body)
        return httpx.Response(status, text=body)

    @property
    def urls(self) -> list[str]:
        return [str(r.url) for r in self.requests]

    def bodies(self) -> list[Any]:
        return [json.loads(r.content) if r.content else None for r in self.requests]


@pytest.fixture
def make_client(env_key):
    """``make_client(*answers, **constructor_kwargs) -> (client, script)``: a
    ``VORAClient`` whose HTTP client is served by a ``Script``."""
    from zentrova_sdk.client import VORAClient

    def make(*answers: Any, cls=None, **kwargs: Any):
        kwargs.setdefault("base_url", BASE)
        client = (cls or VORAClient)(**kwargs)
        script = Script(*answers)
        client._client = httpx.Client(transport=httpx.MockTransport(script))
        return client, script

    return make


# ---------------------------------------------------------------------------
# Duck-typed HTTP client and responses


class FakeResponse:
    def __init__(self, status_code: Any = 200, body: Any = None, text: Any = "", raises: BaseException | None = None):
        self.status_code = status_code
        self.body = body
        self.text = text
        self.raises = raises
        self.raise_for_status_calls = 0

    def raise_for_status(self):
        self.raise_for_status_calls += 1
        if self.raises is not None:
            raise self.raises
        return "ignored"

    def json(self):
        return self.body


class FakeHTTP:
    """Stands in for ``_client``: answers ``request`` from a list of responses
    and exceptions, recording (method, url, kwargs) of every call."""

    def __init__(self, *answers: Any) -> None:
        self.answers = list(answers)
        self.calls: list[tuple[Any, Any, dict]] = []
        self.on_request = None

    def request(self, *args: Any, **kwargs: Any):
        assert len(args) == 2, args
        self.calls.append((args[0], args[1], kwargs))
        if self.on_request is not None:
            self.on_request(len(self.calls) - 1)
        answer = self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]
        if isinstance(answer, BaseException):
            raise answer
        return answer


# ---------------------------------------------------------------------------
# The service emulation


def counts_for(shots: Any) -> dict[str, int]:
    if isinstance(shots, int):
        return {"00": shots // 2, "11": shots - shots // 2}
    return {"00": 1}


@dataclass
class Seen:
    method: str
    path: str
    headers: dict[str, str]
    body: Any


@dataclass
class ServiceEmulator:
    api_key: str
    url: str = ""
    # How many status polls answer "processing" before the job completes.
    polls_before_done: int = 0
    # Whether the completed status document carries the counts itself.
    counts_in_status: bool = True
    # When set, (status, text) answered to every request that passed the key check.
    forced: tuple[int, str] | None = None
    requests: list[Seen] = field(default_factory=list)
    served: list[tuple[str, Any]] = field(default_factory=list)
    jobs: dict[str, dict] = field(default_factory=dict)
    lock: threading.Lock = field(default_factory=threading.Lock)

    azure_providers: list = field(
        default_factory=lambda: [
            {"id": "ionq.simulator", "name": "Ion simulator", "type": "simulator", "num_qubits": 29, "available": True},
            {"id": "vendor.qpu", "name": "Vendor QPU", "type": "qpu", "num_qubits": 11, "available": False},
        ]
    )
    ibm_backends: dict = field(
        default_factory=lambda: {
            "backends": [
                {"backend_name": "ibm_kyoto", "backend_type": "hardware", "num_qubits": 127, "status": "online"},
                {"backend_name": "local_sim"},
            ]
        }
    )
    braket_devices: dict = field(
        default_factory=lambda: {
            "devices": [
                {"name": "sv1", "type": "SIMULATOR", "num_qubits": 34},
                {"name": "qpu-7", "type": "QPU", "num_qubits": 25, "available": False},
            ]
        }
    )

    def paths(self) -> list[str]:
        return [r.method + " " + r.path for r in self.requests]

    def _new_job(self, qasm: Any, shots: Any, extra: dict) -> str:
        job_id = "job-%d" % (len(self.jobs) + 1)
        self.jobs[job_id] = {"qasm": qasm, "shots": shots, "polls": 0, **extra}
        return job_id

    def completed_status(self, job_id: str) -> dict:
        job = self.jobs[job_id]
        doc: dict = {"status": "completed", "job_id": job_id}
        if self.counts_in_status:
            doc["counts"] = counts_for(job["shots"])
            doc["result"] = {"shots": job["shots"], "num_qubits": 2, "backend": "émulateur"}
            doc["timing"] = {"zeta": 1.5, "alpha": [3, {"b": 1, "a": 2}]}
        return doc

    def result_doc(self, job_id: str) -> dict:
        job = self.jobs[job_id]
        return {
            "job_id": job_id,
            "status": "COMPLETED",
            "result": {"counts": counts_for(job["shots"]), "shots": job["shots"], "num_qubits": 2, "backend": "emu"},
        }

    def answer(self, method: str, path: str, headers: dict, body: Any) -> tuple[int, Any]:
        with self.lock:
            self.requests.append(Seen(method, path, headers, body))
            if headers.get("x-api-key") != self.api_key:
                return 401, {"detail": "bad key"}
            if self.forced is not None:
                return self.forced
            parts = path.split("/")
            if method == "POST" and path == "/execute":
                job_id = self._new_job(body["qasm"], body["shots"], {})
                return 200, {"job_id": job_id, "status": "queued"}
            if method == "GET" and len(parts) == 3 and parts[1] in ("status", "results"):
                job_id = parts[2]
                if job_id not in self.jobs:
                    return 404, {"detail": "no such job"}
                if parts[1] == "results":
                    doc = self.result_doc(job_id)
                else:
                    job = self.jobs[job_id]
                    job["polls"] += 1
                    if job["polls"] <= self.polls_before_done:
                        doc = {"job_id": job_id, "status": "processing"}
                    else:
                        doc = self.completed_status(job_id)
                self.served.append((path, doc))
                return 200, doc
            if method == "GET" and path == "/api/v1/azure_quantum/providers":
                return 200, self.azure_providers
            if method == "GET" and path == "/api/v1/ibm_quantum/backends":
                return 200, self.ibm_backends
            if method == "GET" and path == "/api/v1/braket/devices":
                return 200, self.braket_devices
            if method == "POST" and len(parts) == 5 and parts[:3] == ["", "api", "v1"] and parts[4] == "execute":
                job_id = self._new_job(body.get("circuit"), body.get("shots"), {"supplier": parts[3]})
                if parts[3] == "braket":
                    return 200, {"job_id": None, "task_id": job_id}
                return 200, {"job_id": job_id}
            return 404, {"detail": "not found"}


def _handler_for(emulator: ServiceEmulator):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *args):  # keep test output clean
            pass

        def _serve(self):
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length) if length else b""
            body = json.loads(raw) if raw else None
            headers = {k.lower(): v for k, v in self.headers.items()}
            status, payload = emulator.answer(self.command, self.path, headers, body)
            data = payload.encode() if isinstance(payload, str) else json.dumps(payload).encode()
            ctype = "text/plain" if isinstance(payload, str) else "application/json"
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        do_GET = _serve
        do_POST = _serve

    return Handler


@pytest.fixture
def service():
    emulator = ServiceEmulator(api_key=API_KEY)
    server = ThreadingHTTPServer(("127.0.0.1", 0), _handler_for(emulator))
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    emulator.url = "http://127.0.0.1:%d" % server.server_address[1]
    try:
        yield emulator
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)


@pytest.fixture
def dropping_server():
    """A listener on 127.0.0.1 that accepts connections and closes them without
    answering; yields (url, accepted-connection counter)."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    sock.settimeout(0.1)
    accepted = [0]
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            try:
                conn, _ = sock.accept()
            except (socket.timeout, OSError):
                continue
            accepted[0] += 1
            conn.close()

    thread = threading.Thread(target=loop, daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d" % sock.getsockname()[1], accepted
    finally:
        stop.set()
        thread.join(5)
        sock.close()


@pytest.fixture
def closed_port_url():
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return "http://127.0.0.1:%d" % port


def pytest_ignore_collect(collection_path, config):
    # tests/differential runs in its own interpreter (tests/test_differential.py).
    if collection_path.name == "differential" and not os.environ.get("ZENTROVA_DIFF_CHILD"):
        return True
    return None
