"""Many threads at once on the modules' objects. Each scenario runs in a fresh
interpreter (so that what is made on first use has not been made yet), with
the GIL off where the interpreter is free-threaded: first uses of what the
modules make lazily, one client shared by all threads, one coroutine driven
by all of them, input dicts that other threads mutate, and functions renamed
or given new defaults while they are called. Under the GIL the same
scenarios check that nothing relies on a thread switch never happening."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import zentrova_sdk

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PACKAGE_ROOT = str(Path(os.path.abspath(zentrova_sdk.__file__)).parents[1])

PRELUDE = r"""
import asyncio, gc, inspect, sys, threading, types
import httpx
import zentrova_sdk.cli as cli
import zentrova_sdk.client as client_mod
import zentrova_sdk.models as models

THREADS = 8
results = {}

def together(work, threads=THREADS):
    # Runs work(i) in `threads` threads released at the same moment; returns their results.
    barrier = threading.Barrier(threads)
    out = [None] * threads
    def run(i):
        barrier.wait()
        try:
            out[i] = ("ok", work(i))
        except BaseException as exc:
            out[i] = ("raise", type(exc).__name__, str(exc))
    pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return out

def native_functions():
    found = []
    for module in (models, client_mod, cli):
        for value in list(vars(module).values()):
            if type(value).__name__ == "function" and not isinstance(value, types.FunctionType):
                found.append(value)
            elif isinstance(value, type) and value.__module__ == module.__name__:
                for member in list(vars(value).values()):
                    f = getattr(member, "__func__", None) or getattr(member, "fget", None) or member
                    if type(f).__name__ == "function" and not isinstance(f, types.FunctionType):
                        found.append(f)
    return found
"""

SCENARIOS = {
    # Every thread asks for the first code object, __annotate__ and
    # __annotations__ of every function, and makes the module's first coroutine.
    "first uses": r"""
functions = native_functions()
def first_uses(i):
    seen = [id(f.__code__) for f in functions]
    seen += [id(getattr(f, "__annotate__", None)) for f in functions]
    seen += [id(f.__annotations__) for f in functions]
    coro = client_mod.AsyncVORAClient("k", "http://h")._sleep(0)
    seen.append(id(type(coro)))
    assert coro.cr_frame is coro.cr_frame
    coro.close()
    return seen
outcomes = together(first_uses)
assert all(o[0] == "ok" for o in outcomes), outcomes
assert all(o[1] == outcomes[0][1] for o in outcomes), "threads saw different objects"
print("same objects in", len(outcomes), "threads")
""",
    # One synchronous client, shared: every request gets its own answer.
    "shared client": r"""
def handler(request):
    job = request.url.path.rsplit("/", 1)[-1]
    return httpx.Response(200, json={"job_id": job, "status": "completed", "counts": {"0": int(job[1:]) + 1}})
client = client_mod.VORAClient("k", "http://h")
client._client = httpx.Client(transport=httpx.MockTransport(handler))
def poll(i):
    out = []
    for n in range(200):
        job = f"j{i * 1000 + n}"
        result = client.get_status(job)
        assert result.job_id == job and result.counts == {"0": i * 1000 + n + 1}, result
        assert result.get_probabilities() == {"0": 1.0}
        out.append(result.status)
    return out
outcomes = together(poll)
failed = [o for o in outcomes if o != ("ok", [models.JobStatus.COMPLETED] * 200)]
assert not failed, failed
""",
    # One coroutine, sent into by all threads: each step runs in one of them,
    # the others are refused, and the coroutine sees every step once.
    "one coroutine": r"""
STEPS = 2000
class Steps:
    def __init__(self):
        self.taken = 0
    def __await__(self):
        for _ in range(STEPS):
            self.taken += 1
            yield None
        return "done"
awaitable = Steps()
asyncio.sleep = lambda seconds: awaitable  # what _sleep awaits
coro = client_mod.AsyncVORAClient("k", "http://h")._sleep(1)
def drive(i):
    sent = refused = 0
    while True:
        try:
            coro.send(None)
            sent += 1
        except StopIteration as stop:
            return sent + 1, refused, stop.value
        except ValueError as exc:
            assert str(exc) == "coroutine already executing", exc
            refused += 1
        except RuntimeError as exc:
            assert str(exc) == "cannot reuse already awaited coroutine", exc
            return sent, refused, "finished"
