"""The coroutine objects that AsyncVORAClient's methods return.

They are native objects, so everything Python's own coroutines do for free is
checked here: the send/throw/close protocol driven by hand, what cr_await
shows, the "never awaited" warning, the exception being handled as seen from
inside and outside, asyncio's run/gather/wait_for and cancellation at both
suspension points, and that nothing is left behind in memory.

Most cases replace ``_client`` by an object whose ``request`` returns a
``Gate``, an awaitable that suspends once, so the coroutine can be stepped
without an event loop."""

from __future__ import annotations

import asyncio
import collections.abc
import ctypes
import ctypes.util
import gc
import inspect
import sys
import time
import warnings
import weakref

import httpx
import pytest

from zentrova_sdk.client import AsyncVORAClient
from zentrova_sdk.models import JobNotFoundError, JobResult, JobStatus, ValidationError, VORAError

# A broken coroutine tends to hang inside C++, where only the thread method fires.
pytestmark = pytest.mark.timeout(30, method="thread")

API_KEY = "native-key-93"
BASE = "http://svc.test"
REQUEST = httpx.Request("GET", BASE + "/status/J")


def response(document, status=200):
    return httpx.Response(status, json=document, request=REQUEST)


class Gate:
    """Awaitable that suspends once, handing `token` to whoever drives it. It
    returns what is sent in; an exception thrown in is recorded and re-raised,
    or answered with `on_throw` when that is set."""

    def __init__(self, token="gate", on_throw=None):
        self.token, self.on_throw = token, on_throw
        self.thrown: list[BaseException] = []
        self.closed = False

    def __await__(self):
        try:
            return (yield self.token)
        except GeneratorExit:
            self.closed = True
            raise
        except BaseException as exc:
            self.thrown.append(exc)
            if self.on_throw is None:
                raise
            return self.on_throw


class GateHTTP:
    """Stands in for ``_client``: each request hands out the next awaitable."""

    def __init__(self, *awaitables):
        self.awaitables = list(awaitables)
        self.calls = 0

    def request(self, method, url, **kwargs):
        self.calls += 1
        return self.awaitables.pop(0)


def gated(*awaitables, **kwargs):
    client = AsyncVORAClient(API_KEY, BASE, **kwargs)
    client._client = GateHTTP(*awaitables)
    return client


def mocked(handler):
    client = AsyncVORAClient(API_KEY, BASE)
    client._client = httpx.AsyncClient(transport=httpx.MockTransport(handler))
    return client


CALLS = [("submit", ("OPENQASM 2.0;",)), ("get_status", ("J",)), ("_request_with_retries", ("GET", BASE)),
         ("_sleep", (0,))]


@pytest.mark.parametrize("name, args", CALLS, ids=[c[0] for c in CALLS])
def test_recognised_as_a_coroutine(name, args):
    client = gated()
    coro = getattr(client, name)(*args)
    try:
        assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert coro.cr_code is vars(AsyncVORAClient)[name].__code__
        assert (coro.__name__, coro.__qualname__) == (name, "AsyncVORAClient." + name)
        assert (coro.cr_running, coro.cr_await) == (False, None)
        assert "AsyncVORAClient." + name in repr(coro)
    finally:
        coro.close()
    assert client._client.calls == 0


def test_send_protocol_by_hand():
    gate = Gate()
    client = gated(gate)
    coro = client.get_status("J")
    assert coro.send(None) == "gate"
    routine = coro.cr_await
    assert routine.__qualname__ == "AsyncVORAClient._request_with_retries" and not coro.cr_running
    assert inspect.isgenerator(routine.cr_await) and routine.cr_await.gi_code is Gate.__await__.__code__
    with pytest.raises(StopIteration) as stop:
        coro.send(response({"job_id": "J", "status": "queued"}))
    assert stop.value.value == JobResult.from_dict({"job_id": "J", "status": "queued"})
    assert coro.cr_await is None and client._client.calls == 1
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):  # whatever is thrown in
        coro.throw(KeyError("late"))
    assert coro.close() is None


def test_first_value_sent_must_be_none():
    client = gated(Gate())
    coro = client.get_status("J")
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
        coro.send("early")
    assert client._client.calls == 0
    assert coro.send(None) == "gate"  # still startable
    coro.close()


class TupleResponse(tuple):
    status_code = 200

    def raise_for_status(self):
        return self


class ErrorResponse(Exception):
    status_code = 200

    def raise_for_status(self):
        return self


