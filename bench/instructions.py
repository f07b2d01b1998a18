"""Instructions per operation (callgrind) and wall-time medians of the
extension modules against their pure-Python twin, in one table.

    .venv/bin/python bench/instructions.py [--quick] [--runs N] [--package build/devpkg] [--keep DIR]

Instruction counts are what the C++ is tuned against: unlike wall time they
do not depend on what else the machine is doing. Two invocations on the same
build give the same loop counts to the instruction (the import's, which
reads a temporary directory of another name each time, to a few thousandths
of a percent). What does move a count is the interpreter's memory layout: an
unrelated change can shift a row by a fraction of a percent, and now and
then by a few percent. So the script makes several callgrind runs (--runs),
each with the layout shifted a little, and shows every run's counts beside
their median: a difference between two builds within that spread is noise,
and one not much beyond it deserves a second look with --runs 6.

How the counts are taken. A child interpreter runs every operation's loop
under `valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no`;
bench/callgrind_control.c, built on the fly and called through ctypes, turns
instrumentation on once the setup is done, then around each loop zeroes the
counters, turns collection on, off again, and dumps the count under the
loop's name, so that one valgrind run measures everything. Each loop
runs a warm-up first, outside the count. Every figure is net of an empty loop
iteration of the same shape (the same loop without the operation), counted in
the same run with the same number of iterations. The children run with
PYTHONHASHSEED=0, and with everything built before the loops frozen out of the
collector (gc.freeze) and a collection before each loop, so that neither hash
order nor a collection of unrelated objects lands in one loop and not another.
The collector stays on: its share is part of an operation's cost. Where an
operation leaves reference cycles behind (the twin's retry loop keeps the
exception in the frame its traceback holds; an httpx round trip), that share
grows with the iterations towards a steady value, by a few percent for those
rows; n is fixed per row, so runs compare, and --quick's n is smaller.
`import zentrova_sdk.client` is counted in a fresh interpreter of its own,
above an `import httpx` and a collection made before counting starts;
likewise the twin's.

Both implementations run on the same fakes, built by the same code: a
`_client` whose request returns a prebuilt response (a status code, a
raise_for_status that does nothing, a json() returning a prebuilt document)
or raises httpx.ConnectError, and a `time` global whose clock stands still and
whose sleep returns at once. Before anything is measured, each operation is
run once on both sides with its requests (method, URL, arguments) and sleeps
recorded, and all of it must agree, or the comparison means nothing.

Wall times are medians over alternating repeats outside valgrind, net of the
same empty loops; the import's are medians over fresh interpreters.

The package measured is a copy of --package taken under the lock of
tools/devbuild.sh, so a rebuild by someone else during the run changes
nothing. --keep DIR keeps the callgrind dumps (one per loop, named by its
trigger) for callgrind_annotate.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import subprocess
import sys
import time
from itertools import cycle, repeat
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CONTROL_SOURCE = Path(__file__).with_name("callgrind_control.c")
BUILD_LOCK = "/tmp/zentrova-devbuild.lock"  # the lock tools/devbuild.sh builds under

# ---------------------------------------------------------------------------
# What the operations read

API_KEY = "bench-key"
BASE = "http://bench.invalid"
JOB = "job-4f2a9c"
QASM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\nmeasure q -> c;\n'
COMPLETED = {
    "job_id": JOB,
    "status": "completed",
    "result": {
        "counts": {"00": 497, "01": 12, "10": 9, "11": 506},
        "num_qubits": 2,
        "shots": 1024,
        "backend": "statevector_simulator",
    },
}
RUNNING = {"job_id": JOB, "status": "running"}  # a status JobStatus does not know
PROCESSING = {"job_id": JOB, "status": "processing"}
SUBMITTED = {"job_id": JOB, "status": "queued"}
NOT_FOUND = {"detail": "Job not found"}
PROVIDER = {"id": "ionq.simulator", "name": "IonQ Simulator", "type": "simulator", "num_qubits": 29,
            "available": True}


def counts(keys: int) -> dict:
    width = max(1, (keys - 1).bit_length())
    return {"job_id": JOB, "status": "completed", "counts": {format(i, f"0{width}b"): 1 + i % 97 for i in range(keys)}}


# The three catalogue dialects, 10^3 entries each; a quarter of the entries
# leave out the optional fields.
AZURE = [{"id": f"ionq.qpu.{i}", "name": f"IonQ QPU {i}", "type": "qpu", "num_qubits": 11 + i % 25,
          "available": i % 7 != 0} if i % 4 else {"id": f"ionq.qpu.{i}", "name": f"IonQ QPU {i}"}
         for i in range(1000)]
IBM = {"backends": [{"backend_name": f"ibm_backend_{i}", "backend_type": "hardware", "num_qubits": 127}
                    if i % 4 else {"backend_name": f"ibm_backend_{i}"} for i in range(1000)]}
BRAKET = {"devices": [{"name": f"device-{i}", "type": "QPU", "num_qubits": 30} if i % 4 else {"name": f"device-{i}"}
                      for i in range(1000)]}

# ---------------------------------------------------------------------------
# The fakes. Builtins stand in for their trivial methods, so that the fakes
# cost next to nothing on either side: float() is 0.0 (a clock that never
# moves), float(seconds) returns at once (a sleep that does not wait), tuple()
# does nothing.


class Response:
    """What the fake `_client` answers."""

    __slots__ = ("status_code", "json")
    raise_for_status = staticmethod(tuple)

    def __init__(self, status_code: int, document: object) -> None:
        self.status_code = status_code
        self.json = repeat(document).__next__


class StoppedClock:
    """The client modules' `time` global while operations are measured."""

    time = staticmethod(float)
    sleep = staticmethod(float)


