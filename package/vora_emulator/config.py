"""Configuration of the emulator: options, fault rules and the default catalogue."""

from __future__ import annotations

import copy
import math
from dataclasses import dataclass, field
from typing import Any, Mapping, Sequence

DEFAULT_API_KEY = "test-key"

#: Widest circuit simulated by default: its 2000-shot job takes about a second
#: on a 2-core machine, where a 21-qubit state still fits the processor's cache
#: (a 24-qubit one takes 7 s and more). ``max_qubits`` raises it.
DEFAULT_MAX_QUBITS = 21

#: Where the counts of a completed job appear (see ``EmulatorConfig.counts_in``).
COUNTS_PLACEMENTS = ("status", "results", "nested")

#: Kinds of injected faults.
FAULT_KINDS = ("error", "slow", "drop")

#: Route names that fault rules refer to; ``*`` matches every request except
#: the health probe.
ROUTES = ("execute", "status", "results", "catalog", "backend_execute")

#: Suppliers, with the key of the backend in an execution request and the key
#: that names a catalogue entry.
SUPPLIERS: dict[str, tuple[str, str]] = {
    "azure_quantum": ("target", "id"),
    "ibm_quantum": ("backend", "backend_name"),
    "braket": ("device", "name"),
}

DEFAULT_CATALOG: dict[str, list[dict[str, Any]]] = {
    "azure_quantum": [
        {"id": "ionq.simulator", "name": "Trapped-ion simulator", "type": "simulator", "num_qubits": 29, "available": True},
        {"id": "ionq.qpu", "name": "Trapped-ion QPU", "type": "qpu", "num_qubits": 25, "available": False},
        {"id": "emulator.statevector", "name": "Statevector emulator", "type": "simulator", "num_qubits": 20, "available": True},
    ],
    "ibm_quantum": [
        {"backend_name": "ibm_kyoto", "backend_type": "hardware", "num_qubits": 127},
        {"backend_name": "simulator_statevector", "backend_type": "simulator", "num_qubits": 32},
    ],
    "braket": [
        {"name": "sv1", "type": "SIMULATOR", "num_qubits": 34},
        {"name": "dm1", "type": "SIMULATOR", "num_qubits": 17},
    ],
}

_FAULT_HELP_OPTIONS = "first=N, rate=F, code=N, delay=S, body=TEXT"
_FAULT_OPTIONS: dict[str, Any] = {"first": int, "rate": float, "code": int, "delay": float}


@dataclass
class Fault:
    """One fault rule: which requests of which route it hits and what it does.

    ``kind`` is ``"error"`` (answer ``code``, default 500, with ``body`` or a
    small JSON document), ``"slow"`` (wait ``delay`` seconds, then answer
    normally) or ``"drop"`` (close the connection without any answer).

    The rule hits the first ``first`` requests of its route that reach it, or
    each such request with probability ``rate`` (drawn from a generator seeded
    by the emulator's seed), or, with neither set, every request. Rules are
    tried in order and the first one that hits wins, so a request taken by an
    earlier rule is not seen by later ones.
    """

    route: str
    kind: str
    first: int | None = None
    rate: float | None = None
    code: int = 500
    delay: float = 5.0
    body: str | None = None

    def __post_init__(self) -> None:
        if self.route != "*" and self.route not in ROUTES:
            raise ValueError("unknown route %r (one of %s, or *)" % (self.route, ", ".join(ROUTES)))
        if self.kind not in FAULT_KINDS:
            raise ValueError("unknown fault kind %r (one of %s)" % (self.kind, ", ".join(FAULT_KINDS)))
        if self.first is not None and self.rate is not None:
            raise ValueError("give first=N or rate=F, not both")
        if self.first is not None and (isinstance(self.first, bool) or not isinstance(self.first, int) or self.first < 0):
            raise ValueError("first must be an integer >= 0")
        if self.rate is not None and not (0.0 <= self.rate <= 1.0):
            raise ValueError("rate must be between 0 and 1")
        if not 400 <= self.code <= 599:
            raise ValueError("code must be an HTTP error status (400-599)")
        if not (self.delay > 0 and math.isfinite(self.delay)):
            raise ValueError("delay must be a positive number of seconds")

    @classmethod
    def parse(cls, text: str) -> "Fault":
        """Parse ``ROUTE:KIND[:OPTION,OPTION...]``.

        Options are ``first=N``, ``rate=F``, ``code=N``, ``delay=S`` and
        ``body=TEXT``; ``body`` must come last and takes the rest of the text,
        commas and colons included. Examples: ``status:error:first=2``,
        ``execute:drop:rate=0.25``, ``results:slow:delay=3``,
        ``*:error:code=503,body=maintenance``.
        """
        parts = text.split(":", 2)
        if len(parts) < 2 or not parts[0] or not parts[1]:
            raise ValueError("fault %r is not ROUTE:KIND[:OPTIONS]" % text)
        kwargs: dict[str, Any] = {}
        rest = parts[2] if len(parts) == 3 else ""
        while rest:
            name, eq, value = rest.partition("=")
            if not eq:
                raise ValueError("fault option %r is not NAME=VALUE" % name)
            if name == "body":
                kwargs["body"] = value
                break
            value, _, rest = value.partition(",")
            convert = _FAULT_OPTIONS.get(name)
            if convert is None:
                raise ValueError("unknown fault option %r (%s)" % (name, _FAULT_HELP_OPTIONS))
            try:
                kwargs[name] = convert(value)
            except ValueError:
                raise ValueError("bad value %r for fault option %s" % (value, name)) from None
        return cls(route=parts[0], kind=parts[1], **kwargs)