@pytest.mark.parametrize("value", [TupleResponse((1, 2)), TupleResponse(()), ErrorResponse("as value")])
@pytest.mark.parametrize("via", ["send", "python await"])
def test_return_value_arrives_intact(value, via):
    client = gated(Gate())
    routine = client._request_with_retries("GET", BASE)
    if via == "python await":
        async def caller():
            return await routine
        coro = caller()
    else:
        coro = routine
    assert coro.send(None) == "gate"
    with pytest.raises(StopIteration) as stop:
        coro.send(value)
    assert stop.value.value is value


@pytest.mark.parametrize("case", ["answered", "raised", "retried"])
def test_throw_reaches_the_awaited_object(case):
    failed = response({"job_id": "J", "status": "failed"})
    thrown = {"answered": KeyError("in"), "raised": LookupError("in"), "retried": httpx.ConnectError("in")}[case]
    first = Gate(on_throw=failed if case == "answered" else None)
    second = Gate("second gate")
    client = gated(first, second)
    sleeps = []

    async def record(seconds):
        sleeps.append(seconds)
    client._sleep = record
    coro = client.get_status("J")
    coro.send(None)
    if case == "answered":
        with pytest.raises(StopIteration) as stop:
            coro.throw(thrown)
        assert stop.value.value.status == JobStatus.FAILED
    elif case == "raised":
        with pytest.raises(LookupError) as info:
            coro.throw(thrown)
        assert info.value is thrown
    else:  # the request routine treats it as a transport failure: back off, try again
        assert coro.throw(thrown) == "second gate" and sleeps == [0.5]
        coro.close()
        assert second.closed
    assert first.thrown == [thrown]


@pytest.mark.parametrize("state", ["created", "suspended", "finished"])
def test_close(state):
    gate = Gate()
    client = gated(gate)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = client.get_status("J")
        if state != "created":
            coro.send(None)
        if state == "finished":
            with pytest.raises(StopIteration):
                coro.send(response({}))
        assert coro.close() is None
        assert coro.close() is None
        assert gate.closed is (state == "suspended") and coro.cr_await is None
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)
        del coro
        gc.collect()
    assert [w for w in caught if issubclass(w.category, RuntimeWarning)] == []
    assert client._client.calls == (0 if state == "created" else 1)


def test_reentry_is_refused():
    seen = []

    class Reenter:
        def __await__(self):
            for attempt in (lambda: outer.send(None), lambda: outer.throw(KeyError("x")), outer.close):
                try:
                    attempt()
                except ValueError as exc:
                    seen.append(str(exc))
            seen.append(outer.cr_running)
            return response({"status": "queued"})
            yield  # noqa: unreachable - makes this a generator

    outer = gated(Reenter()).get_status("J")
    with pytest.raises(StopIteration) as stop:
        outer.send(None)
    assert stop.value.value.status == JobStatus.QUEUED
    assert seen == ["coroutine already executing"] * 3 + [True]
    assert outer.cr_running is False


@pytest.mark.parametrize("name, args", CALLS, ids=[c[0] for c in CALLS])
def test_never_awaited_warns_and_runs_nothing(name, args, monkeypatch):
    slept = []
    monkeypatch.setattr(asyncio, "sleep", lambda seconds: slept.append(seconds))
    client = gated(Gate())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        getattr(client, name)(*args)
        gc.collect()
        with pytest.raises(TypeError, match=r"^AsyncVORAClient\.%s\(\) missing" % name):
            getattr(client, name)()  # binding fails at the call: no coroutine, no warning
        gc.collect()
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, f"coroutine 'AsyncVORAClient.{name}' was never awaited")]
    assert client._client.calls == 0 and slept == []


async def raise_within(handling, make_coro):
    """Awaits make_coro(), inside an `except` block when `handling`."""
    if not handling:
        try:
            await make_coro()
        except VORAError as exc:
            return exc, None
    try:
        raise KeyError("outer")
    except KeyError as outer:
        try:
            await make_coro()
        except VORAError as exc:
            return exc, outer


async def not_found(request):
    return httpx.Response(404)


async def refused(request):
    raise httpx.ConnectError("refused")