class RecordingClock:
    """The `time` global while the outcomes are compared: it stands still too,
    and keeps the sleeps."""

    def __init__(self) -> None:
        self.sleeps: list = []

    def time(self) -> float:
        return 0.0

    def sleep(self, seconds) -> None:
        self.sleeps.append(seconds)


class FakeHTTP:
    """The `_client` of a client under measurement."""

    def __init__(self, request) -> None:
        self.request = request


def answering(*responses):
    """A `request` that answers the responses in turn, over and over."""
    following = cycle(responses).__next__

    def request(method, url, **kwargs):
        return following()

    return request


def answering_async(*responses):
    following = cycle(responses).__next__

    async def request(method, url, **kwargs):  # completes when first sent to
        return following()

    return request


def refusing(httpx):
    def request(method, url, **kwargs):
        raise httpx.ConnectError("connection refused")

    return request


# ---------------------------------------------------------------------------
# The operations

# key, label, loop shape, iterations under callgrind (--quick: a fifth)
CASES = [
    ("from_dict.typical", "JobResult.from_dict, completed with counts", "call", 2000),
    ("from_dict.empty", "JobResult.from_dict({})", "call", 2000),
    ("from_dict.unknown", 'JobResult.from_dict, status "running"', "call", 2000),
    ("provider.from_dict", "ProviderInfo.from_dict", "call", 2000),
    ("probabilities.8", "JobResult.get_probabilities, 8 keys", "call0", 2000),
    ("probabilities.1024", "JobResult.get_probabilities, 1024 keys", "call0", 100),
    ("get_status", "VORAClient.get_status", "call", 1000),
    ("submit", "VORAClient.submit", "call", 1000),
    ("wait_for_result", "VORAClient.wait_for_result, 3 polls", "call", 300),
    ("list_providers.azure_quantum", "list_providers, azure_quantum, 10^3", "call", 5),
    ("list_providers.ibm_quantum", "list_providers, ibm_quantum, 10^3", "call", 5),
    ("list_providers.braket", "list_providers, braket, 10^3", "call", 5),
    ("get_status.404", "get_status, 404 -> JobNotFoundError", "catch", 500),
    ("retries", "get_status, ConnectError x4 -> VORAError", "catch", 1000),
    ("async.get_status", "awaited AsyncVORAClient.get_status", "drive", 1000),
    ("mock.get_status", "get_status, MockTransport, end to end", "call", 100),
    ("mock.bare", "get_status, MockTransport, vs bare httpx", "call", 100),
    ("import", "import zentrova_sdk.client above httpx", "import", 1),
]
LOOPED = [case for case in CASES if case[2] != "import"]
# What each client operation must do on its fakes, for the comparison to be
# of the path it is named after: requests made, sleeps asked for.
SCRIPT = {
    "get_status": (1, []),
    "submit": (1, []),
    "wait_for_result": (3, [2.0, 2.0]),
    "list_providers.azure_quantum": (1, []),
    "list_providers.ibm_quantum": (1, []),
    "list_providers.braket": (1, []),
    "get_status.404": (1, []),
    "retries": (4, [0.5, 1.0, 2.0]),
    "async.get_status": (1, []),
}
SIDES = ("ours", "base")  # base: the twin, or bare httpx in the "vs bare httpx" row
IMPORTED = {"ours": "zentrova_sdk.client", "base": "zentrova_twin.client"}


