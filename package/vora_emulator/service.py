"""State of one emulated service: jobs, request log, key budgets and faults.

Jobs advance on the wall clock: a job is "queued" for the first latency stage,
"processing" for the second and until its simulation (started in a worker
thread at submission) has finished, then "completed" or "failed".
"""

from __future__ import annotations

import asyncio
import random
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any

from vora_emulator import simulator
from vora_emulator.config import EmulatorConfig, Fault


@dataclass
class RequestRecord:
    """One request as the emulator received it.

    ``headers`` has lower-case names; ``json`` is the decoded body or ``None``
    (no body, or a body that is not JSON; ``body`` keeps the bytes). ``route``
    is the fault route name (``"other"`` for paths outside the API).
    ``status`` is the answered status code, ``None`` while the request is
    being answered and for dropped connections; ``fault`` names the injected
    fault kind, if any.
    """

    method: str
    path: str
    headers: dict[str, str]
    json: Any
    body: bytes
    route: str
    time: float
    status: int | None = None
    fault: str | None = None


@dataclass
class Job:
    job_id: str
    qasm: str
    shots: int
    backend: str
    seed: int
    created: float
    outcome: simulator.Outcome | None = None


@dataclass
class _FaultState:
    fault: Fault
    rng: random.Random
    seen: int = 0

    def hits(self) -> bool:
        self.seen += 1
        if self.fault.first is not None:
            return self.seen <= self.fault.first
        if self.fault.rate is not None:
            return self.rng.random() < self.fault.rate
        return True


@dataclass
class _Denial:
    status: int
    detail: str


class VoraService:
    """Everything the HTTP layer needs, independent of any server.

    Methods are called from the event loop; the request log and the fault
    rules may also be read and replaced from other threads.
    """

    def __init__(self, config: EmulatorConfig) -> None:
        self.config = config
        self._lock = threading.Lock()
        self._log: list[RequestRecord] = []
        self._jobs: dict[str, Job] = {}
        self._usage: dict[str, int] = {}
        self._rng = random.Random(_derive(config.seed, "jobs"))
        self._faults: list[_FaultState] = []
        self._tasks: set[asyncio.Task[None]] = set()
        self._closing = threading.Event()
        self.set_faults(config.faults)

    # -- request log -------------------------------------------------------

    def record(self, method: str, path: str, headers: dict[str, str], body: bytes, json_body: Any, route: str) -> RequestRecord:
        entry = RequestRecord(method, path, headers, json_body, body, route, time.time())
        with self._lock:
            self._log.append(entry)
        return entry

    @property
    def requests(self) -> list[RequestRecord]:
        """A copy of the request log, oldest first."""
        with self._lock:
            return list(self._log)

    def clear_requests(self) -> None:
        with self._lock:
            self._log.clear()

    # -- faults ------------------------------------------------------------

    def set_faults(self, faults: list[Fault | str] | tuple[Fault | str, ...] | Any) -> None:
        """Replace the fault rules; their request counters start from zero."""
        parsed = [f if isinstance(f, Fault) else Fault.parse(f) for f in faults]
        states = [_FaultState(f, random.Random(_derive(self.config.seed, "fault-%d" % i))) for i, f in enumerate(parsed)]
        with self._lock:
            self._faults = states

    def pick_fault(self, route: str) -> Fault | None:
        with self._lock:
            for state in self._faults:
                if state.fault.route in ("*", route) and state.hits():
                    return state.fault
        return None

    # -- keys --------------------------------------------------------------

    def admit(self, api_key: str | None) -> _Denial | None:
        """Check a request's key and charge it to that key's budget."""
        if api_key is None or api_key not in self.config.api_keys:
            return _Denial(401, "invalid or missing API key")
        with self._lock:
            used = self._usage.get(api_key, 0) + 1
            self._usage[api_key] = used
        if self.config.budget is not None and used > self.config.budget:
            return _Denial(429, "request budget of this API key is exhausted")
        return None

    # -- jobs --------------------------------------------------------------

    def submit(self, qasm: str, shots: int, backend: str, max_qubits: int | None = None) -> Job:
        """Create a job and start its simulation in a worker thread; must be
        called on the event loop."""
        with self._lock:
            job_id = str(uuid.UUID(int=self._rng.getrandbits(128), version=4))
            seed = self._rng.getrandbits(32)
            job = Job(job_id, qasm, shots, backend, seed, time.monotonic())
            self._jobs[job_id] = job
        limit = min(self.config.max_qubits, max_qubits or self.config.max_qubits)
        task = asyncio.get_running_loop().create_task(self._simulate(job, limit))
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return job

    async def _simulate(self, job: Job, max_qubits: int) -> None:
        loop = asyncio.get_running_loop()
        try:
            outcome = await loop.run_in_executor(None, simulator.execute, job.qasm, job.shots, job.seed, max_qubits)
        except Exception as exc:  # the executor itself failed (e.g. at shutdown)
            outcome = simulator.Outcome(error="simulation did not run: %s" % (exc or type(exc).__name__))
        job.outcome = outcome

    def job(self, job_id: str) -> Job | None:
        with self._lock:
            return self._jobs.get(job_id)

    def state(self, job: Job) -> str:
        queued, processing = self.config.stages
        elapsed = time.monotonic() - job.created
        if elapsed < queued:
            return "queued"
        if elapsed < queued + processing or job.outcome is None:
            return "processing"
        return "failed" if job.outcome.error is not None else "completed"

    def status_document(self, job: Job) -> dict[str, Any]:
        return self._document(job, with_counts=self.config.counts_in in ("status", "nested"))

    def result_document(self, job: Job) -> dict[str, Any]:
        return self._document(job, with_counts=True)

    def _document(self, job: Job, with_counts: bool) -> dict[str, Any]:
        state = self.state(job)
        doc: dict[str, Any] = {"job_id": job.job_id, "status": state}
        if state in ("queued", "processing"):
            return doc
        outcome = job.outcome
        assert outcome is not None
        details: dict[str, Any] = {}
        if with_counts and outcome.counts is not None:
            details["counts"] = outcome.counts
        if outcome.num_qubits is not None:
            details["num_qubits"] = outcome.num_qubits
        details["shots"] = job.shots
        details["backend"] = job.backend
        if outcome.error is not None:
            doc["error"] = outcome.error
        if self.config.counts_in == "nested":
            doc["result"] = details
        else:
            doc.update(details)
        return doc

    # -- shutdown ----------------------------------------------------------

    def open(self) -> None:
        self._closing.clear()

    def close(self) -> None:
        """Wake every injected slow response so that a server can stop."""
        self._closing.set()

    async def pause(self, seconds: float) -> None:
        """Sleep on the event loop, cut short when the service is closed."""
        deadline = time.monotonic() + seconds
        while not self._closing.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                return
            await asyncio.sleep(min(left, 0.05))


def _derive(seed: int | None, stream: str) -> str | None:
    """Seed of one independent random stream, or ``None`` for fresh entropy."""
    return None if seed is None else "%d/%s" % (seed, stream)
