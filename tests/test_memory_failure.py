"""Running out of memory at any single allocation of an operation raises
MemoryError (nothing else: no crash, no hang, no SystemError from a result
returned with an error set), and leaves everything working once memory is
back. (Not the import: the data classes' generated methods go
through the interpreter's own compiler, whose failure paths can crash.)

Each case fails exactly one allocation, the n-th after the start, for every
n until the operation needs no more (CPython's _testcapi.set_nomemory); it
runs in a child interpreter so that a crash shows as its signal."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter cannot fail allocations on demand", allow_module_level=True)

CHILD = textwrap.dedent(
    r"""
    import sys, _testcapi

    class Response:
        status_code = 200
        def __init__(self, document):
            self.document = document
        def raise_for_status(self):
            pass
        def json(self):
            return dict(self.document)

    DOCUMENT = {"job_id": "j1", "status": "running", "result": {"counts": {"00": 3, "11": 5}}}

    class Sync:
        def request(self, method, url, **kwargs):
            return Response(DOCUMENT)

    class Async:
        async def request(self, method, url, **kwargs):
            return Response(DOCUMENT)

    def drive(coroutine):
        try:
            coroutine.send(None)
        except StopIteration as stop:
            return stop.value
        coroutine.close()
        raise AssertionError("the coroutine waited for nothing")

    import zentrova_sdk.client as client_module
    sync = client_module.VORAClient(api_key="k", base_url="http://svc")
    sync._client = Sync()
    asynchronous = client_module.AsyncVORAClient(api_key="k", base_url="http://svc")
    asynchronous._client = Async()
    models = sys.modules["zentrova_sdk.models"]
    OPERATIONS = {
        "from_dict": lambda: models.JobResult.from_dict(DOCUMENT).get_probabilities(),
        "get_status": lambda: sync.get_status("j1").counts,
        "submit": lambda: sync.submit("OPENQASM 2.0;", 8).job_id,
        "async get_status": lambda: drive(asynchronous.get_status("j1")).counts,
        "async submit": lambda: drive(asynchronous.submit("OPENQASM 2.0;", 8)).job_id,
    }

    operation = OPERATIONS[sys.argv[1]]
    expected = operation()
    failures = clean = n = 0
    # Past the operation's last allocation every run is clean; before it, a
    # run can be too, where the allocation failed is one a free list serves.
    while clean < 200:
        try:
            _testcapi.set_nomemory(n, n + 1)
            try:
                outcome = operation()
            finally:
                _testcapi.remove_mem_hooks()
        except MemoryError:
            failures += 1
            outcome = None
        clean = clean + 1 if outcome == expected else 0
        assert operation() == expected  # memory is back: all is as before
        n += 1
    print(n, failures)
    """
)


@pytest.mark.parametrize("operation", ["from_dict", "get_status", "submit", "async get_status", "async submit"])
def test_each_allocation_failure_is_an_exception(operation):
    done = subprocess.run([sys.executable, "-c", CHILD, operation], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr[-3000:]}"
    allocations, failures = map(int, done.stdout.split())
    # Failing the operation's allocations raised MemoryError.
    assert allocations > 200 and failures > 0, done.stdout
