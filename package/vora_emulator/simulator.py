"""Circuit execution: OpenQASM 2.0 parsing and seeded statevector sampling.

Everything here is blocking and runs in a worker thread, never on the event
loop. qiskit is imported on first use (or by ``preload``), so importing the
emulator stays cheap.
"""

from __future__ import annotations

from dataclasses import dataclass

_WARMUP = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1];\ncreg c[1];\nh q[0];\nmeasure q[0] -> c[0];\n'


class CircuitError(Exception):
    """A circuit that parses but cannot be run here."""


@dataclass(frozen=True)
class Outcome:
    """What a finished job reports: counts and qubit count, or an error text."""

    counts: dict[str, int] | None = None
    num_qubits: int | None = None
    error: str | None = None


def preload() -> None:
    """Import qiskit and run a one-qubit circuit so that the first real job is
    not slowed down by imports."""
    run_circuit(_WARMUP, shots=1, seed=0, max_qubits=1)


def run_circuit(qasm: str, shots: int, seed: int | None, max_qubits: int) -> Outcome:
    """Parse ``qasm`` and sample ``shots`` measurements.

    Counts are keyed by bit-strings holding every classical bit, the last
    classical register leftmost and, within a register, the highest bit
    leftmost. A circuit without classical bits gets a measurement of every
    qubit appended. Raises the parser's error for invalid text and
    ``CircuitError`` for circuits beyond the simulator's limits.
    """
    from qiskit import qasm2  # type: ignore[import-untyped]
    from qiskit.primitives import StatevectorSampler  # type: ignore[import-untyped]

    circuit = qasm2.loads(qasm)
    if circuit.num_qubits == 0:
        raise CircuitError("circuit declares no qubits")
    if circuit.num_qubits > max_qubits:
        raise CircuitError("circuit uses %d qubits; at most %d can be run here" % (circuit.num_qubits, max_qubits))
    if circuit.num_clbits == 0:
        circuit.measure_all()
    result = StatevectorSampler(seed=seed).run([circuit], shots=shots).result()[0]
    counts = result.join_data().get_counts()
    return Outcome(counts={key: int(counts[key]) for key in sorted(counts)}, num_qubits=circuit.num_qubits)


def execute(qasm: str, shots: int, seed: int | None, max_qubits: int) -> Outcome:
    """``run_circuit`` with every failure turned into an error outcome."""
    try:
        return run_circuit(qasm, shots, seed, max_qubits)
    except Exception as exc:  # any failure ends the job, never the server
        return Outcome(error=_error_text(exc))


def _error_text(exc: Exception) -> str:
    # qiskit's errors keep their plain text in ``message``; their str() is a repr.
    message = getattr(exc, "message", None)
    text = message if isinstance(message, str) else str(exc)
    return text or type(exc).__name__