def operations(models, client) -> dict:
    """key -> (function, argument, error caught, client module) for one
    implementation, every client on fakes of its own built the same way."""
    import httpx

    def sync_client(*responses, request=None):
        made = client.VORAClient(API_KEY, BASE, max_retries=3)
        made._client = FakeHTTP(request or answering(*responses))
        return made

    def async_client(*responses):
        made = client.AsyncVORAClient(API_KEY, BASE, max_retries=3)
        made._client = FakeHTTP(answering_async(*responses))
        return made

    mocked = client.VORAClient(API_KEY, BASE)
    mocked._client = httpx.Client(transport=httpx.MockTransport(mock_answer(httpx)), headers=mocked._client.headers)
    JobResult = models.JobResult
    found = {
        "from_dict.typical": (JobResult.from_dict, COMPLETED),
        "from_dict.empty": (JobResult.from_dict, {}),
        "from_dict.unknown": (JobResult.from_dict, RUNNING),
        "provider.from_dict": (models.ProviderInfo.from_dict, PROVIDER),
        "probabilities.8": (JobResult.from_dict(counts(8)).get_probabilities, None),
        "probabilities.1024": (JobResult.from_dict(counts(1024)).get_probabilities, None),
        "get_status": (sync_client(Response(200, COMPLETED)).get_status, JOB),
        "submit": (sync_client(Response(200, SUBMITTED)).submit, QASM),
        "wait_for_result": (sync_client(Response(200, PROCESSING), Response(200, PROCESSING),
                                        Response(200, COMPLETED)).wait_for_result, JOB),
        "list_providers.azure_quantum": (sync_client(Response(200, AZURE)).list_providers, "azure_quantum"),
        "list_providers.ibm_quantum": (sync_client(Response(200, IBM)).list_providers, "ibm_quantum"),
        "list_providers.braket": (sync_client(Response(200, BRAKET)).list_providers, "braket"),
        "get_status.404": (sync_client(Response(404, NOT_FOUND)).get_status, JOB, models.JobNotFoundError),
        "retries": (sync_client(request=refusing(httpx)).get_status, JOB, models.VORAError),
        "async.get_status": (async_client(Response(200, COMPLETED)).get_status, JOB),
        "mock.get_status": (mocked.get_status, JOB),
    }
    return {key: (entry[0], entry[1], entry[2] if len(entry) > 2 else None, client) for key, entry in found.items()}


def mock_answer(httpx):
    import json

    body, headers = json.dumps(COMPLETED).encode(), {"content-type": "application/json"}

    def answer(request):
        return httpx.Response(200, content=body, headers=headers)

    return answer


def bare_get_status(models, headers):
    """What a caller writes without the client: the same GET on the same
    transport and headers, its document through our JobResult.from_dict."""
    import httpx

    bare = httpx.Client(transport=httpx.MockTransport(mock_answer(httpx)), headers=headers)
    from_dict = models.JobResult.from_dict

    def get_status(job_id):
        return from_dict(bare.get(f"{BASE}/status/{job_id}").json())

    return get_status


def pairs() -> dict:
    """key -> (ours, base) for every looped operation."""
    import zentrova_sdk.client
    import zentrova_sdk.models
    import zentrova_twin.client
    import zentrova_twin.models

    for module in (zentrova_sdk.client, zentrova_twin.client):
        setattr(module, "time", StoppedClock)  # its global, read at each use
    ours = operations(zentrova_sdk.models, zentrova_sdk.client)
    twin = operations(zentrova_twin.models, zentrova_twin.client)
    found = {key: (ours[key], twin[key]) for key in ours}
    mocked = ours["mock.get_status"]
    bare = bare_get_status(zentrova_sdk.models, mocked[0].__self__._client.headers)
    found["mock.bare"] = (mocked, (bare, JOB, None, None))
    return found


