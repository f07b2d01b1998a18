"""VORAClient: the module surface, construction, the request routine and the
job operations (submit, status, result, waiting, execute)."""

from __future__ import annotations

import __future__
import builtins
import inspect
import json
import os
import sys
import time
import typing

import httpx
import pytest

import zentrova_sdk.client as client_mod
import zentrova_sdk.models as models
from zentrova_sdk.client import VORAClient
from zentrova_sdk.models import (
    AuthenticationError,
    CircuitJob,
    JobNotFoundError,
    JobResult,
    JobStatus,
    RateLimitError,
    ValidationError,
    VORAError,
)

from conftest import API_KEY, BASE, FakeHTTP, FakeResponse, compiled_docstring

NO_KEY = "VORA API key required (pass api_key or set VORA_API_KEY)"
Q_MSG = "qasm must be a non-empty string"
S_MSG = "shots must be > 0"
QASM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\nmeasure q -> c;\n'
EMPTY = inspect.Parameter.empty
POK = inspect.Parameter.POSITIONAL_OR_KEYWORD
MODEL_NAMES = ["CircuitJob", "JobResult", "JobStatus", "VORAError", "AuthenticationError", "RateLimitError",
               "ValidationError", "JobNotFoundError", "TimeoutError", "SupplierInfo", "ProviderInfo", "BackendInfo"]


def default_base_url() -> str:
    return inspect.signature(VORAClient.__init__).parameters["base_url"].default


class Recording(VORAClient):
    """A client whose request routine is replaced: records every call and
    answers from a list of JSON documents (or raises listed exceptions)."""

    def __init__(self, *args, answers=(), on_request=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.answers = list(answers)
        self.sent = []
        self.on_request = on_request

    def _request_with_retries(self, method, url, **kwargs):
        self.sent.append((method, url, kwargs))
        if self.on_request is not None:
            self.on_request()
        answer = self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]
        if isinstance(answer, BaseException):
            raise answer
        return FakeResponse(200, answer)

    def urls(self):
        return [url for _, url, _ in self.sent]


@pytest.fixture
def recording(env_key):
    def make(*answers, **kwargs):
        kwargs.setdefault("base_url", BASE)
        return Recording(answers=answers, **kwargs)

    return make


def routine_client(fake, max_retries=3):
    client = VORAClient(api_key=API_KEY, base_url=BASE, max_retries=max_retries)
    client._client = fake
    return client


def assert_implicit_context(err, context):
    assert err.__context__ is context
    assert err.__cause__ is None
    assert err.__suppress_context__ is False


# ===========================================================================
# Module and class surface


def test_module_names():
    names = [n for n in vars(client_mod) if not (n.startswith("__") and n.endswith("__"))]
    head = ["annotations", "os", "time", "Any", "Dict", "Optional", "Union", "httpx", *MODEL_NAMES, "VORAClient"]
    assert names in (head, head + ["AsyncVORAClient"])
    assert client_mod.annotations is __future__.annotations
    assert (client_mod.os, client_mod.time, client_mod.httpx) == (os, time, httpx)
    for name in ("Any", "Dict", "Optional", "Union"):
        assert getattr(client_mod, name) is getattr(typing, name)
    for name in MODEL_NAMES:
        assert getattr(client_mod, name) is getattr(models, name), name
    assert client_mod.TimeoutError is not builtins.TimeoutError
    assert client_mod.__doc__ is None
    assert not hasattr(client_mod, "__all__")


def test_class_shape():
    assert VORAClient.__bases__ == (object,) and type(VORAClient) is type
    assert (VORAClient.__module__, VORAClient.__qualname__) == ("zentrova_sdk.client", "VORAClient")
    doc = VORAClient.__doc__
    assert isinstance(doc, str) and doc.strip() and "\n" not in doc.strip()
    # What a class statement adds around the body is compared with one in test_interpreter_parity.py.
    members = [n for n in vars(VORAClient) if n not in {"__module__", "__doc__", "__dict__", "__weakref__",
                                                        "__firstlineno__", "__static_attributes__"}]
    assert members == ["__init__", "execute", "submit", "get_status", "get_result", "wait_for_result",
                       "list_providers", "execute_on_backend", "_request_with_retries"]
    for name in ("close", "__enter__", "__exit__"):
        assert not hasattr(VORAClient, name), name
    assert VORAClient.__repr__ is object.__repr__