@pytest.mark.parametrize("handling", [True, False])
@pytest.mark.parametrize("source", ["validation", "status", "no attempt", "retries spent"])
def test_context_comes_from_the_callers_handler(handling, source):
    client = mocked(refused if source == "retries spent" else not_found)
    client.max_retries = {"no attempt": -1, "retries spent": 0}.get(source, 3)
    make_coro = (lambda: client.submit("")) if source == "validation" else (lambda: client.get_status("J"))
    exc, outer = asyncio.run(raise_within(handling, make_coro))
    expected = {"validation": ValidationError, "status": JobNotFoundError}.get(source, VORAError)
    assert type(exc) is expected and exc.__cause__ is None
    if source == "retries spent":  # the wrapped failure sits in between
        assert isinstance(exc.__context__, httpx.ConnectError) and exc.__context__.__context__ is outer
    else:
        assert exc.__context__ is outer


def test_handled_exception_is_private_to_the_coroutine():
    """While the routine backs off inside its handler, the failure is what the
    back-off sees as handled, and nobody else on the loop sees it."""
    failure = httpx.ConnectError("down")
    seen = {}

    async def handler(request):
        if "backoff" not in seen:
            raise failure
        return httpx.Response(200, json={"status": "queued"})

    async def main():
        client = mocked(handler)
        backing_off, release = asyncio.Event(), asyncio.Event()

        async def backoff(seconds):
            seen["backoff"] = sys.exc_info()[1]
            backing_off.set()
            await release.wait()

        async def bystander():
            await backing_off.wait()
            seen["bystander"] = sys.exc_info()
            release.set()
        client._sleep = backoff
        result, _ = await asyncio.gather(client.get_status("J"), bystander())
        return result, sys.exc_info()
    result, after = asyncio.run(main())
    assert result.status == JobStatus.QUEUED and after == (None, None, None)
    assert seen == {"backoff": failure, "bystander": (None, None, None)}


def test_stop_iteration_inside_becomes_runtime_error():
    client = AsyncVORAClient(API_KEY, BASE)
    stop = StopIteration("leaked")

    class HTTP:
        def request(self, *args, **kwargs):
            raise stop
    client._client = HTTP()
    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as info:
        asyncio.run(client.get_status("J"))
    assert info.value.__cause__ is stop


def test_asyncio_run_gather_and_wait_for():
    hung = []

    async def handler(request):
        if request.url.path == "/status/slow":
            try:
                await asyncio.Event().wait()
            except asyncio.CancelledError:
                hung.append("cancelled")
                raise
        if request.method == "POST":
            return httpx.Response(200, json={"job_id": "J7"})
        return httpx.Response(200, json={"status": "completed", "counts": {"1": 2}})

    client = mocked(handler)
    assert asyncio.run(client.get_status("J")).counts == {"1": 2}

    async def main():
        job, status = await asyncio.gather(client.submit("OPENQASM 2.0;"), client.get_status("J"))
        started = time.monotonic()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(client.get_status("slow"), 0.05)
        return job, status, time.monotonic() - started, asyncio.all_tasks() - {asyncio.current_task()}
    job, status, waited, left = asyncio.run(main())
    assert job.job_id == "J7" and status.status == JobStatus.COMPLETED
    assert 0.04 < waited < 1.0 and hung == ["cancelled"] and left == set()


def _chain(coro):
    while coro is not None:
        yield coro
        coro = getattr(coro, "cr_await", None)


@pytest.mark.parametrize("point", ["request", "back-off"])
def test_cancellation_at_each_suspension_point(point):
    log = []

    async def main():
        client = AsyncVORAClient(API_KEY, BASE)

        async def handler(request):
            log.append("request")
            if point == "back-off":
                raise httpx.ConnectError("down")
            try:
                await asyncio.Event().wait()
            except asyncio.CancelledError:
                log.append("request cancelled")
                raise
        client._client = httpx.AsyncClient(transport=httpx.MockTransport(handler))
        # The real back-off, made long: cancellation must not wait it out.
        client._sleep = lambda seconds: AsyncVORAClient._sleep(client, 3600)
        coro = client.get_status("J")
        task = asyncio.ensure_future(coro)
        marker = "AsyncVORAClient._sleep" if point == "back-off" else "handler"
        for _ in range(200):
            await asyncio.sleep(0)
            if any(marker in getattr(c, "__qualname__", "") for c in _chain(coro)):
                break
        else:
            pytest.fail("never reached " + point)
        started = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert time.monotonic() - started < 1.0 and task.cancelled()
        assert asyncio.all_tasks() == {asyncio.current_task()}
        return weakref.ref(client), weakref.ref(coro)

    refs = asyncio.run(main())
    gc.collect()
    assert [r() for r in refs] == [None, None]
    assert log == (["request", "request cancelled"] if point == "request" else ["request"])