# ---------------------------------------------------------------------------
# Loops: (measured, empty). The empty loop is the measured one without the
# operation; it runs with the same arguments and iterations.


def call(n, fn, arg, error):
    for _ in repeat(None, n):
        fn(arg)


def call0(n, fn, arg, error):
    for _ in repeat(None, n):
        fn()


def catch(n, fn, arg, error):
    for _ in repeat(None, n):
        try:
            fn(arg)
        except error:
            pass


def drive(n, fn, arg, error):
    """Awaits fn(arg) by hand, as an event loop would."""
    for _ in repeat(None, n):
        coroutine = fn(arg)
        try:
            while True:
                coroutine.send(None)
        except StopIteration:
            pass


def idle(n, fn, arg, error):
    for _ in repeat(None, n):
        pass


def idle_catching(n, fn, arg, error):
    for _ in repeat(None, n):
        try:
            pass
        except error:
            pass


SHAPES = {"call": (call, idle), "call0": (call0, idle), "catch": (catch, idle_catching), "drive": (drive, idle)}


def settle() -> None:
    """Keeps what was built before the loops out of the collector's way."""
    gc.collect()
    gc.freeze()


# ---------------------------------------------------------------------------
# Both sides must give the same outcome


def canon(value):
    from enum import Enum

    if isinstance(value, Enum):
        return ("enum", value.value)
    if isinstance(value, (list, tuple)):
        return [canon(item) for item in value]
    if isinstance(value, dict):
        return {key: canon(item) for key, item in value.items()}
    if hasattr(value, "__dict__") and not isinstance(value, type):
        return (type(value).__name__, canon(vars(value)))
    return value


def outcome(shape, fn, arg, error):
    try:
        if shape == "call0":
            return ("returns", canon(fn()))
        if shape == "drive":
            coroutine = fn(arg)
            for sends in range(1, 10):
                try:
                    coroutine.send(None)
                except StopIteration as stop:
                    return ("returns after sends", sends, canon(stop.value))
            raise AssertionError("the coroutine did not finish")
        return ("returns", canon(fn(arg)))
    except Exception as e:
        if error is None or not isinstance(e, error):
            raise
        return ("raises", type(e).__name__, str(e))


def recorded(key, shape, entry):
    """The outcome of one call, with the requests (method, URL, arguments)
    and the sleeps it made."""
    fn, arg, error, client = entry
    http = getattr(getattr(fn, "__self__", None), "_client", None)
    if not isinstance(http, FakeHTTP):
        return outcome(shape, fn, arg, error), None, None
    requests, answer, clock = [], http.request, RecordingClock()

    def counted(*args, **kwargs):
        requests.append((args, kwargs))
        return answer(*args, **kwargs)

    http.request, client.time = counted, clock
    try:
        return outcome(shape, fn, arg, error), requests, clock.sleeps
    finally:
        http.request, client.time = answer, StoppedClock


def check(found: dict) -> None:
    for key, label, shape, _ in LOOPED:
        ours, base = (recorded(key, shape, entry) for entry in found[key])
        if ours != base:
            sys.exit(f"{label}: the two sides differ, nothing to compare:\n"
                     f"  ours {ours!r:.2000}\n  base {base!r:.2000}")
        if shape == "catch" and ours[0][0] != "raises":
            sys.exit(f"{label}: returned instead of raising: {ours[0]!r:.2000}")
        if key in SCRIPT and (len(ours[1]), ours[2]) != SCRIPT[key]:
            sys.exit(f"{label}: made the requests {ours[1]} and slept {ours[2]}, not {SCRIPT[key]}")


# ---------------------------------------------------------------------------
# The children