# name: ([(parameter, annotation, default)], return annotation); "<origin>" is
# the service origin, checked separately.
SIGNATURES = {
    "__init__": ([("api_key", "Optional[str]", None), ("base_url", "str", "<origin>"), ("timeout", "float", 300.0),
                  ("max_retries", "int", 3)], EMPTY),
    "execute": ([("qasm", "str", EMPTY), ("shots", "int", 1024)], "JobResult"),
    "submit": ([("qasm", "str", EMPTY), ("shots", "int", 1024)], "CircuitJob"),
    "get_status": ([("job_id", "str", EMPTY)], "JobResult"),
    "get_result": ([("job_id", "str", EMPTY)], "JobResult"),
    "wait_for_result": ([("job_id", "str", EMPTY), ("timeout", "float", 300.0), ("poll_interval", "float", 2.0)],
                        "JobResult"),
    "list_providers": ([("supplier", "str", "azure_quantum")], "list[ProviderInfo]"),
    "execute_on_backend": ([("qasm", "str", EMPTY), ("backend", "str", EMPTY), ("supplier", "str", "azure_quantum"),
                            ("shots", "int", 1024)], "JobResult"),
    "_request_with_retries": ([("method", "str", EMPTY), ("url", "str", EMPTY), ("**kwargs", "Any", EMPTY)],
                              "httpx.Response"),
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_method_signature(name):
    expected, returns = SIGNATURES[name]
    method = getattr(VORAClient, name)
    assert (method.__name__, method.__qualname__) == (name, "VORAClient." + name)
    sig = inspect.signature(method)
    self_param, *params = sig.parameters.values()
    assert (self_param.name, self_param.kind, self_param.annotation, self_param.default) == ("self", POK, EMPTY, EMPTY)
    got = [
        ("**" + p.name if p.kind is inspect.Parameter.VAR_KEYWORD else p.name, p.annotation,
         "<origin>" if p.name == "base_url" else p.default)
        for p in params
    ]
    assert got == expected
    assert all(p.kind in (POK, inspect.Parameter.VAR_KEYWORD) for p in params)
    for p, (_, _, default) in zip(params, expected):
        assert type(p.default) is type(default) or default == "<origin>", p.name  # 300.0 is not 300
    assert sig.return_annotation == returns
    annotations = [(n.lstrip("*"), a) for n, a, _ in expected] + ([("return", returns)] if returns is not EMPTY else [])
    assert list(method.__annotations__.items()) == annotations


def test_default_base_url_is_an_https_origin():
    url = default_base_url()
    assert isinstance(url, str) and url.startswith("https://") and len(url) > 8 and not url.endswith("/")


@pytest.mark.parametrize(
    "name, doc",
    [
        ("execute", "Submit a circuit and wait for completion."),
        ("submit", "Submit a circuit for execution and return a job handle."),
        ("get_status", None),
        ("get_result", None),
        ("wait_for_result", None),
        ("list_providers", "List available providers for a supplier.\n\n        Args:\n"
                           "            supplier: One of 'azure_quantum', 'ibm_quantum', 'braket'\n\n"
                           "        Returns:\n            List of provider information\n        "),
        ("execute_on_backend", "Execute circuit on specific backend.\n\n        Args:\n"
                               "            qasm: OpenQASM 2.0 circuit\n"
                               "            backend: Backend name (e.g., 'ionq.simulator', 'ibm_kyoto', 'sv1')\n"
                               "            supplier: Supplier name ('azure_quantum', 'ibm_quantum', 'braket')\n"
                               "            shots: Number of shots\n\n"
                               "        Returns:\n            Job result\n        "),
    ],
)
def test_method_docstrings(name, doc):
    # As the compiler stores this text: unchanged before 3.13, dedented since.
    assert getattr(VORAClient, name).__doc__ == compiled_docstring(doc)
    if sys.version_info < (3, 13):
        assert compiled_docstring(doc) == doc


@pytest.mark.parametrize(
    "name, hints",
    [
        ("__init__", {"api_key": typing.Optional[str], "base_url": str, "timeout": float, "max_retries": int}),
        ("list_providers", {"supplier": str, "return": list[models.ProviderInfo]}),
        ("_request_with_retries", {"method": str, "url": str, "kwargs": typing.Any, "return": httpx.Response}),
    ],
)
def test_annotations_resolve_in_module_namespace(name, hints):
    assert typing.get_type_hints(getattr(VORAClient, name), globalns=vars(client_mod), localns={}) == hints


# ===========================================================================
# Construction


@pytest.mark.parametrize("env", [None, ""])
@pytest.mark.parametrize("api_key", [None, ""])
def test_missing_key_is_an_authentication_error(monkeypatch, env, api_key):
    if env is None:
        monkeypatch.delenv("VORA_API_KEY", raising=False)
    else:
        monkeypatch.setenv("VORA_API_KEY", env)
    with pytest.raises(AuthenticationError) as excinfo:
        VORAClient(api_key=api_key, base_url=BASE)
    assert type(excinfo.value) is AuthenticationError and excinfo.value.args == (NO_KEY,)
    assert excinfo.value.__context__ is None and excinfo.value.__cause__ is None


@pytest.mark.parametrize("api_key", [None, ""])
def test_key_from_environment(monkeypatch, api_key):
    monkeypatch.setenv("VORA_API_KEY", "env-key-1")
    client = VORAClient(api_key=api_key)
    assert client.api_key == "env-key-1"
    assert client._client.headers["X-API-Key"] == "env-key-1"
    assert client._client.headers["Authorization"] == "Bearer env-key-1"


def test_key_argument_wins_and_environment_is_not_read(monkeypatch):
    calls = []
    real_getenv = os.getenv

    def getenv(*args, **kwargs):
        calls.append((args, kwargs))
        return real_getenv(*args, **kwargs)

    monkeypatch.setenv("VORA_API_KEY", "env-key")
    monkeypatch.setattr(client_mod.os, "getenv", getenv)
    client = VORAClient(api_key="arg-key")
    assert client.api_key == "arg-key" and client._client.headers["X-API-Key"] == "arg-key"
    assert calls == []
    assert VORAClient().api_key == "env-key"
    assert calls == [(("VORA_API_KEY",), {})]


@pytest.mark.parametrize(
    "given, stored",
    [("http://h:8/api", "http://h:8/api"), ("http://h:8/api/", "http://h:8/api"), ("http://h:8/api///", "http://h:8/api"),
     ("HTTP://Host/A//b/", "HTTP://Host/A//b"), ("/", ""), ("////", ""), (" http://h/ ", " http://h/ ")],
)
def test_base_url_trailing_slashes_removed(env_key, given, stored):
    assert VORAClient(base_url=given).base_url == stored


class FormattedKey(str):
    def __format__(self, format_spec):
        return "formatted-" + format_spec + "-key"

    def __str__(self):
        return "stringified-key"


@pytest.mark.parametrize(
    "key, bearer", [("k-123", "Bearer k-123"), (FormattedKey("raw"), "Bearer formatted--key"), (12345, "Bearer 12345")]
)
def test_http_client_built_with_timeout_and_headers(monkeypatch, key, bearer):
    calls = []

    class RecordingHTTPClient:
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))

    monkeypatch.setattr(client_mod.httpx, "Client", RecordingHTTPClient)
    timeout = float("12.5")
    client = VORAClient(key, "http://h/", timeout, 7)
    ((args, kwargs),) = calls
    assert args == () and list(kwargs) == ["timeout", "headers"]
    assert kwargs["timeout"] is timeout
    headers = kwargs["headers"]
    assert type(headers) is dict and list(headers.items()) == [("X-API-Key", key), ("Authorization", bearer)]
    assert headers["X-API-Key"] is key
    assert list(vars(client).items()) == [("api_key", key), ("base_url", "http://h"), ("timeout", timeout),
                                          ("max_retries", 7), ("_client", client._client)]
    assert isinstance(client._client, RecordingHTTPClient)