outcomes = together(drive)
assert all(o[0] == "ok" for o in outcomes), outcomes
steps = sum(o[1][0] for o in outcomes)
assert steps == STEPS + 1, steps
assert awaitable.taken == STEPS
assert [o[1][2] for o in outcomes].count(None) == 1  # the body returned once
assert coro.cr_frame is None and not coro.cr_running
""",
    # Documents and counts that other threads change while they are read.
    "mutated inputs": r"""
document = {"job_id": "j", "status": "completed", "counts": {"00": 1, "11": 1}, "shots": 2}
counts = {format(k, "04b"): 1 for k in range(16)}
record = models.JobResult("j", models.JobStatus.COMPLETED, counts=counts)
stop = threading.Event()
def mutate():
    n = 0
    while not stop.is_set():
        n += 1
        counts[format(n % 32, "05b")] = n
        counts.pop(format((n + 7) % 32, "05b"), None)
        document["status"] = ("completed", "running", "failed", "")[n % 4]
        document.pop("shots", None) if n % 2 else document.update(shots=n)
        document["result"] = {"counts": dict(counts)} if n % 3 else {}
def read(i):
    for _ in range(3000):
        result = models.JobResult.from_dict(document)
        assert result.job_id == "j"
        probabilities = record.get_probabilities()
        assert all(0.0 <= p <= 1.0 for p in probabilities.values()), probabilities
    return True
writers = [threading.Thread(target=mutate) for _ in range(2)]
for w in writers:
    w.start()
try:
    outcomes = together(read, threads=6)
finally:
    stop.set()
    for w in writers:
        w.join()
assert all(o == ("ok", True) for o in outcomes), outcomes
""",
    # Functions renamed and given new defaults while other threads call them,
    # with arguments that fail binding (the message names the function) and
    # with arguments that take the defaults.
    "attributes while called": r"""
f = vars(models.JobResult)["get_probabilities"]
init = client_mod.VORAClient.__init__
client_mod.httpx = types.SimpleNamespace(Client=lambda **options: options)  # a client is made per call
stop = threading.Event()
def assign():
    n = 0
    while not stop.is_set():
        n += 1
        f.__qualname__ = f"name{n}"
        f.__name__ = f"n{n}"
        init.__defaults__ = (None, f"http://h{n}", float(n), n)
        init.__kwdefaults__ = {"x": n} if n % 2 else None
        f.__annotations__ = {"return": str(n)} if n % 2 else {}
        if hasattr(f, "__annotate__"):
            f.__annotate__ = None
def call(i):
    for _ in range(3000):
        try:
            f(1, 2, 3)
        except TypeError as exc:
            assert "takes 1 positional argument but 3 were given" in str(exc), exc
        client = client_mod.VORAClient("k")
        assert client.base_url.startswith("http://h") and client.max_retries == float(client.timeout), vars(client)
        f.__annotations__
    return True
writer = threading.Thread(target=assign)
writer.start()
try:
    outcomes = together(call, threads=6)
finally:
    stop.set()
    writer.join()
assert all(o == ("ok", True) for o in outcomes), outcomes
""",
}


def run_child(scenario: str) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT + os.pathsep + os.environ.get("PYTHONPATH", "")}
    if FREE_THREADED:
        env["PYTHON_GIL"] = "0"
    code = PRELUDE + SCENARIOS[scenario] + "\nassert not FREE or not sys._is_gil_enabled()\n"
    code = f"FREE = {FREE_THREADED}\n" + code
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                          env=env, timeout=600)


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_threads(scenario):
    runs = 10 if scenario == "first uses" else 1  # each a fresh interpreter: a race may fall either way
    for _ in range(runs):
        child = run_child(scenario)
        assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout[-3000:]}\n{child.stderr[-5000:]}"