def iterations(n: int, quick: bool) -> int:
    return max(2, n // 5) if quick else n


def warm_up(n: int) -> int:
    """Iterations run before a loop is measured. An HTTP round trip through
    httpx takes some ten calls to settle (the interpreter specialises its
    code as it goes); a catalogue call runs its inner loop a thousand times."""
    return min(n, max(16, n // 5))


def shift_layout(run: int) -> list:
    """Moves the interpreter's memory layout a little, as an unrelated change
    would: a few more types (so other type version tags) and interned names
    (so other addresses) made before anything else. Counts depend on such
    things by up to a few percent (for one, a type and attribute name that
    share a slot of the interpreter's method cache with another pair the
    loop uses miss it on every call), so each callgrind run has a layout of
    its own and the table shows how far they agree. Returns what must stay
    alive."""
    return [type(f"Pad{i}", (), {}) for i in range(run)] + [sys.intern(f"pad{i}_" * (1 + i % 5))
                                                           for i in range(7 * run)]


def count_child(library: str, quick: bool, layout: int) -> None:
    import ctypes

    padding = shift_layout(layout)  # noqa: F841 - kept alive
    control = ctypes.CDLL(library)
    if not control.bench_on_valgrind():
        sys.exit("--child count runs under callgrind only")
    start, stop = control.bench_start, control.bench_stop
    found = pairs()
    settle()
    control.bench_instrument()  # the setup ran uninstrumented, which is faster
    for key, _, shape, n in LOOPED:
        n = iterations(n, quick)
        measured, empty = SHAPES[shape]
        for side, (fn, arg, error, _) in zip(SIDES, found[key]):
            names = [f"{key} {side} {kind}".encode() for kind in ("empty", "loop")]
            measured(warm_up(n), fn, arg, error)
            empty(warm_up(n), fn, arg, error)
            gc.collect()
            start()
            empty(n, fn, arg, error)
            stop(names[0])
            gc.collect()
            start()
            measured(n, fn, arg, error)
            stop(names[1])


# Counted in a fresh interpreter: the import of argv[2] above `import httpx`,
# net of an empty measurement; `__import__` is what the statement calls. The
# layout is shifted as shift_layout does. A collection first: otherwise
# whether the collector's threshold falls inside the one import (a quarter
# of a million instructions) depends on what the layout shift allocated, not
# on the import; from an empty young generation it depends on the import
# alone.
IMPORT_COUNT_CHILD = """
import ctypes, gc, sys
run = int(sys.argv[4])
padding = [type(f"Pad{i}", (), {}) for i in range(run)] + [sys.intern(f"pad{i}_" * (1 + i % 5)) for i in range(7 * run)]
control = ctypes.CDLL(sys.argv[1])
start, stop, name = control.bench_start, control.bench_stop, sys.argv[2]
names = [f"import {sys.argv[3]} {kind}".encode() for kind in ("empty", "loop")]
import httpx
assert name not in sys.modules
gc.collect()
control.bench_instrument()
start()
stop(names[0])
start()
__import__(name)
stop(names[1])
"""
IMPORT_WALL_CHILD = """
import gc, sys, time, httpx
name = sys.argv[1]
assert name not in sys.modules
gc.collect()
started = time.perf_counter()
__import__(name)
print(time.perf_counter() - started)
"""


def seconds(loop, n, entry) -> float:
    fn, arg, error, _ = entry
    gc.collect()
    started = time.perf_counter()
    loop(n, fn, arg, error)
    return time.perf_counter() - started


def wall_child(quick: bool) -> None:
    """Checks the outcomes, then prints {key: {side: seconds per operation}}."""
    import json

    found = pairs()
    check(found)
    settle()
    repeats, target = (3, 0.005) if quick else (9, 0.02)
    result = {}
    for key, _, shape, n in LOOPED:
        measured, empty = SHAPES[shape]
        for entry in found[key]:
            measured(warm_up(n), *entry[:3])
        # As many iterations as make the slower side's loop last `target`.
        slowest = max(seconds(measured, n, entry) for entry in found[key]) / n
        n = max(1, round(target / slowest))
        times: dict[str, tuple[list[float], list[float]]] = {side: ([], []) for side in SIDES}
        for r in range(repeats):
            for side, entry in (zip(SIDES, found[key]) if r % 2 == 0 else reversed(list(zip(SIDES, found[key])))):
                times[side][0].append(seconds(measured, n, entry))
                times[side][1].append(seconds(empty, n, entry))
        result[key] = {side: (statistics.median(full) - statistics.median(bare)) / n
                       for side, (full, bare) in times.items()}
    print(json.dumps(result))


# ---------------------------------------------------------------------------
# The parent


def snapshot(package: Path, into: Path) -> None:
    """Copies the built package (the links resolved) while no build runs."""
    import fcntl
    import shutil

    if not (package / "zentrova_sdk").is_dir():
        sys.exit(f"no zentrova_sdk package in {package}: run tools/devbuild.sh first")
    with open(BUILD_LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_SH)
        shutil.copytree(package / "zentrova_sdk", into / "zentrova_sdk", ignore=shutil.ignore_patterns("__pycache__"))
    # Byte-compiled, as an installed package is (pip compiles at install), and
    # the twin likewise: the import rows then count importing, not compiling.
    import compileall

    for tree in (into / "zentrova_sdk", ROOT / "twin" / "zentrova_twin"):
        if not compileall.compile_dir(str(tree), quiet=1):
            sys.exit(f"could not byte-compile {tree}")


def build_control(into: Path) -> str:
    library = into / "callgrind_control.so"
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(library), str(CONTROL_SOURCE)], check=True)
    return str(library)


def read_counts(directory: Path) -> dict:
    """Trigger name -> instructions, from the dumps of one valgrind run."""
    found = {}
    for path in directory.iterdir():
        name = total = None
        with open(path) as dump:
            for line in dump:
                if line.startswith("desc: Trigger: Client Request: "):
                    name = line.split(": ", 3)[3].strip()
                elif line.startswith("totals:"):
                    total = int(line.split()[1])
        if name is not None:
            found[name] = total
    return found


def per_operation(counted: dict, quick: bool) -> tuple[dict, dict]:
    """(key, side) -> instructions per operation net of the empty loop, and
    (key, side) -> what the empty loop took per iteration."""
    net, empty = {}, {}
    for key, _, _, n in CASES:
        n = 1 if key == "import" else iterations(n, quick)
        for side in SIDES:
            prefix = f"import {side}" if key == "import" else f"{key} {side}"
            if f"{prefix} loop" in counted:
                empty[key, side] = counted[f"{prefix} empty"] / n
                net[key, side] = counted[f"{prefix} loop"] / n - empty[key, side]
    return net, empty


def run_all(jobs: list, env: dict) -> None:
    """Runs the valgrind children two at a time (instruction counts do not
    mind sharing the machine)."""
    from concurrent.futures import ThreadPoolExecutor

    def run(command):
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode:
            sys.exit(f"{' '.join(command[:4])} ... failed ({done.returncode}):\n"
                     f"{done.stdout[-3000:]}{done.stderr[-3000:]}")

    with ThreadPoolExecutor(max_workers=max(1, min(2, os.cpu_count() or 1))) as pool:
        list(pool.map(run, jobs))


def describe(package: Path) -> str:
    def git(*args):
        return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True).stdout.strip()

    dirty = git("status", "--porcelain", "--", "core", "models", "client", "cli", "package", "CMakeLists.txt")
    valgrind = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    return (f"{package} at {git('rev-parse', '--short', 'HEAD')}{' with uncommitted changes' if dirty else ''}; "
            f"python {sys.version.split()[0]}, {valgrind}, {os.cpu_count()} CPUs")