def test_defaults(env_key):
    client = VORAClient()
    assert list(vars(client)) == ["api_key", "base_url", "timeout", "max_retries", "_client"]
    assert (client.api_key, client.base_url) == (API_KEY, default_base_url())
    assert client.timeout == 300.0 and type(client.timeout) is float
    assert client.max_retries == 3 and type(client.max_retries) is int
    assert isinstance(client._client, httpx.Client)
    assert client._client.timeout == httpx.Timeout(300.0)
    names = [k.lower() for k in client._client.headers.keys()]
    assert names.index("x-api-key") < names.index("authorization")
    assert client._client.headers["Authorization"] == "Bearer " + API_KEY


@pytest.mark.parametrize(
    "args, error, attributes",
    [((None, "http://h"), AuthenticationError, []), (("k", 123), AttributeError, ["api_key"]),
     (("k", "http://h", "soon"), Exception, ["api_key", "base_url", "timeout", "max_retries"])],
)
def test_failed_construction_keeps_what_was_set(monkeypatch, args, error, attributes):
    monkeypatch.delenv("VORA_API_KEY", raising=False)
    boom = ValueError("bad timeout")

    def failing_http_client(**kwargs):
        raise boom

    if error is Exception:
        monkeypatch.setattr(client_mod.httpx, "Client", failing_http_client)
    client = VORAClient.__new__(VORAClient)
    with pytest.raises(error) as excinfo:
        client.__init__(*args)
    if error is Exception:
        assert excinfo.value is boom
    assert list(vars(client)) == attributes


# ===========================================================================
# The request routine


def test_accepted_response_returned_unchanged(clock):
    resp = FakeResponse(200, {"ok": 1})
    fake = FakeHTTP(resp)
    body = {"a": [1]}
    assert routine_client(fake)._request_with_retries("POST", "http://x/y", json=body, extra=5) is resp
    assert fake.calls == [("POST", "http://x/y", {"json": body, "extra": 5})]
    assert fake.calls[0][2]["json"] is body
    assert resp.raise_for_status_calls == 1
    assert clock.sleeps == []


