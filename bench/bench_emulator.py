"""Time of one emulator job against the simulator alone.

For each width it makes one random circuit of depth 10 (ten layers of a u3
with random angles on every qubit, then cx on random pairs; then every qubit
measured; only qelib1.inc gates, so that any version of the emulator runs
it) and times, for a job of --shots shots:

- simulator: qiskit-aer's statevector AerSimulator on the parsed circuit,
  without the emulator, its threads sleeping while they wait as in the
  emulator (OMP_WAIT_POLICY=PASSIVE unless set; median of --repeat runs);
- simulation step: what the emulator does with the job's text in its
  worker thread (``vora_emulator.simulator.run_circuit``: parse, prepare,
  simulate, count), in this process (median of --repeat);
- job: the emulator of this tree in a child process (``python -m
  vora_emulator``), the circuit submitted through the SDK's client and polled
  every 2 ms, from submission to the completed status (median of --repeat);
- before (with --before DIR): the same job on the emulator package found in
  DIR, for example an earlier version exported from git, once per width and
  given up after --limit seconds.

Run after ``tools/devbuild.sh``:

    PYTHONPATH=build/devpkg-cp311 .venv/bin/python bench/bench_emulator.py
    git archive main package/vora_emulator | tar -x -C /tmp/before
    PYTHONPATH=build/devpkg-cp311 .venv/bin/python bench/bench_emulator.py --before /tmp/before/package
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

from zentrova_sdk import TimeoutError, VORAClient

PACKAGE = Path(__file__).resolve().parents[1] / "package"
KEY = "bench-key"


def circuit(qubits: int, depth: int = 10, seed: int = 1) -> str:
    rng = random.Random(seed)
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', "qreg q[%d];" % qubits, "creg c[%d];" % qubits]
    for _ in range(depth):
        for q in range(qubits):
            lines.append("u3(%.6f,%.6f,%.6f) q[%d];" % (rng.uniform(0, 6.3), rng.uniform(0, 6.3), rng.uniform(0, 6.3), q))
        order = list(range(qubits))
        rng.shuffle(order)
        lines.extend("cx q[%d],q[%d];" % pair for pair in zip(order[::2], order[1::2]))
    lines.append("measure q -> c;")
    return "\n".join(lines) + "\n"


def simulator_alone(qasm: str, shots: int) -> float:
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    from qiskit import qasm2  # type: ignore[import-untyped]
    from qiskit_aer import AerSimulator  # type: ignore[import-untyped]

    parsed = qasm2.loads(qasm, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    began = time.perf_counter()
    result = AerSimulator(method="statevector").run(parsed, shots=shots, seed_simulator=1).result()
    elapsed = time.perf_counter() - began
    assert result.success and sum(result.get_counts().values()) == shots
    return elapsed


def simulation_step(qasm: str, shots: int) -> float:
    from vora_emulator.simulator import run_circuit

    began = time.perf_counter()
    outcome = run_circuit(qasm, shots, seed=1, max_qubits=64)
    elapsed = time.perf_counter() - began
    assert outcome.counts is not None and sum(outcome.counts.values()) == shots
    return elapsed


class Served:
    """An emulator package served by a child process."""

    def __init__(self, package: Path, max_qubits: int) -> None:
        env = dict(os.environ, PYTHONPATH=str(package))
        command = [sys.executable, "-m", "vora_emulator", "--port", "0", "--api-key", KEY, "--seed", "1", "--quiet",
                   "--max-qubits", str(max_qubits)]
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line.startswith("vora-emulator listening on "):
            self.process.kill()
            raise SystemExit("the emulator in %s did not start" % package)
        self.client = VORAClient(api_key=KEY, base_url=line.split()[-1])

    def job(self, qasm: str, shots: int, limit: float) -> float | str:
        """Seconds from submission to completion, or why there are none."""
        began = time.perf_counter()
        job = self.client.submit(qasm, shots=shots)
        try:
            result = self.client.wait_for_result(job.job_id, timeout=limit, poll_interval=0.002)
        except TimeoutError:
            return "> %.0f" % limit
        elapsed = time.perf_counter() - began
        if result.counts is None:
            return "failed after %.0f: %s" % (elapsed, result.error)
        assert sum(result.counts.values()) == shots, result.raw
        return elapsed

    def close(self) -> None:
        self.process.terminate()
        self.process.wait(10)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[10, 16, 20, 24])
    parser.add_argument("--shots", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--before", type=Path, help="directory holding the vora_emulator package to compare with")
    parser.add_argument("--limit", type=float, default=900.0, help="seconds before a job of --before is given up")
    args = parser.parse_args()
    width = max(args.qubits)
    rows: dict[int, list[str]] = {}
    after = Served(PACKAGE, width)
    try:
        for qubits in args.qubits:
            qasm = circuit(qubits)
            alone = statistics.median(simulator_alone(qasm, args.shots) for _ in range(args.repeat))
            step = statistics.median(simulation_step(qasm, args.shots) for _ in range(args.repeat))
            jobs = [after.job(qasm, args.shots, args.limit) for _ in range(args.repeat)]
            times = [t for t in jobs if isinstance(t, float)]
            assert len(times) == len(jobs), jobs
            job = statistics.median(times)
            rows[qubits] = ["%d" % qubits, "%.3f" % alone, "%.3f" % step, "%.3f" % job, "%+.0f" % ((job - alone) * 1000)]
            print("%d qubits: simulator %.3f s, step %.3f s, job %.3f s" % (qubits, alone, step, job), file=sys.stderr, flush=True)
    finally:
        after.close()
    header = ["qubits", "simulator alone (s)", "simulation step (s)", "job (s)", "job - simulator (ms)"]
    if args.before:
        # Last, so that a job still running in the earlier emulator after its
        # limit slows nothing else down; past the limit, wider ones are not run.
        header.append("job before (s)")
        before = Served(args.before, width)
        try:
            gave_up = False
            for qubits in args.qubits:
                if gave_up:
                    rows[qubits].append("not run")
                    continue
                old = before.job(circuit(qubits), args.shots, args.limit)
                gave_up = old == "> %.0f" % args.limit
                rows[qubits].append("%.2f" % old if isinstance(old, float) else old)
                print("%d qubits: before %s" % (qubits, rows[qubits][-1]), file=sys.stderr, flush=True)
        finally:
            before.close()
    print("| %s |" % " | ".join(header))
    print("|" + "---:|" * len(header))
    for qubits in args.qubits:
        print("| %s |" % " | ".join(rows[qubits]))


if __name__ == "__main__":
    main()