def table(instructions: list, empty: dict, wall: dict, imports: dict, quick: bool) -> None:
    middle = {cell: statistics.median(run[cell] for run in instructions) for cell in instructions[0]}
    head = (f"{'operation':42} {'n':>5} {'ours Ir':>11} {'twin Ir':>11} {'twin/ours':>9} "
            f"{'ours us':>10} {'twin us':>10} {'twin/ours':>9}")
    print(head)
    print("-" * len(head))
    for key, label, _, n in CASES:
        ours_ir, base_ir = middle[key, "ours"], middle[key, "base"]
        ours_s, base_s = imports[key] if key == "import" else (wall[key]["ours"], wall[key]["base"])
        print(f"{label:42} {iterations(n, quick) if key != 'import' else 1:5} {ours_ir:11,.0f} {base_ir:11,.0f} "
              f"{base_ir / ours_ir:9.2f} {ours_s * 1e6:10.2f} {base_s * 1e6:10.2f} {base_s / ours_s:9.2f}")
    looped = [cost for (key, _), cost in empty.items() if key != "import"]
    print(f"""
Ir: instructions per operation under callgrind, the median of {len(instructions)} run(s); us: wall-time median
in microseconds. Both are net of an empty loop iteration of the same shape, measured beside each
loop: {min(looped):,.0f} to {max(looped):,.0f} Ir (in the first run; the calls that start and stop counting, spread
over n), and for the import an empty measurement ({empty['import', 'ours']:,.0f} Ir). n: iterations counted. In the
'vs bare httpx' row the twin columns hold bare httpx: JobResult.from_dict(client.get(url).json())
on the same transport and headers. Above 1.0 we are faster.""")
    if len(instructions) < 2:
        return
    print(f"\nInstructions per operation in each of the {len(instructions)} callgrind runs, each with its memory "
          "layout\nshifted a little (see shift_layout), and their spread (max - min) / median:")
    spread = []
    for key, label, _, _ in CASES:
        cells = []
        for side in SIDES:
            found = [run[key, side] for run in instructions]
            spread.append((max(found) - min(found)) / statistics.median(found))
            cells.append(" ".join(f"{c:11,.0f}" for c in found) + f" {spread[-1]:7.2%}")
        print(f"{label:42} ours {cells[0]}   twin {cells[1]}")
    print(f"largest spread: {max(spread):.2%}; median spread: {statistics.median(spread):.2%}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a fifth of the iterations, fewer wall-time repeats")
    parser.add_argument("--runs", type=int, default=3,
                        help="callgrind runs, each with a slightly shifted memory layout (default 3)")
    parser.add_argument("--package", type=Path, default=ROOT / "build" / "devpkg", help="the built package")
    parser.add_argument("--keep", type=Path, help="keep the callgrind dumps in this directory")
    parser.add_argument("--child", choices=["count", "wall"], help=argparse.SUPPRESS)
    parser.add_argument("--library", help=argparse.SUPPRESS)
    parser.add_argument("--layout", type=int, default=0, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child == "count":
        return count_child(options.library, options.quick, options.layout)
    if options.child == "wall":
        return wall_child(options.quick)

    import json
    import shutil
    import tempfile

    if shutil.which("valgrind") is None:
        sys.exit("valgrind is needed (apt-get install valgrind)")
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zentrova-bench-") as scratch_name:
        scratch = Path(scratch_name)
        snapshot(options.package.resolve(), scratch)
        library = build_control(scratch)
        env = {**os.environ, "PYTHONHASHSEED": "0", "PYTHONPATH": os.pathsep.join([str(scratch), str(ROOT / "twin")])}
        env.pop("PYTHONDONTWRITEBYTECODE", None)  # imports are measured with their bytecode cached
        quick = ["--quick"] if options.quick else []
        print(describe(options.package), flush=True)

        # Wall time first, alone on the machine; its child also checks the
        # outcomes and leaves the bytecode caches the imports read.
        done = subprocess.run([sys.executable, __file__, "--child", "wall", *quick], env=env,
                              capture_output=True, text=True)
        if done.returncode:
            sys.exit(done.stdout + done.stderr)
        wall = json.loads(done.stdout)
        times: dict[str, list[float]] = {side: [] for side in SIDES}
        for r in range(3 if options.quick else 9):
            for side in (SIDES if r % 2 == 0 else SIDES[::-1]):
                done = subprocess.run([sys.executable, "-c", IMPORT_WALL_CHILD, IMPORTED[side]], env=env,
                                      capture_output=True, text=True, check=True)
                times[side].append(float(done.stdout))
        imports = {"import": tuple(statistics.median(times[side]) for side in SIDES)}

        keep = options.keep.resolve() if options.keep else scratch / "dumps"
        counting, importing, dirs = [], [], []
        for run in range(options.runs):
            out = keep / f"run-{run + 1}"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir(parents=True)
            dirs.append(out)
            valgrind = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
                        f"--callgrind-out-file={out}/callgrind.out.%p"]
            counting.append([*valgrind, sys.executable, __file__, "--child", "count", "--library", library,
                             "--layout", str(run), *quick])
            importing += [[*valgrind, sys.executable, "-c", IMPORT_COUNT_CHILD, library, IMPORTED[side], side, str(run)]
                          for side in SIDES]
        run_all(counting + importing, env)  # the longest first
        measured = [per_operation(read_counts(out), options.quick) for out in dirs]

    print(f"operations checked: both sides give the same outcome; done in {time.monotonic() - began:.0f} s\n")
    table([net for net, _ in measured], measured[0][1], wall, imports, options.quick)
    if options.keep:
        print(f"\ncallgrind dumps in {keep}/run-*/ (callgrind_annotate <file>; the trigger names the loop)")


if __name__ == "__main__":
    main()