@pytest.mark.parametrize(
    "status, error, message",
    [(401, AuthenticationError, "Invalid API key"), (404, JobNotFoundError, "Job not found"),
     (429, RateLimitError, "Rate limit exceeded")],
)
@pytest.mark.parametrize("method", ["GET", "POST"])
def test_mapped_statuses_raise_at_once(make_client, clock, status, error, message, method):
    client, script = make_client((status, {"detail": "x"}))
    with pytest.raises(error) as excinfo:
        client._request_with_retries(method, BASE + "/anything")
    err = excinfo.value
    assert type(err) is error and err.args == (message,)
    assert err.__context__ is None and err.__cause__ is None
    assert [r.method for r in script.requests] == [method]
    assert clock.sleeps == []


class StatusProbe:
    """A status code that records what it is compared with."""

    def __init__(self, equal_to):
        self.equal_to = equal_to
        self.compared = []

    def __eq__(self, other):
        self.compared.append(other)
        return other in self.equal_to

    __hash__ = None


@pytest.mark.parametrize(
    "equal_to, error, compared",
    [({401, 404, 429}, AuthenticationError, [401]), ({404, 429}, JobNotFoundError, [401, 404]),
     ({429}, RateLimitError, [401, 404, 429]), (set(), None, [401, 404, 429])],
)
def test_status_tested_in_order(clock, equal_to, error, compared):
    probe = StatusProbe(equal_to)
    resp = FakeResponse(probe)
    client = routine_client(FakeHTTP(resp))
    if error is None:
        assert client._request_with_retries("GET", "http://x") is resp
    else:
        with pytest.raises(error):
            client._request_with_retries("GET", "http://x")
    assert probe.compared == compared
    assert resp.raise_for_status_calls == (1 if error is None else 0)


@pytest.mark.parametrize(
    "status, body, message",
    [(500, "internal failure", "HTTP error: 500 internal failure"), (500, "", "HTTP error: 500 "),
     (400, '{"detail": "bad"}', 'HTTP error: 400 {"detail": "bad"}'), (403, "no", "HTTP error: 403 no"),
     (502, "one\ntwo", "HTTP error: 502 one\ntwo"), (302, "moved", "HTTP error: 302 moved")],
)
def test_rejected_status_is_a_vora_error(make_client, clock, status, body, message):
    client, script = make_client((status, body))
    with pytest.raises(VORAError) as excinfo:
        client._request_with_retries("GET", BASE + "/status/j")
    err = excinfo.value
    assert type(err) is VORAError and err.args == (message,)
    assert isinstance(err.__context__, httpx.HTTPStatusError)
    assert err.__cause__ is None and err.__suppress_context__ is False
    assert len(script.requests) == 1 and clock.sleeps == []


def test_http_error_message_comes_from_the_exception_response(clock):
    other = FakeResponse(503, text="maintenance")
    status_error = httpx.HTTPStatusError("x", request=httpx.Request("GET", "http://x"), response=other)
    client = routine_client(FakeHTTP(FakeResponse(500, text="ignored", raises=status_error)))
    with pytest.raises(VORAError) as excinfo:
        client._request_with_retries("GET", "http://x")
    assert excinfo.value.args == ("HTTP error: 503 maintenance",)
    assert_implicit_context(excinfo.value, status_error)


# Failures of a request that was under way: the service may have acted on it.
UNDER_WAY = [httpx.ReadTimeout, httpx.WriteTimeout, httpx.ReadError, httpx.WriteError, httpx.RemoteProtocolError]
# Failures before the request left: no connection, or none free in the pool.
NOT_SENT = [httpx.ConnectTimeout, httpx.PoolTimeout, httpx.ConnectError]


@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("exc_type", NOT_SENT + UNDER_WAY + [httpx.CloseError, httpx.UnsupportedProtocol])
def test_retries_spent(clock, method, exc_type):
    failures = [exc_type("attempt %d failed" % i) for i in range(4)]
    fake = FakeHTTP(*failures)
    body = {"qasm": "x"}
    with pytest.raises(VORAError) as excinfo:
        routine_client(fake)._request_with_retries(method, "http://x/execute", json=body)
    if method == "POST" and exc_type in UNDER_WAY:
        # Sent once only: a second POST could create a second job.
        message, last, sleeps = "Request outcome unknown, not retried: attempt 0 failed", 0, []
    else:
        message, last, sleeps = "Request failed after retries: attempt 3 failed", 3, [0.5, 1.0, 2.0]
    assert type(excinfo.value) is VORAError
    assert excinfo.value.args == (message,)
    assert_implicit_context(excinfo.value, failures[last])
    assert len(fake.calls) == last + 1
    assert all(kwargs["json"] is body for _, _, kwargs in fake.calls)
    assert clock.sleeps == sleeps and all(type(s) is float for s in clock.sleeps)