def test_second_awaiter_is_refused():
    gate = Gate()
    coro = gated(gate).get_status("J")
    assert coro.send(None) == "gate"

    async def second():
        return await coro
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        second().send(None)
    assert gate.thrown == [] and coro.cr_await is not None


class Looped:
    """Stands in for ``_client``; its failures keep a frame that leads back to
    the client, as a handler closing over the client would."""

    def request(self, method, url, **kwargs):
        owner = self.owner  # noqa: F841 - kept alive by the traceback
        raise httpx.ConnectError("down")


@pytest.mark.parametrize("how", ["in the request", "in the back-off", "pending task of a dropped loop"])
def test_suspended_coroutine_in_a_cycle_is_collected(how):
    """Python's own coroutines in these situations are collected; a leak here
    keeps the client, its connections and the job's state for good."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if how == "pending task of a dropped loop":
            loop = asyncio.new_event_loop()

            async def hang(request):
                await asyncio.Event().wait()
            client = mocked(hang)
            pending = loop.create_task(client.get_status("J"))
            loop.run_until_complete(asyncio.sleep(0.01))
            loop.close()
        else:
            if how == "in the request":
                client = gated(Gate())
            else:
                client = AsyncVORAClient(API_KEY, BASE)
                client._client = Looped()
                client._client.owner = client
                client._sleep = lambda seconds: Gate("back-off")
            pending = client.get_status("J")
            assert pending.send(None) in ("gate", "back-off")
            client.pending = pending
        refs = [weakref.ref(client), weakref.ref(pending)]
        del client, pending
        gc.collect()
    assert [r() for r in refs] == [None, None]


# ---------------------------------------------------------------------------
# Memory over many coroutines


def _malloc_in_use():
    """Bytes in use on the C heap (where C++ frames live), or None off glibc."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        info = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]
    info.restype = MallInfo2
    got = info()
    return got.uordblks + got.hblkhd


READY = response({"status": "queued"})


class Instant:
    async def _answer(self):
        return READY

    def request(self, method, url, **kwargs):
        return self._answer()


class Hang:
    def request(self, method, url, **kwargs):
        return asyncio.Event().wait()


def _awaited(client, job, n):
    client._client = Instant()

    async def main():
        for _ in range(n):
            await client.get_status(job)
    asyncio.run(main())


def _cancelled(client, job, n):
    client._client = Hang()

    async def main():
        tasks = [asyncio.ensure_future(client.get_status(job)) for _ in range(n)]
        await asyncio.sleep(0)
        for task in tasks:
            task.cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        assert all(isinstance(r, asyncio.CancelledError) for r in results)
    asyncio.run(main())


def _dropped(client, job, n):
    for _ in range(n):
        client.get_status(job)


def _dropped_suspended(client, job, n):
    client._client = http = GateHTTP(*(Gate() for _ in range(n)))
    for _ in range(n):
        client.get_status(job).send(None)
    assert http.calls == n


@pytest.mark.parametrize("workload", [_awaited, _cancelled, _dropped, _dropped_suspended],
                         ids=["awaited", "cancelled", "dropped unawaited", "dropped suspended"])
def test_memory_stays_flat(workload):
    n = 10_000
    client = AsyncVORAClient(API_KEY, BASE)
    job = "job-" + "x" * 40
    function = vars(AsyncVORAClient)["get_status"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        workload(client, job, n)  # warm-up: caches, free lists, arenas
        gc.collect()
        counts = sys.getrefcount(client), sys.getrefcount(job), sys.getrefcount(function)
        blocks_before, heap_before = sys.getallocatedblocks(), _malloc_in_use()
        started = time.monotonic()
        workload(client, job, n)
        elapsed = time.monotonic() - started
        gc.collect()
        blocks, heap_after = sys.getallocatedblocks() - blocks_before, _malloc_in_use()
    # A leak of one object, one reference or one C++ frame per coroutine shows
    # as 10^4 of them; what is left here is caches settling.
    assert (sys.getrefcount(client), sys.getrefcount(job), sys.getrefcount(function)) == counts
    assert blocks < n // 20, f"{blocks} more Python memory blocks in use after {n} coroutines"
    if heap_before is not None:
        grown = heap_after - heap_before
        assert grown < 160 * 1024, f"C heap grew by {grown} bytes over {n} coroutines"
    assert elapsed < 5.0
