"""The emulator over real HTTP: routes, keys, job lifecycle, simulation, faults
and server lifecycle."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import httpx
import pytest

from vora_emulator import DEFAULT_CATALOG, Emulator, Fault, config as config_module
from vora_emulator.cli import READY_PREFIX, main
from vora_emulator.pytest_plugin import vora_emulator, vora_emulator_factory, vora_env  # noqa: F401  (fixtures)

PACKAGE_ROOT = Path(config_module.__file__).resolve().parents[1]

pytestmark = pytest.mark.timeout(15)

KEY = "key-a"
BELL = (Path(__file__).resolve().parents[2] / "examples" / "bell.qasm").read_text()


def qasm(body: str, qubits: int = 2, cregs: str = "creg c[2];") -> str:
    return 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[%d];\n%s\n%s\n' % (qubits, cregs, body)


@pytest.fixture
def start(vora_emulator_factory):  # noqa: F811
    def _start(**options):
        options.setdefault("api_keys", [KEY])
        return vora_emulator_factory(**options)

    return _start


@pytest.fixture(scope="module")
def shared():
    """One emulator for the checks that leave no state behind that matters."""
    emulator = Emulator(api_keys=[KEY, "key-b"])
    with emulator:
        yield emulator


def http(emulator, key=KEY, timeout=5.0) -> httpx.Client:
    headers = {"X-API-Key": key} if key is not None else {}
    return httpx.Client(base_url=emulator.url, headers=headers, timeout=timeout)


def wait_done(client: httpx.Client, job_id: str, limit: float = 5.0) -> dict:
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        doc = client.get("/status/" + job_id).json()
        if doc["status"] in ("completed", "failed"):
            return doc
        time.sleep(0.02)
    raise AssertionError("job %s did not finish" % job_id)


def submit(client: httpx.Client, circuit: str = BELL, shots: int = 1000) -> str:
    resp = client.post("/execute", json={"qasm": circuit, "shots": shots})
    assert resp.status_code == 200, resp.text
    assert resp.json()["status"] == "queued"
    return resp.json()["job_id"]


# ---------------------------------------------------------------------------
# Routes and documents


@pytest.mark.parametrize(
    "path, supplier, unwrap",
    [
        ("/api/v1/azure_quantum/providers", "azure_quantum", None),
        ("/api/v1/ibm_quantum/backends", "ibm_quantum", "backends"),
        ("/api/v1/braket/devices", "braket", "devices"),
    ],
)
def test_catalogue_dialects(shared, path, supplier, unwrap):
    with http(shared) as c:
        body = c.get(path).json()
    entries = body if unwrap is None else body[unwrap]
    assert entries == DEFAULT_CATALOG[supplier]
    required = {"azure_quantum": {"id", "name", "type", "num_qubits", "available"},
                "ibm_quantum": {"backend_name", "backend_type", "num_qubits"},
                "braket": {"name", "type", "num_qubits"}}[supplier]
    assert all(required <= set(e) for e in entries)


@pytest.mark.parametrize("counts_in", ["status", "results", "nested"])
def test_counts_placement_and_bell_counts(start, counts_in):
    with http(start(counts_in=counts_in, seed=3)) as c:
        job_id = submit(c, shots=1000)
        status = wait_done(c, job_id)
        result = c.get("/results/" + job_id).json()
    assert status["status"] == result["status"] == "completed"
    assert status["job_id"] == result["job_id"] == job_id
    if counts_in == "nested":
        assert "counts" not in status and "counts" not in result
        assert status["result"] == result["result"]
        details = result["result"]
    else:
        assert ("counts" in status) == (counts_in == "status")
        assert "result" not in status
        details = result
    counts = details["counts"]
    assert set(counts) == {"00", "11"} and sum(counts.values()) == 1000
    assert min(counts.values()) > 400
    assert (details["num_qubits"], details["shots"], details["backend"]) == (2, 1000, "vora-emulator")


@pytest.mark.parametrize(
    "circuit, outcomes",
    [
        (qasm("x q[0];\nmeasure q -> c;"), {"01"}),  # bit 0 is rightmost
        (qasm("x q[2];\nmeasure q[0] -> a[0];\nmeasure q[1] -> a[1];\nmeasure q[2] -> b[0];", 3, "creg a[2];\ncreg b[1];"),
         {"100"}),  # later register leftmost
        (qasm("h q[0];\nh q[1];", 2, ""), {"00", "01", "10", "11"}),  # no classical bits: all qubits measured
        (qasm("x q[1];", 2), {"00"}),  # classical bits never written stay 0
    ],
)
def test_bitstring_layout(shared, circuit, outcomes):
    with http(shared) as c:
        doc = wait_done(c, submit(c, circuit, shots=200))
    assert doc["status"] == "completed", doc
    assert set(doc["counts"]) == outcomes and sum(doc["counts"].values()) == 200


@pytest.mark.parametrize(
    "supplier, key, backend, id_key",
    [
        ("azure_quantum", "target", "ionq.simulator", "job_id"),
        ("ibm_quantum", "backend", "ibm_kyoto", "job_id"),
        ("braket", "device", "sv1", "task_id"),
    ],
)
def test_backend_execution(start, supplier, key, backend, id_key):
    emulator = start(counts_in="nested")
    with http(emulator) as c:
        resp = c.post("/api/v1/%s/execute" % supplier, json={"circuit": BELL, "shots": 64, key: backend})
        assert resp.status_code == 200
        body = resp.json()
        assert set(body) == {id_key, "status"}
        doc = wait_done(c, body[id_key])
    assert doc["result"]["backend"] == backend
    assert set(doc["result"]["counts"]) <= {"00", "11"} and sum(doc["result"]["counts"].values()) == 64
    assert emulator.requests[0].json == {"circuit": BELL, "shots": 64, key: backend}


@pytest.mark.parametrize(
    "path, body, status",
    [
        ("/execute", {"qasm": BELL, "shots": 0}, 400),
        ("/execute", {"qasm": BELL, "shots": "10"}, 400),
        ("/execute", {"qasm": BELL, "shots": True}, 400),
        ("/execute", {"qasm": BELL, "shots": 10**9}, 400),
        ("/execute", {"qasm": "  ", "shots": 1}, 400),
        ("/execute", {"shots": 1}, 400),
        ("/execute", [BELL, 1], 400),
        ("/execute", b"not json", 400),
        ("/api/v1/braket/execute", {"circuit": BELL, "shots": 1}, 400),
        ("/api/v1/braket/execute", {"circuit": BELL, "shots": 1, "device": "nope"}, 400),
        ("/api/v1/azure_quantum/execute", {"circuit": BELL, "shots": 1, "target": "ionq.qpu"}, 400),
        ("/api/v1/ibm_quantum/execute", {"circuit": BELL, "shots": 1, "target": "ibm_kyoto"}, 400),
        ("/api/v1/other/execute", {"circuit": BELL, "shots": 1}, 404),
    ],
)
def test_rejected_requests(shared, path, body, status):
    with http(shared) as c:
        kwargs = {"content": body} if isinstance(body, bytes) else {"json": body}
        resp = c.post(path, **kwargs)
    assert resp.status_code == status
    assert resp.json()["detail"]


@pytest.mark.parametrize("kind", ["status", "results"])
def test_unknown_job_is_404(shared, kind):
    with http(shared) as c:
        submit(c)
        assert c.get("/%s/no-such-job" % kind).status_code == 404


@pytest.mark.parametrize(
    "headers",
    [{}, {"X-API-Key": "wrong"}, {"X-API-Key": KEY.upper()}, {"Authorization": "Bearer " + KEY}],
)
@pytest.mark.parametrize("method, path", [("GET", "/api/v1/braket/devices"), ("POST", "/execute"), ("GET", "/status/x")])
def test_requests_without_a_valid_key_are_401(shared, headers, method, path):
    emulator = shared
    resp = httpx.request(method, emulator.url + path, headers=headers, json={"qasm": BELL, "shots": 1})
    assert resp.status_code == 401
    with http(emulator, key="key-b") as c:
        assert c.get("/api/v1/braket/devices").status_code == 200


def test_budget_per_key(start):
    emulator = start(api_keys=[KEY, "key-b"], budget=3)
    with http(emulator) as a, http(emulator, key="key-b") as b, http(emulator, key="bad") as bad:
        assert [bad.get("/api/v1/braket/devices").status_code for _ in range(2)] == [401, 401]
        assert [a.get("/api/v1/braket/devices").status_code for _ in range(5)] == [200, 200, 200, 429, 429]
        assert b.post("/execute", json={"qasm": BELL, "shots": 1}).status_code == 200
        assert a.get("/health").status_code == 200  # the probe is not charged


# ---------------------------------------------------------------------------
# Lifecycle and simulation


@pytest.mark.parametrize("latency, stages", [(0.25, ["queued", "processing", "completed"]),
                                             ((0.0, 0.4), ["processing", "completed"])])
def test_lifecycle_follows_latency(start, latency, stages):
    emulator = start(latency=latency, counts_in="results")
    total = sum(emulator.config.stages)
    with http(emulator) as c:
        began = time.monotonic()
        job_id = submit(c)
        seen: list[tuple[str, float]] = []
        while not seen or seen[-1][0] != "completed":
            doc = c.get("/status/" + job_id).json()
            if not seen or seen[-1][0] != doc["status"]:
                seen.append((doc["status"], time.monotonic() - began))
            early = c.get("/results/" + job_id).json()
            assert ("counts" in early) == (early["status"] == "completed"), early
            time.sleep(0.02)
        assert "counts" in c.get("/results/" + job_id).json()
    assert [s for s, _ in seen] == stages
    assert seen[-1][1] >= total


@pytest.mark.parametrize(
    "circuit, fragment, options",
    [
        ("OPENQASM 2.0;\nqreg q[1];\nfoo q[0];\n", "'foo' is not defined", {}),
        ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1]\nh q[0];\n', "needed ';'", {}),
        (qasm("h q[0];", 4), "at most 3", {"max_qubits": 3}),
        ("OPENQASM 2.0;\n", "no qubits", {}),
        ('OPENQASM 2.0;\ninclude "qelib1.inc";\nopaque magic(t) a;\nqreg q[1];\nmagic(0.5) q[0];\n', "'magic' is opaque", {}),
    ],
)
def test_unrunnable_circuit_fails_with_error_text(start, circuit, fragment, options):
    with http(start(**options)) as c:
        job_id = submit(c, circuit)
        doc = wait_done(c, job_id)
        result = c.get("/results/" + job_id).json()
    assert doc["status"] == result["status"] == "failed"
    assert fragment in doc["error"] and doc["error"] == result["error"]
    assert "counts" not in doc and "counts" not in result


def test_backend_qubit_limit(start):
    with http(start()) as c:
        body = {"circuit": qasm("h q[0];", 18), "shots": 1, "device": "dm1"}
        doc = wait_done(c, c.post("/api/v1/braket/execute", json=body).json()["task_id"])
    assert doc["status"] == "failed" and "at most 17" in doc["error"]


@pytest.mark.parametrize(
    "circuit",
    [qasm("h q[0];\nh q[1];\nh q[2];\nmeasure q -> c;", 3, "creg c[3];"),
     qasm("h q;\nmeasure q[0] -> c[0];\nif(c==1) h q[1];\nreset q[0];\nh q[0];\nmeasure q -> c;", 3, "creg c[3];")],
    ids=["sampled once", "branching"],
)
def test_seed_reproduces_ids_and_counts(start, circuit):

    def run(seed):
        with http(start(seed=seed)) as c:
            ids = [submit(c, circuit, shots=500) for _ in range(2)]
            return ids, [wait_done(c, i)["counts"] for i in ids]

    ids, counts = run(11)
    assert run(11) == (ids, counts)
    assert counts[0] != counts[1]  # each job draws its own samples
    other_ids, other_counts = run(12)
    assert other_ids != ids and other_counts != counts


@pytest.mark.timeout(60)
def test_wide_circuit_branching_mid_way_runs_in_a_second(start):
    """16 qubits that measure, branch and reset mid-way: the simulator splits
    the state at those events only and samples each branch's final
    measurements (shot by shot, or branching on every final measurement,
    took 20 s)."""
    layer = "h q;\n" + "".join("cx q[%d],q[%d];\nry(0.3) q[%d];\n" % (i, i + 1, i) for i in range(15))
    middle = "measure q[0] -> c[0];\nif(c==1) x q[1];\nreset q[2];\n"
    with http(start(seed=1)) as c:
        began = time.monotonic()
        doc = wait_done(c, submit(c, qasm(layer + middle + layer + "measure q -> c;", 16, "creg c[16];"), 2000), 30)
        elapsed = time.monotonic() - began
    assert doc["status"] == "completed" and sum(doc["counts"].values()) == 2000
    assert elapsed < 5


# ---------------------------------------------------------------------------
# Faults


@pytest.mark.parametrize(
    "rule, code, text",
    [
        ("status:error:first=2", 500, '{"detail": "injected fault"}'),
        ("*:error:first=2,code=503,body=down: back soon, maybe", 503, "down: back soon, maybe"),
    ],
)
def test_error_fault_for_first_requests(start, rule, code, text):
    emulator = start(faults=[rule])
    with http(emulator) as c:
        job_id = submit(c) if rule.startswith("status") else "unknown"
        answers = [c.get("/status/" + job_id) for _ in range(3)]
        assert c.get("/health").status_code == 200  # never faulted
    assert [(r.status_code, r.text) for r in answers[:2]] == [(code, text)] * 2
    assert answers[2].status_code == (200 if rule.startswith("status") else 404)
    assert [r.fault for r in emulator.requests if r.route == "status"] == ["error", "error", None]


def test_slow_fault_trips_client_timeout(start):
    emulator = start(faults=["catalog:slow:first=1,delay=3"])
    with http(emulator, timeout=0.3) as c:
        began = time.monotonic()
        with pytest.raises(httpx.TimeoutException):
            c.get("/api/v1/braket/devices")
        assert time.monotonic() - began < 1.5
        assert c.get("/api/v1/braket/devices").status_code == 200
    with http(emulator, timeout=5) as c:
        emulator.set_faults(["catalog:slow:delay=0.4"])
        began = time.monotonic()
        assert c.get("/api/v1/ibm_quantum/backends").status_code == 200
        assert time.monotonic() - began >= 0.4


def test_drop_fault_closes_without_answer(start):
    emulator = start(faults=["execute:drop:first=2"])
    with http(emulator) as c:
        with pytest.raises(httpx.TransportError):
            c.post("/execute", json={"qasm": BELL, "shots": 1})
        host, port = emulator.url[len("http://"):].split(":")
        with socket.create_connection((host, int(port)), timeout=3) as raw:
            raw.sendall(b"POST /execute HTTP/1.1\r\nHost: x\r\nX-API-Key: %s\r\nContent-Length: 2\r\n\r\n{}" % KEY.encode())
            assert raw.recv(1024) == b""  # closed, not a single byte of answer
        assert c.post("/execute", json={"qasm": BELL, "shots": 1}).status_code == 200
    assert [(r.fault, r.status) for r in emulator.requests] == [("drop", None), ("drop", None), (None, 200)]


def test_rules_are_tried_in_order(start):
    emulator = start(faults=["status:error:first=1", "status:drop:first=1", "*:error:first=1,code=502"])
    with http(emulator) as c:
        first = c.get("/status/x").status_code
        with pytest.raises(httpx.TransportError):
            c.get("/status/x")
        later = [c.get("/status/x").status_code, c.get("/status/x").status_code]
    assert (first, later) == (500, [502, 404])


def test_rate_faults_are_seeded(start):
    def pattern(seed):
        with http(start(seed=seed, faults=["catalog:error:rate=0.5"])) as c:
            return [c.get("/api/v1/braket/devices").status_code for _ in range(40)]

    first = pattern(5)
    assert set(first) == {200, 500} and 8 <= first.count(500) <= 32
    assert pattern(5) == first
    assert pattern(6) != first


@pytest.mark.parametrize(
    "text, expected",
    [
        ("status:error", Fault("status", "error")),
        ("execute:drop:rate=0.25", Fault("execute", "drop", rate=0.25)),
        ("*:slow:first=3,delay=1.5", Fault("*", "slow", first=3, delay=1.5)),
        ("results:error:code=503,body=a,b=c", Fault("results", "error", code=503, body="a,b=c")),
    ],
)
def test_fault_parse(text, expected):
    assert Fault.parse(text) == expected


@pytest.mark.parametrize(
    "text",
    ["status", "nowhere:error", "status:explode", "status:error:first=1,rate=0.5", "status:error:rate=2",
     "status:error:first=-1", "status:error:code=200", "status:slow:delay=0", "status:error:first", "status:error:x=1",
     "status:error:first=two"],
)
def test_bad_fault_specs_are_refused(text, capsys):
    with pytest.raises(ValueError):
        Fault.parse(text)
    with pytest.raises(SystemExit) as exit_info:
        main(["--fault", text])
    assert exit_info.value.code == 2 and "--fault" in capsys.readouterr().err


# ---------------------------------------------------------------------------
# Server lifecycle, log, command line


def test_stop_releases_port_and_cuts_slow_answers(start):
    emulator = start(faults=["catalog:slow:delay=30"])
    url, port = emulator.url, emulator.port
    with http(emulator) as c:
        assert c.get("/health").status_code == 200  # leaves an idle keep-alive connection
    slow = threading.Thread(target=lambda: httpx.get(url + "/api/v1/braket/devices", headers={"X-API-Key": KEY}, timeout=10))
    slow.start()
    time.sleep(0.2)
    began = time.monotonic()
    emulator.stop()
    assert time.monotonic() - began < 2.0 and not emulator.running
    slow.join(5)
    assert not slow.is_alive()
    with pytest.raises(httpx.ConnectError):
        httpx.get(url + "/health", timeout=1)
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("127.0.0.1", port))
        probe.listen(1)


def test_request_log(start):
    emulator = start()
    with http(emulator) as c:
        c.post("/execute", json={"qasm": BELL, "shots": 7}, headers={"X-Trace": "t1"})
        c.get("/nowhere")
    first, second = emulator.requests
    assert (first.method, first.path, first.route, first.status) == ("POST", "/execute", "execute", 200)
    assert first.json == {"qasm": BELL, "shots": 7}
    assert first.headers["x-api-key"] == KEY and first.headers["x-trace"] == "t1"
    assert (second.method, second.route, second.status, second.json) == ("GET", "other", 404, None)
    emulator.clear_requests()
    assert emulator.requests == []


def test_default_fixtures(vora_emulator, vora_env):  # noqa: F811
    assert vora_emulator.api_key == "test-key" and vora_env == vora_emulator.url
    assert os.environ["VORA_API_KEY"] == "test-key"
    with http(vora_emulator, key=os.environ["VORA_API_KEY"]) as c:
        assert c.get("/api/v1/azure_quantum/providers").status_code == 200


@pytest.mark.timeout(30)
def test_command_line_serves_until_sigterm():
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    proc = subprocess.Popen(
        [sys.executable, "-m", "vora_emulator", "--port", "0", "--api-key", "cli-key", "--seed", "2",
         "--counts-in", "nested", "--fault", "status:error:first=1", "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )
    try:
        line = proc.stdout.readline()
        assert line.startswith(READY_PREFIX), (line, proc.stderr.read() if proc.poll() is not None else "")
        url = line[len(READY_PREFIX):].strip()
        assert url.startswith("http://127.0.0.1:")
        with httpx.Client(base_url=url, headers={"X-API-Key": "cli-key"}, timeout=5) as c:
            job_id = c.post("/execute", json={"qasm": BELL, "shots": 100}).json()["job_id"]
            assert c.get("/status/" + job_id).status_code == 500
            doc = wait_done(c, job_id)
            assert httpx.get(url + "/execute", headers={"X-API-Key": "test-key"}).status_code == 401
        assert sum(doc["result"]["counts"].values()) == 100
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