@pytest.mark.parametrize("patch", ["module global", "time.sleep"])
def test_backoff_through_the_http_stack(make_client, monkeypatch, patch):
    slept = []
    if patch == "module global":
        monkeypatch.setattr(client_mod, "time", type("FakeTime", (), {"sleep": staticmethod(slept.append)}))
    else:
        monkeypatch.setattr(time, "sleep", slept.append)
    client, script = make_client(httpx.ConnectError("refused"), max_retries=5)
    with pytest.raises(VORAError, match="^Request failed after retries: refused$"):
        client._request_with_retries("GET", BASE + "/status/1")
    assert len(script.requests) == 6
    assert slept == [0.5, 1.0, 2.0, 4.0, 8.0]


@pytest.mark.parametrize(
    "final, error, message",
    [((200, {"ok": True}), None, None), ((404, {}), JobNotFoundError, "Job not found"),
     ((429, {}), RateLimitError, "Rate limit exceeded"), ((500, "boom"), VORAError, "HTTP error: 500 boom")],
)
def test_recovery_after_transport_error(make_client, clock, final, error, message):
    client, script = make_client(httpx.ReadTimeout("slow"), final)
    if error is None:
        assert client._request_with_retries("GET", BASE + "/status/1").json() == {"ok": True}
    else:
        with pytest.raises(error) as excinfo:
            client._request_with_retries("GET", BASE + "/status/1")
        assert type(excinfo.value) is error and excinfo.value.args == (message,)
        # Only the status error is raised while an httpx exception is handled.
        assert isinstance(excinfo.value.__context__, httpx.HTTPStatusError if error is VORAError else type(None))
    assert len(script.requests) == 2
    assert clock.sleeps == [0.5]


def test_no_retries(clock):
    failure = httpx.ConnectError("down")
    fake = FakeHTTP(failure)
    with pytest.raises(VORAError) as excinfo:
        routine_client(fake, max_retries=0)._request_with_retries("GET", "http://x")
    assert excinfo.value.args == ("Request failed after retries: down",)
    assert_implicit_context(excinfo.value, failure)
    assert len(fake.calls) == 1 and clock.sleeps == []


@pytest.mark.parametrize("max_retries, error", [(-1, VORAError), (-5, VORAError), ("3", TypeError), (2.0, TypeError),
                                                (None, TypeError)])
def test_no_attempt(clock, max_retries, error):
    fake = FakeHTTP(FakeResponse(200))
    with pytest.raises(error) as excinfo:
        routine_client(fake, max_retries=max_retries)._request_with_retries("GET", "http://x")
    if error is VORAError:
        assert type(excinfo.value) is VORAError and excinfo.value.args == ("Request failed: None",)
        assert excinfo.value.__context__ is None
    assert fake.calls == [] and clock.sleeps == []


@pytest.mark.parametrize(
    "start, changed_to, message, requests, sleeps",
    [
        # Lowered during attempt 1: attempt 1 is now the last one.
        (3, 0, "Request failed after retries: t1", 2, [0.5]),
        # Raised during attempt 0: still two attempts, neither of them "the
        # last", so the loop runs out and reports the last failure caught.
        (1, 5, "Request failed: t1", 2, [0.5, 1.0]),
    ],
)
def test_max_retries_changed_during_a_call(clock, start, changed_to, message, requests, sleeps):
    fake = FakeHTTP(*[httpx.ConnectTimeout("t%d" % i) for i in range(6)])
    client = routine_client(fake, max_retries=start)
    fake.on_request = lambda index: index == (1 if changed_to < start else 0) and setattr(client, "max_retries", changed_to)
    with pytest.raises(VORAError) as excinfo:
        client._request_with_retries("GET", "http://x")
    assert excinfo.value.args == (message,)
    if message.startswith("Request failed: "):
        assert excinfo.value.__context__ is None
    assert len(fake.calls) == requests
    assert clock.sleeps == sleeps


@pytest.mark.parametrize(
    "failure",
    [ValueError("not httpx"), httpx.DecodingError("bad gzip"), httpx.TooManyRedirects("loop"),
     httpx.InvalidURL("bad url"), KeyboardInterrupt()],
)
def test_other_exceptions_propagate_unchanged(clock, failure):
    fake = FakeHTTP(failure)
    with pytest.raises(type(failure)) as excinfo:
        routine_client(fake)._request_with_retries("GET", "http://x")
    assert excinfo.value is failure
    assert len(fake.calls) == 1 and clock.sleeps == []