@dataclass
class EmulatorConfig:
    """Options of one emulated service.

    - ``api_keys``: accepted values of the ``X-API-Key`` header.
    - ``seed``: makes job identifiers, measured counts and fault draws
      reproducible; ``None`` draws them from fresh entropy.
    - ``latency``: seconds a job spends queued and then processing; one number
      for both stages or a ``(queued, processing)`` pair.
    - ``counts_in``: where a completed job's counts appear: ``"status"`` (top
      level of the status document), ``"results"`` (only in the result
      document) or ``"nested"`` (under ``"result"`` in both documents).
    - ``budget``: number of requests each key may make before every further
      one is answered 429; ``None`` for no limit.
    - ``faults``: fault rules, as ``Fault`` objects or their text form.
    - ``max_qubits``, ``max_shots``: limits of the simulator.
    - ``catalog``: per supplier, the list of catalogue entries in the
      supplier's wire shape (see ``DEFAULT_CATALOG``).
    - ``backend_name``: backend reported for jobs submitted to ``/execute``.
    """

    api_keys: Sequence[str] = (DEFAULT_API_KEY,)
    seed: int | None = None
    latency: float | tuple[float, float] = 0.0
    counts_in: str = "status"
    budget: int | None = None
    faults: Sequence[Fault | str] = ()
    max_qubits: int = DEFAULT_MAX_QUBITS
    max_shots: int = 1_000_000
    catalog: Mapping[str, list[dict[str, Any]]] = field(default_factory=lambda: copy.deepcopy(DEFAULT_CATALOG))
    backend_name: str = "vora-emulator"

    def __post_init__(self) -> None:
        if isinstance(self.api_keys, str):
            self.api_keys = (self.api_keys,)
        self.api_keys = tuple(self.api_keys)
        if not self.api_keys or not all(isinstance(k, str) and k for k in self.api_keys):
            raise ValueError("api_keys must hold at least one non-empty key")
        if isinstance(self.latency, (int, float)):
            self.latency = (float(self.latency), float(self.latency))
        queued, processing = self.latency
        self.latency = (float(queued), float(processing))
        if min(self.latency) < 0:
            raise ValueError("latency must not be negative")
        if self.counts_in not in COUNTS_PLACEMENTS:
            raise ValueError("counts_in must be one of %s" % ", ".join(COUNTS_PLACEMENTS))
        if self.budget is not None and self.budget < 0:
            raise ValueError("budget must not be negative")
        self.faults = [f if isinstance(f, Fault) else Fault.parse(f) for f in self.faults]
        if self.max_qubits < 1 or self.max_shots < 1:
            raise ValueError("max_qubits and max_shots must be positive")
        for supplier, entries in self.catalog.items():
            key = SUPPLIERS.get(supplier, (None, "id"))[1]
            for entry in entries:
                if key not in entry:
                    raise ValueError("%s catalogue entry %r has no %r" % (supplier, entry, key))

    @property
    def stages(self) -> tuple[float, float]:
        """Seconds a job spends queued and then processing."""
        if isinstance(self.latency, tuple):
            return self.latency
        return (float(self.latency), float(self.latency))
