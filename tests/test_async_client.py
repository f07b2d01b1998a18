"""AsyncVORAClient: its class surface, construction, and the request routine's
status mapping, retries and back-off as seen through awaited coroutines.

Requests go to an ``httpx.MockTransport`` with an async handler, built into the
client's own ``httpx.AsyncClient`` so that the headers and timeout the
constructor chose are the ones the requests carry; one test talks to a real
threaded HTTP server on 127.0.0.1. Back-off never waits for real: ``_sleep`` is
replaced on the instance by a recorder."""

from __future__ import annotations

import asyncio
import builtins
import inspect
import json
import sys
import threading
import types
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import httpx
import pytest

import zentrova_sdk.client as client_mod
from zentrova_sdk.client import AsyncVORAClient, VORAClient
from zentrova_sdk.models import (AuthenticationError, CircuitJob, JobNotFoundError, JobResult, JobStatus,
                                 RateLimitError, ValidationError, VORAError)

# A broken coroutine tends to hang inside C++, where only the thread method fires.
pytestmark = pytest.mark.timeout(30, method="thread")

API_KEY = "async-key-41c"
BASE = "http://svc.test/v2"
NO_KEY = "VORA API key required (pass api_key or set VORA_API_KEY)"


class Service:
    """Async MockTransport handler. Each answer serves one request, the last one
    every request after it: a dict (200 with that JSON), a (status, body) pair,
    or an exception instance raised from the transport."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.requests: list[httpx.Request] = []

    async def __call__(self, request):
        self.requests.append(request)
        answer = self.answers[min(len(self.requests), len(self.answers)) - 1]
        if isinstance(answer, BaseException):
            raise answer
        status, body = answer if isinstance(answer, tuple) else (200, answer)
        if isinstance(body, (dict, list)):
            return httpx.Response(status, json=body)
        return httpx.Response(status, text=body)


def make(*answers, **kwargs):
    """A client whose own AsyncClient (headers, timeout) talks to a Service, and
    whose back-off only records its delays."""
    service = Service(*answers)
    real = httpx.AsyncClient
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(client_mod.httpx, "AsyncClient",
                   lambda **kw: real(transport=httpx.MockTransport(service), **kw))
        client = AsyncVORAClient(API_KEY, BASE, **kwargs)
    sleeps = []

    async def record(seconds):
        sleeps.append(seconds)

    client._sleep = record
    return client, service, sleeps


def outcome(coro):
    """Runs a coroutine; returns its result or the exception it raised."""
    async def main():
        try:
            return await coro
        except Exception as exc:  # noqa: BLE001 - the test inspects it
            return exc
    return asyncio.run(main())


# ---------------------------------------------------------------------------
# Class surface

COROUTINES = {
    "submit": ("(self, qasm: 'str', shots: 'int' = 1024) -> 'CircuitJob'", ("url", "resp", "data")),
    "get_status": ("(self, job_id: 'str') -> 'JobResult'", ("url", "resp")),
    "_request_with_retries": ("(self, method: 'str', url: 'str', **kwargs: 'Any') -> 'httpx.Response'",
                              ("last_exc", "attempt", "resp", "e")),
    "_sleep": ("(self, seconds: 'float') -> 'None'", ("asyncio",)),
}


def test_class_holds_exactly_five_methods(monkeypatch):
    assert AsyncVORAClient.__bases__ == (object,) and type(AsyncVORAClient) is type
    assert (AsyncVORAClient.__module__, AsyncVORAClient.__qualname__) == ("zentrova_sdk.client", "AsyncVORAClient")
    doc = AsyncVORAClient.__doc__
    assert isinstance(doc, str) and doc.strip() and "\n" not in doc.strip()
    # What a class statement adds around the body is compared with one in test_interpreter_parity.py.
    members = [n for n in vars(AsyncVORAClient) if n not in {"__module__", "__doc__", "__dict__", "__weakref__",
                                                             "__firstlineno__", "__static_attributes__"}]
    assert members == ["__init__", "submit", "get_status", "_request_with_retries", "_sleep"]
    assert not issubclass(AsyncVORAClient, VORAClient) and not issubclass(VORAClient, AsyncVORAClient)
    init = AsyncVORAClient.__init__
    assert inspect.signature(init) == inspect.signature(VORAClient.__init__)
    assert init.__qualname__ == "AsyncVORAClient.__init__" and not inspect.iscoroutinefunction(init)
    assert all(word in init.__doc__ for word in ("api_key", "base_url", "timeout", "max_retries"))
    monkeypatch.setenv("VORA_API_KEY", API_KEY)
    client = AsyncVORAClient()
    assert not isinstance(client, VORAClient)
    assert (client.timeout, client.max_retries, client._client.timeout) == (300.0, 3, httpx.Timeout(300.0))
    for name in ("execute", "wait_for_result", "get_result", "list_providers", "execute_on_backend", "close",
                 "aclose", "__enter__", "__exit__", "__aenter__", "__aexit__"):
        with pytest.raises(AttributeError):
            getattr(client, name)


@pytest.mark.parametrize("name", list(COROUTINES))
def test_coroutine_function_surface(name):
    signature, local_names = COROUTINES[name]
    function = vars(AsyncVORAClient)[name]
    assert str(inspect.signature(function)) == signature
    assert all(type(a) is str for a in function.__annotations__.values())
    assert (function.__name__, function.__qualname__, function.__doc__) == (name, "AsyncVORAClient." + name, None)
    code = function.__code__
    assert code.co_flags & inspect.CO_COROUTINE
    assert code.co_varnames == tuple(inspect.signature(function).parameters) + local_names
    bound = getattr(AsyncVORAClient(API_KEY), name)
    for candidate in (function, bound):
        assert inspect.iscoroutinefunction(candidate)
        # asyncio's own test is deprecated from 3.14 on, for inspect's.
        assert sys.version_info >= (3, 14) or asyncio.iscoroutinefunction(candidate)


# ---------------------------------------------------------------------------
# Construction (no event loop needed, errors at the call)


@pytest.mark.parametrize(
    "arg, env, resolved",
    [("arg-key", "env-key", "arg-key"), ("", "env-key", "env-key"), (None, None, None), (None, "", None)],
)
def test_key_resolution_and_http_client(monkeypatch, arg, env, resolved):
    if env is None:
        monkeypatch.delenv("VORA_API_KEY", raising=False)
    else:
        monkeypatch.setenv("VORA_API_KEY", env)
    made = []
    fake = types.SimpleNamespace(AsyncClient=lambda *a, **kw: made.append((a, kw)) or "owned",
                                 Client=lambda *a, **kw: pytest.fail("the sync HTTP client was built"))
    monkeypatch.setattr(client_mod, "httpx", fake)
    timeout = 12.5
    if resolved is None:
        with pytest.raises(AuthenticationError) as info:
            AsyncVORAClient(arg, "http://h//", timeout, 2)
        assert info.value.args == (NO_KEY,) and info.value.__context__ is None
        assert made == []
        return
    client = AsyncVORAClient(arg, "http://h//", timeout, 2)
    assert vars(client) == {"api_key": resolved, "base_url": "http://h", "timeout": 12.5, "max_retries": 2,
                            "_client": "owned"}
    assert client.timeout is timeout
    [(args, kwargs)] = made
    assert args == () and list(kwargs) == ["timeout", "headers"] and kwargs["timeout"] is timeout
    assert list(kwargs["headers"].items()) == [("X-API-Key", resolved), ("Authorization", "Bearer " + resolved)]


# ---------------------------------------------------------------------------
# Job operations


@pytest.mark.parametrize("reply, status", [({"job_id": "J1"}, JobStatus.PENDING),
                                           ({"job_id": "J1", "status": "queued"}, "queued")])
def test_submit_posts_once_and_returns_a_handle(reply, status):
    client, service, sleeps = make(reply)
    job = outcome(client.submit("OPENQASM 2.0;", shots=7))
    assert job == CircuitJob(job_id="J1", status=status) and type(job.status) is type(status)
    [request] = service.requests
    assert (request.method, str(request.url)) == ("POST", BASE + "/execute")
    body = json.loads(request.content)
    assert body == {"qasm": "OPENQASM 2.0;", "shots": 7} and list(body) == ["qasm", "shots"]
    assert (request.headers["X-API-Key"], request.headers["Authorization"]) == (API_KEY, "Bearer " + API_KEY)
    assert sleeps == []


def test_get_status_builds_the_record_from_the_document():
    document = {"job_id": "a/b?c", "result": {"counts": {"01": 3}, "shots": 3}, "status": "COMPLETED"}
    client, service, sleeps = make(document)
    result = outcome(client.get_status("a/b?c"))
    assert result == JobResult.from_dict(document) and result.raw == document
    assert [r.url.raw_path for r in service.requests] == [b"/v2/status/a/b?c"] and sleeps == []


@pytest.mark.parametrize(
    "qasm, shots, error, message",
    [("", 10, ValidationError, "qasm must be a non-empty string"),
     (None, 10, ValidationError, "qasm must be a non-empty string"),
     (b"OPENQASM", 10, ValidationError, "qasm must be a non-empty string"),
     ("", 0, ValidationError, "qasm must be a non-empty string"),
     ("x", 0, ValidationError, "shots must be > 0"),
     ("x", -5, ValidationError, "shots must be > 0"),
     ("x", "many", TypeError, None)],
)
def test_validation_happens_at_the_first_await(qasm, shots, error, message):
    client, service, _ = make({"job_id": "never"})
    coro = client.submit(qasm, shots)  # no error yet
    exc = outcome(coro)
    assert type(exc) is error and (message is None or exc.args == (message,))
    assert service.requests == []


def test_nothing_is_read_before_the_coroutine_runs():
    client, first, _ = make({"status": "failed"})
    coro = client.get_status("J")
    other, second, _ = make({"status": "queued"})
    client.base_url, client._client = "http://elsewhere", other._client
    assert outcome(coro).status == JobStatus.QUEUED
    assert first.requests == [] and [str(r.url) for r in second.requests] == ["http://elsewhere/status/J"]


@pytest.mark.parametrize(
    "call, reply, error, message",
    [("submit", {"id": 1}, VORAError, "Unexpected response: {'id': 1}"),
     ("submit", (200, "not json"), json.JSONDecodeError, None),
     ("get_status", (200, "not json"), json.JSONDecodeError, None),
     ("get_status", (200, [1]), AttributeError, None)],
)
def test_unexpected_documents(call, reply, error, message):
    client, service, _ = make(reply)
    exc = outcome(client.submit("OPENQASM 2.0;") if call == "submit" else client.get_status("J"))
    assert type(exc) is error and (message is None or exc.args == (message,))
    assert len(service.requests) == 1


# ---------------------------------------------------------------------------
# Request routine


@pytest.mark.parametrize(
    "status, body, error, message",
    [(401, "", AuthenticationError, "Invalid API key"),
     (404, "", JobNotFoundError, "Job not found"),
     (429, "", RateLimitError, "Rate limit exceeded"),
     (500, "boom", VORAError, "HTTP error: 500 boom"),
     (503, "", VORAError, "HTTP error: 503 "),
     (403, {"detail": "no"}, VORAError, 'HTTP error: 403 {"detail":"no"}')],
)
def test_status_mapping_is_immediate(status, body, error, message):
    client, service, sleeps = make((status, body))
    exc = outcome(client.get_status("J"))
    assert type(exc) is error and exc.args == (message,)
    assert len(service.requests) == 1 and sleeps == []
    assert exc.__cause__ is None
    if status in (401, 404, 429):
        assert exc.__context__ is None
    else:
        assert isinstance(exc.__context__, httpx.HTTPStatusError) and exc.__context__.response.status_code == status


@pytest.mark.parametrize("max_retries", [3, 1, 0])
@pytest.mark.parametrize("kind", [httpx.ReadTimeout, httpx.ConnectError])
@pytest.mark.parametrize("operation", ["get_status", "submit"])
def test_retries_back_off_then_wrap_the_last_failure(max_retries, kind, operation):
    failures = [kind(f"attempt {i}") for i in range(max_retries + 1)]
    client, service, sleeps = make(*failures, max_retries=max_retries)
    exc = outcome(client.get_status("J") if operation == "get_status" else client.submit("qreg q[1];"))
    if operation == "submit" and kind is httpx.ReadTimeout:
        # The POST may have reached the service: it is not sent again.
        assert type(exc) is VORAError and exc.args == ("Request outcome unknown, not retried: attempt 0",)
        assert exc.__context__ is failures[0] and exc.__cause__ is None and not exc.__suppress_context__
        assert sleeps == [] and len(service.requests) == 1
        return
    assert type(exc) is VORAError and exc.args == (f"Request failed after retries: attempt {max_retries}",)
    assert exc.__context__ is failures[-1] and exc.__cause__ is None and not exc.__suppress_context__
    assert sleeps == [0.5, 1.0, 2.0][:max_retries] and all(type(s) is float for s in sleeps)
    assert len(service.requests) == max_retries + 1


@pytest.mark.parametrize(
    "second, expected, context",
    [({"status": "queued"}, JobStatus.QUEUED, None), ((404, ""), JobNotFoundError, None),
     ((500, "x"), VORAError, httpx.HTTPStatusError)],
)
def test_one_transport_failure_then_an_answer(second, expected, context):
    client, service, sleeps = make(httpx.ConnectError("down"), second)

    async def main():
        try:
            return (await client.get_status("J")).status, sys.exc_info()
        except Exception as exc:  # noqa: BLE001
            return exc, None
    got, exc_info = asyncio.run(main())
    assert sleeps == [0.5] and len(service.requests) == 2
    if expected is JobStatus.QUEUED:
        assert got == expected and exc_info == (None, None, None)
    else:
        # The first failure was handled and left behind: it is nobody's context.
        assert type(got) is expected and type(got.__context__) is (context or type(None))


@pytest.mark.parametrize("max_retries", [-1, -5])
def test_negative_retries_send_nothing(max_retries):
    client, service, sleeps = make({"status": "queued"}, max_retries=max_retries)
    exc = outcome(client.get_status("J"))
    assert type(exc) is VORAError and exc.args == ("Request failed: None",) and exc.__context__ is None
    assert service.requests == [] and sleeps == []


@pytest.mark.parametrize("changed_to, requests, message", [
    (0, 2, "Request failed after retries: fail"),  # compared afresh in the handler
    (9, 2, "Request failed: fail"),  # but the range was fixed at the start
])
def test_max_retries_is_read_again_only_by_the_handler(changed_to, requests, message):
    client, service, sleeps = make(httpx.ConnectError("fail"), max_retries=1)

    async def shrink(seconds):
        sleeps.append(seconds)
        client.max_retries = changed_to
    client._sleep = shrink
    exc = outcome(client.get_status("J"))
    assert exc.args == (message,) and len(service.requests) == requests
    assert sleeps == [0.5, 1.0][:1 if changed_to == 0 else 2]


def test_each_attempt_looks_up_the_client_and_passes_the_same_body():
    calls = []

    class HTTP:
        def __init__(self, answer):
            self.answer = answer

        async def request(self, *args, **kwargs):
            calls.append((self, args, kwargs))
            if isinstance(self.answer, BaseException):
                raise self.answer
            return self.answer

    ok = httpx.Response(200, json={}, request=httpx.Request("POST", BASE))
    client = AsyncVORAClient(API_KEY, BASE)
    first, second = HTTP(httpx.ConnectTimeout("slow")), HTTP(ok)
    client._client = first

    async def swap(seconds):
        client._client = second
    client._sleep = swap
    body = {"qasm": "x", "shots": 1}
    assert outcome(client._request_with_retries("POST", BASE + "/execute", json=body)) is ok
    assert [c[0] for c in calls] == [first, second]
    assert all(args == ("POST", BASE + "/execute") and list(kw) == ["json"] and kw["json"] is body
               for _, args, kw in calls)


def test_an_error_from_the_back_off_chains_to_the_failure():
    failure = httpx.ConnectError("refused")
    client, service, _ = make(failure)
    seen = []

    async def broken(seconds):
        seen.append(sys.exc_info()[1])
        raise OSError("sleep failed")
    client._sleep = broken
    exc = outcome(client.get_status("J"))
    assert type(exc) is OSError and exc.args == ("sleep failed",)
    assert exc.__context__ is failure and seen == [failure] and len(service.requests) == 1


def test_other_exceptions_from_the_request_propagate_unchanged():
    client = AsyncVORAClient(API_KEY, BASE)
    problem = LookupError("odd")

    def request(*args, **kwargs):
        raise problem
    client._client = types.SimpleNamespace(request=request)
    assert outcome(client.get_status("J")) is problem


# ---------------------------------------------------------------------------
# The real back-off sleep


def test_sleep_imports_asyncio_at_each_call_and_uses_its_sleep(monkeypatch):
    client = AsyncVORAClient(API_KEY)
    assert asyncio.run(client._sleep(0)) is None
    imported, slept = [], []
    real_import = builtins.__import__

    def spy(name, *args, **kwargs):
        imported.append(name)
        return real_import(name, *args, **kwargs)

    async def fake_sleep(seconds):
        slept.append(seconds)
        return "ignored"

    async def main():
        monkeypatch.setattr(builtins, "__import__", spy)
        monkeypatch.setattr(asyncio, "sleep", fake_sleep)
        try:
            return [await client._sleep(0.25), await client._sleep(7)]
        finally:
            monkeypatch.undo()
    assert asyncio.run(main()) == [None, None]
    assert imported.count("asyncio") == 2 and slept == [0.25, 7]


# ---------------------------------------------------------------------------
# Concurrency


def test_gathered_calls_run_independent_retry_loops():
    client = AsyncVORAClient(API_KEY, BASE)
    tries: dict[str, int] = {}

    async def handler(request):
        job = request.url.path.rsplit("/", 1)[1]
        tries[job] = tries.get(job, 0) + 1
        await asyncio.sleep(0)
        if tries[job] <= int(job[1:]):
            raise httpx.ConnectError(job)
        return httpx.Response(200, json={"job_id": job, "status": "queued"})
    client._client = httpx.AsyncClient(transport=httpx.MockTransport(handler))
    sleeps = []

    async def record(seconds):
        sleeps.append(seconds)
        await asyncio.sleep(0)
    client._sleep = record

    async def main():
        return await asyncio.gather(*(client.get_status(j) for j in ("j0", "j2", "j1", "j3")))
    assert [r.job_id for r in asyncio.run(main())] == ["j0", "j2", "j1", "j3"]
    assert tries == {"j0": 1, "j1": 2, "j2": 3, "j3": 4}
    assert sorted(sleeps) == sorted([0.5, 1.0, 0.5, 0.5, 1.0, 2.0])


@pytest.fixture
def status_server():
    seen = []

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_GET(self):
            seen.append((self.path, self.headers["X-API-Key"], self.headers["Authorization"]))
            job = self.path.rsplit("/", 1)[1]
            body = json.dumps({"job_id": job, "status": "completed", "counts": {"0": int(job)}}).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    class Server(ThreadingHTTPServer):
        daemon_threads = True
        request_queue_size = 128  # the gathered requests connect at once

    server = Server(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}", seen
    server.shutdown()
    server.server_close()


def test_many_gathered_polls_on_one_instance_against_a_server(status_server):
    url, seen = status_server
    client = AsyncVORAClient(API_KEY, url + "/")
    jobs = [str(i) for i in range(60)]

    async def main():
        results = await asyncio.gather(*(client.get_status(j) for j in jobs))
        await client._client.aclose()
        return results
    results = asyncio.run(asyncio.wait_for(main(), 10))
    assert [(r.job_id, r.counts, r.status) for r in results] == [(j, {"0": int(j)}, JobStatus.COMPLETED) for j in jobs]
    assert sorted(seen) == sorted(("/status/" + j, API_KEY, "Bearer " + API_KEY) for j in jobs)