@pytest.mark.parametrize("failure", [OSError("sleep broke"), KeyboardInterrupt()])
def test_sleep_failure_propagates_unchanged(monkeypatch, failure):
    def sleep(seconds):
        raise failure

    monkeypatch.setattr(client_mod, "time", type("BrokenTime", (), {"sleep": staticmethod(sleep)}))
    fake = FakeHTTP(httpx.ConnectError("x"), FakeResponse(200))
    with pytest.raises(type(failure)) as excinfo:
        routine_client(fake)._request_with_retries("GET", "http://x")
    assert excinfo.value is failure
    assert len(fake.calls) == 1


# ===========================================================================
# submit


class FalsyText(str):
    def __bool__(self):
        return False


class Unjudgeable:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize(
    "qasm, shots, error, message",
    [
        ("", 1024, ValidationError, Q_MSG),
        (None, 1024, ValidationError, Q_MSG),
        (b"OPENQASM 2.0;", 1024, ValidationError, Q_MSG),
        (["OPENQASM"], 1024, ValidationError, Q_MSG),
        (FalsyText("OPENQASM 2.0;"), 1024, ValidationError, Q_MSG),
        ("", 0, ValidationError, Q_MSG),
        (None, "not a number", ValidationError, Q_MSG),
        (QASM, 0, ValidationError, S_MSG),
        (QASM, -5, ValidationError, S_MSG),
        (QASM, -0.5, ValidationError, S_MSG),
        (QASM, False, ValidationError, S_MSG),
        (Unjudgeable(), 1024, ZeroDivisionError, None),  # the truth test comes before the type test
        (QASM, "10", TypeError, None),
        (QASM, None, TypeError, None),
    ],
)
def test_submit_rejects_before_sending(make_client, qasm, shots, error, message):
    client, script = make_client({"job_id": "never"})
    with pytest.raises(error) as excinfo:
        client.submit(qasm, shots)
    assert type(excinfo.value) is error
    if message is not None:
        assert excinfo.value.args == (message,)
    assert script.requests == []


class CircuitText(str):
    pass


@pytest.mark.parametrize(
    "qasm, shots",
    [(QASM, 1), ("   ", None), (CircuitText("OPENQASM 2.0;"), 2), (QASM, 0.5), (QASM, 10**9), ("\n\nqreg q[1];\n\n", 3)],
)
def test_submit_request(make_client, qasm, shots):
    client, script = make_client({"job_id": "J1"})
    if shots is None:
        client.submit(qasm=qasm)
    else:
        client.submit(qasm, shots)
    (request,) = script.requests
    assert (request.method, str(request.url)) == ("POST", BASE + "/execute")
    assert request.headers["content-type"] == "application/json"
    body = json.loads(request.content)
    assert list(body.items()) == [("qasm", str(qasm)), ("shots", 1024 if shots is None else shots)]


@pytest.mark.parametrize(
    "doc, job_id, status",
    [
        ({"job_id": "J1"}, "J1", JobStatus.PENDING),
        ({"job_id": "J1", "status": "queued"}, "J1", "queued"),
        ({"status": "RUNNING", "job_id": "J2", "extra": 1}, "J2", "RUNNING"),
        ({"job_id": "J3", "status": None}, "J3", None),
        ({"job_id": 17}, 17, JobStatus.PENDING),
        ({"job_id": ""}, "", JobStatus.PENDING),
    ],
)
def test_submit_returns_job_handle(make_client, doc, job_id, status):
    job = make_client(doc)[0].submit(QASM)
    assert type(job) is CircuitJob
    assert job.job_id == job_id and type(job.job_id) is type(job_id)
    assert job.status == status and type(job.status) is type(status)


@pytest.mark.parametrize(
    "body, error, message",
    [
        ({}, VORAError, "Unexpected response: {}"),
        ({"status": "queued", "id": 3}, VORAError, "Unexpected response: {'status': 'queued', 'id': 3}"),
        (["x"], VORAError, "Unexpected response: ['x']"),
        ("job_id: J", TypeError, None),  # a JSON string holding "job_id"
        (["job_id"], TypeError, None),
        (5, TypeError, None),
        ("<html>", json.JSONDecodeError, None),
    ],
)
def test_submit_unusable_response(make_client, body, error, message):
    client, script = make_client((200, body if body == "<html>" else json.dumps(body)))
    with pytest.raises(error) as excinfo:
        client.submit(QASM)
    assert type(excinfo.value) is error
    if message is not None:
        assert excinfo.value.args == (message,)
    assert len(script.requests) == 1


# ===========================================================================
# get_status / get_result


@pytest.mark.parametrize(
    "job_id, tail", [("abc", "abc"), ("a/b?c=d", "a/b?c=d"), (None, "None"), (42, "42"), ("", ""), ("ü id", "ü id")]
)
@pytest.mark.parametrize("method, path", [("get_status", "/status/"), ("get_result", "/results/")])
def test_job_document_urls(recording, job_id, tail, method, path):
    client = recording({"job_id": "x", "status": "queued"})
    getattr(client, method)(job_id)
    assert client.sent == [("GET", BASE + path + tail, {})]


@pytest.mark.parametrize("method", ["get_status", "get_result"])
def test_job_document_parsed_by_job_result(recording, method):
    doc = {"job_id": "J", "status": "Completed", "result": {"counts": {"0": 3, "1": 1}, "shots": 4}}
    res = getattr(recording(doc), method)(job_id="J")
    assert type(res) is JobResult and res == JobResult.from_dict(doc)
    assert res.raw is doc
    assert res.status is JobStatus.COMPLETED and res.counts == {"0": 3, "1": 1}


def test_attributes_read_at_call_time(make_client, clock):
    client, script = make_client({"job_id": "J"})
    client.base_url = "http://elsewhere:81/v2"
    client.get_status("J")
    client.get_result("J")
    client.submit(QASM)
    assert script.urls == ["http://elsewhere:81/v2/status/J", "http://elsewhere:81/v2/results/J",
                           "http://elsewhere:81/v2/execute"]
    client.max_retries = 1
    script.answers = [httpx.ConnectError("down")]
    with pytest.raises(VORAError):
        client.get_status("J")
    assert len(script.requests) == 5 and clock.sleeps == [0.5]


# ===========================================================================
# wait_for_result

PROCESSING = {"job_id": "J", "status": "processing"}
DONE_NO_COUNTS = {"job_id": "J", "status": "completed"}
RESULT = {"job_id": "J", "status": "completed", "result": {"counts": {"00": 4, "11": 4}, "shots": 8}}


@pytest.mark.parametrize("poll, kwargs", [(2.0, {}), (0.25, {"poll_interval": 0.25}), (0, {"poll_interval": 0})])
def test_polls_until_complete(recording, clock, poll, kwargs):
    done = {"job_id": "J", "status": "completed", "counts": {"00": 3, "11": 5}}
    client = recording(PROCESSING, dict(PROCESSING), done)
    assert client.wait_for_result("J", **kwargs).raw is done
    assert client.urls() == [BASE + "/status/J"] * 3
    assert clock.sleeps == [poll, poll]  # none before the first poll, none after the last


@pytest.mark.parametrize(
    "timeout, poll, request_cost, polls",
    [
        (-1, 2.0, 0.0, 0),
        (-0.001, 2.0, 0.0, 0),
        (0, 2.0, 0.0, 1),
        (4.0, 2.0, 0.0, 3),  # polls at 0, 2 and 4: the deadline is "more than timeout"
        (3.9, 2.0, 0.0, 2),
        (4.0, 2.0, 1.5, 2),  # request time counts: checks at 0, 3.5, then 7
        (10.0, 3.0, 0.0, 4),  # the last sleep is not shortened to the time left
    ],
)
def test_deadline(recording, clock, timeout, poll, request_cost, polls):
    client = recording(PROCESSING, on_request=lambda: clock.advance(request_cost))
    with pytest.raises(models.TimeoutError) as excinfo:
        client.wait_for_result(42, timeout=timeout, poll_interval=poll)
    err = excinfo.value
    assert type(err) is models.TimeoutError and not isinstance(err, builtins.TimeoutError)
    assert err.args == ("Timed out waiting for job 42",)
    assert len(client.sent) == polls
    assert clock.sleeps == [poll] * polls


def test_completed_without_counts_fetches_result(recording, clock):
    client = recording(PROCESSING, DONE_NO_COUNTS, RESULT)
    res = client.wait_for_result("J", poll_interval=1.0)
    assert client.urls() == [BASE + "/status/J", BASE + "/status/J", BASE + "/results/J"]
    assert res.raw is RESULT and res.counts == {"00": 4, "11": 4}
    assert clock.sleeps == [1.0]


class Stop(BaseException):
    pass


@pytest.mark.parametrize(
    "failure, falls_back",
    [(JobNotFoundError("Job not found"), True), (VORAError("HTTP error: 500 "), True), (ValueError("not json"), True),
     (KeyboardInterrupt(), False), (Stop(), False)],
)
def test_result_failure(recording, clock, failure, falls_back):
    status_doc = {"job_id": "J", "status": "COMPLETED", "backend": "b"}
    client = recording(status_doc, failure)
    if falls_back:
        res = client.wait_for_result("J")
        assert res.raw is status_doc and res.status is JobStatus.COMPLETED and res.counts is None
    else:
        with pytest.raises(type(failure)) as excinfo:
            client.wait_for_result("J")
        assert excinfo.value is failure
    assert client.urls() == [BASE + "/status/J", BASE + "/results/J"]


@pytest.mark.parametrize(
    "doc",
    [
        {"job_id": "J", "status": "failed"},
        {"job_id": "J", "status": "FAILED", "error": "boom"},
        {"job_id": "J", "status": "completed", "result": {"counts": {}}},  # empty counts are counts
        {"job_id": "J", "status": "completed", "result": {"counts": {"1": 2}}},
    ],
)
def test_finished_status_returned_without_result_request(recording, clock, doc):
    client = recording(doc)
    assert client.wait_for_result("J").raw is doc
    assert client.urls() == [BASE + "/status/J"]
    assert clock.sleeps == []


def test_status_error_ends_the_wait(recording, clock):
    failure = JobNotFoundError("Job not found")
    client = recording(PROCESSING, failure)
    with pytest.raises(JobNotFoundError) as excinfo:
        client.wait_for_result("J", poll_interval=1.0)
    assert excinfo.value is failure
    assert len(client.sent) == 2 and clock.sleeps == [1.0]


def test_wait_goes_through_overridden_methods(env_key, clock):
    calls = []

    class Custom(VORAClient):
        def get_status(self, job_id):
            calls.append(("status", job_id))
            return JobResult(job_id=job_id, status="completed")  # plain text still counts

        def get_result(self, job_id):
            calls.append(("result", job_id))
            return "fetched"

    assert Custom(base_url="http://unused.invalid").wait_for_result("J7") == "fetched"
    assert calls == [("status", "J7"), ("result", "J7")]


# ===========================================================================
# execute


def test_execute_submits_then_waits_with_defaults(env_key):
    calls = []
    outcome = object()

    class Spy(VORAClient):
        def submit(self, *args, **kwargs):
            calls.append(("submit", args, kwargs))
            return CircuitJob(job_id="J5")

        def wait_for_result(self, *args, **kwargs):
            calls.append(("wait", args, kwargs))
            return outcome

    client = Spy(base_url="http://unused.invalid", timeout=10.0)
    assert client.execute(QASM) is outcome
    assert client.execute(qasm="q", shots=3) is outcome
    assert calls == [("submit", (), {"qasm": QASM, "shots": 1024}), ("wait", ("J5",), {}),
                     ("submit", (), {"qasm": "q", "shots": 3}), ("wait", ("J5",), {})]


def test_execute_waits_300_seconds_whatever_the_client_timeout(make_client, clock):
    client, script = make_client({"job_id": "J", "status": "queued"}, PROCESSING, timeout=10.0)
    with pytest.raises(models.TimeoutError, match="^Timed out waiting for job J$"):
        client.execute(QASM)
    assert json.loads(script.requests[0].content) == {"qasm": QASM, "shots": 1024}
    assert script.urls[1:] == [BASE + "/status/J"] * 151  # at 0, 2, ..., 300 seconds
    assert clock.sleeps == [2.0] * 151


# ===========================================================================
# Against a real HTTP server


def test_execute_end_to_end(service, clock, env_key):
    service.polls_before_done = 2
    res = VORAClient(base_url=service.url + "//").execute(QASM, shots=100)
    assert service.paths() == ["POST /execute"] + ["GET /status/job-1"] * 3
    assert list(service.requests[0].body.items()) == [("qasm", QASM), ("shots", 100)]
    for seen in service.requests:
        assert seen.headers["x-api-key"] == API_KEY
        assert seen.headers["authorization"] == "Bearer " + API_KEY
    assert clock.sleeps == [2.0, 2.0]
    assert res.status is JobStatus.COMPLETED and res.is_successful
    assert res.counts == {"00": 50, "11": 50} and res.raw == service.served[-1][1]


def test_execute_end_to_end_fetches_missing_counts(service, clock, env_key):
    service.counts_in_status = False
    res = VORAClient(base_url=service.url).execute(QASM, shots=7)
    assert service.paths() == ["POST /execute", "GET /status/job-1", "GET /results/job-1"]
    assert (res.counts, res.shots, res.num_qubits) == ({"00": 3, "11": 4}, 7, 2)
    assert clock.sleeps == []


def test_headers_fixed_at_construction(service, clock, env_key):
    client = VORAClient(base_url=service.url)
    client.api_key = "changed"
    client.timeout = 0.001
    assert client.submit(QASM) == CircuitJob(job_id="job-1", status="queued")
    assert service.requests[0].headers["x-api-key"] == API_KEY
    assert service.requests[0].headers["authorization"] == "Bearer " + API_KEY
    assert client._client.timeout == httpx.Timeout(300.0)


def test_service_statuses_end_to_end(service, clock, env_key):
    with pytest.raises(JobNotFoundError, match="^Job not found$"):
        VORAClient(base_url=service.url).wait_for_result("nope")
    with pytest.raises(AuthenticationError, match="^Invalid API key$"):
        VORAClient(api_key="wrong-key", base_url=service.url).submit(QASM)
    assert service.paths() == ["GET /status/nope", "POST /execute"]
    assert clock.sleeps == []
