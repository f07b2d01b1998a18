"""Circuit execution: OpenQASM 2.0 parsing and seeded simulation on qiskit-aer.

Everything here is blocking and runs in a worker thread, never on the event
loop. qiskit and qiskit-aer are imported on first use (or by ``preload``), so
importing the emulator stays cheap.

What runs: every OpenQASM 2.0 program with ``qelib1.inc`` and the gates that
circuits in the wild use beyond it (``swap``, ``cswap``, ``sx``, ``rzz``,
``c3x``, ...), the program's own ``gate`` definitions, classical conditions,
measurement and ``reset`` anywhere in the circuit, and ``barrier``. A gate
declared ``opaque`` has nothing to simulate and fails the job when applied.
"""

from __future__ import annotations

import functools
import os
import re
from dataclasses import dataclass
from typing import Any

_WARMUP = (
    'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\n'
    "h q[0];\nmeasure q[0] -> c[0];\nif(c==1) x q[1];\nreset q[0];\nmeasure q -> c;\n"
)

# Names the program defines with a body of its own (comments stripped first).
_COMMENT = re.compile(r"//[^\n]*")
_GATE_DEFINITION = re.compile(r"\bgate\s+([A-Za-z_][A-Za-z0-9_]*)")


class CircuitError(Exception):
    """A circuit that parses but cannot be run here."""


@dataclass(frozen=True)
class Outcome:
    """What a finished job reports: counts and qubit count, or an error text."""

    counts: dict[str, int] | None = None
    num_qubits: int | None = None
    error: str | None = None


def preload() -> None:
    """Import qiskit and qiskit-aer and run a small circuit that measures,
    branches and resets, so that the first real job is not slowed down by
    imports."""
    run_circuit(_WARMUP, shots=1, seed=0, max_qubits=2)


def run_circuit(qasm: str, shots: int, seed: int | None, max_qubits: int) -> Outcome:
    """Parse ``qasm`` and sample ``shots`` runs of it.

    Counts are keyed by bit-strings holding every classical bit, the last
    classical register leftmost and, within a register, the highest bit
    leftmost. A circuit without classical bits gets a measurement of every
    qubit appended. Raises the parser's error for invalid text and
    ``CircuitError`` for circuits beyond the simulator's limits.
    """
    circuit = _parse(qasm)
    if circuit.num_qubits == 0:
        raise CircuitError("circuit declares no qubits")
    if circuit.num_qubits > max_qubits:
        raise CircuitError("circuit uses %d qubits; at most %d can be run here" % (circuit.num_qubits, max_qubits))
    if circuit.num_clbits == 0:
        circuit.measure_all()
    width = circuit.num_clbits
    runnable = _final_measurements_last(_lowered(circuit, _instruction_set()[1]))
    # Shot branching: a mid-circuit measurement or reset splits the state once
    # per outcome instead of simulating every shot from the start; each branch
    # then samples its final measurements.
    simulator = _simulator_class()(method="statevector", shot_branching_enable=True, shot_branching_sampling_enable=True)
    options: dict[str, Any] = {} if seed is None else {"seed_simulator": seed}
    result = simulator.run(runnable, shots=shots, **options).result()
    if not result.success:
        raise CircuitError(_failure_text(result))
    # A circuit that measures nothing leaves every classical bit 0.
    counts = result.data(0).get("counts") or {"0x0": shots}
    return Outcome(counts=_bitstrings(counts, width), num_qubits=circuit.num_qubits)


def execute(qasm: str, shots: int, seed: int | None, max_qubits: int) -> Outcome:
    """``run_circuit`` with every failure turned into an error outcome."""
    try:
        return run_circuit(qasm, shots, seed, max_qubits)
    except Exception as exc:  # any failure ends the job, never the server
        return Outcome(error=_error_text(exc))


def _parse(qasm: str) -> Any:
    """The circuit of an OpenQASM 2.0 program.

    The gates beyond the strict ``qelib1.inc`` are those of qiskit's legacy
    set, except where the program defines a gate of that name itself: then
    its own body is what the name means.
    """
    from qiskit import qasm2  # type: ignore[import-untyped]

    defined = set(_GATE_DEFINITION.findall(_COMMENT.sub("", qasm)))
    known = [instruction for instruction in _instruction_set()[0] if instruction.name not in defined]
    return qasm2.loads(qasm, custom_instructions=known)


@functools.cache
def _instruction_set() -> tuple[tuple[Any, ...], tuple[type, ...]]:
    """The gates known by name beyond the program's own definitions, and the
    classes of the operations that the simulator runs as they are."""
    from qiskit import qasm2
    from qiskit.circuit import Barrier, Gate, Measure, QuantumCircuit, Reset  # type: ignore[import-untyped]
    from qiskit.circuit.library import CXGate, UGate  # type: ignore[import-untyped]

    class U0Gate(Gate):  # type: ignore[misc]
        """``u0(gamma)``: qelib1.inc makes it the identity for every gamma
        (the legacy loader's own accepts whole numbers only)."""

        def __init__(self, gamma: float) -> None:
            super().__init__("u0", 1, [gamma])

        def _define(self) -> None:
            self._definition = QuantumCircuit(1)

    # ``delay`` is a timing directive of the legacy set, not an OpenQASM 2.0 gate.
    legacy = [i for i in qasm2.LEGACY_CUSTOM_INSTRUCTIONS if i.name not in ("u0", "delay")]
    known = (*legacy, qasm2.CustomInstruction("u0", 1, 1, U0Gate, builtin=True))
    native = {i.constructor for i in legacy if isinstance(i.constructor, type)}
    return known, tuple(native | {UGate, CXGate, Measure, Reset, Barrier})


@functools.cache
def _simulator_class() -> Any:
    """qiskit-aer's simulator, its threads told to sleep while they wait.

    By default they spin between parallel steps, which on a machine of few
    cores starves the server and the simulation's own Python parts: a small
    job took 20 ms instead of 2. The setting is read when qiskit-aer loads
    its thread runtime, so it applies only if nothing imported qiskit-aer
    before, and a value set in the environment wins.
    """
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    from qiskit_aer import AerSimulator  # type: ignore[import-untyped]

    return AerSimulator


@functools.cache
def _simulated_names() -> frozenset[str]:
    names = _simulator_class()(method="statevector").configuration().basis_gates
    return frozenset(names) | {"measure", "reset", "barrier"}


def _lowered(circuit: Any, native: tuple[type, ...]) -> Any:
    """``circuit`` with every gate that the simulator does not run as it is
    replaced by the gates of its definition, inside conditions too.

    The simulator knows gates by name, so a gate counts as its own only when
    it is one of the standard gates the loader makes: a program's own gate
    called ``r`` or ``ecr`` is expanded, not taken for the standard one.
    """
    from qiskit.circuit import ControlFlowOp

    names = _simulated_names()
    known: dict[type, bool] = {}  # per class: is it one of the native ones

    def runs_as_is(op: Any) -> bool:
        if isinstance(op, ControlFlowOp):
            return all(all(runs_as_is(i.operation) for i in block.data) for block in op.blocks)
        cls = type(op)
        if cls not in known:
            known[cls] = issubclass(cls, native)
        return known[cls] and op.name in names

    def lower(block: Any) -> Any:
        out = block.copy_empty_like()
        for instruction in block.data:
            op = instruction.operation
            if runs_as_is(op):
                out._append(instruction)
            elif isinstance(op, ControlFlowOp):
                out.append(op.replace_blocks([lower(b) for b in op.blocks]), instruction.qubits, instruction.clbits)
            elif op.definition is None:
                raise CircuitError("gate '%s' is opaque: it has no definition to simulate" % op.name)
            else:
                out.compose(lower(op.definition), instruction.qubits, instruction.clbits, inplace=True)
        return out

    if all(runs_as_is(i.operation) for i in circuit.data):
        return circuit
    return lower(circuit)


def _final_measurements_last(circuit: Any) -> Any:
    """A circuit that measures, resets or branches mid-way, rearranged so
    that the simulator samples its final measurements in each branch instead
    of branching on every one of them.

    Its final measurements (after which neither the qubit nor the classical
    bit is used again) move behind a barrier at the end, where every qubit
    they leave out is measured too, into scratch bits above the circuit's
    own that the counts leave out. A measurement of a qubit that nothing
    touches afterwards changes no other outcome. Other circuits are returned
    as they are: the simulator samples them from one final state.
    """
    from qiskit.circuit import Clbit, ControlFlowOp

    data = list(circuit.data)
    qubits_later: set[Any] = set()
    clbits_later: set[Any] = set()
    final = [False] * len(data)
    for index in range(len(data) - 1, -1, -1):
        instruction = data[index]
        name = instruction.operation.name
        if name == "barrier":
            continue
        if name == "measure" and instruction.qubits[0] not in qubits_later and instruction.clbits[0] not in clbits_later:
            final[index] = True
        qubits_later.update(instruction.qubits)
        clbits_later.update(instruction.clbits)
    dynamic = any(
        not last and (i.operation.name in ("measure", "reset") or isinstance(i.operation, ControlFlowOp))
        for i, last in zip(data, final)
    )
    if not dynamic:
        return circuit
    out = circuit.copy_empty_like()
    for instruction, last in zip(data, final):
        if not last:
            out._append(instruction)
    out.barrier()
    measured = set()
    for instruction, last in zip(data, final):
        if last:
            out._append(instruction)
            measured.add(instruction.qubits[0])
    unmeasured = [q for q in circuit.qubits if q not in measured]
    scratch = [Clbit() for _ in unmeasured]
    out.add_bits(scratch)
    for qubit, clbit in zip(unmeasured, scratch):
        out.measure(qubit, clbit)
    return out


def _bitstrings(counts: dict[str, int], width: int) -> dict[str, int]:
    """Counts keyed by the simulator's hexadecimal memory, as bit-strings of
    the circuit's ``width`` classical bits (scratch bits above them dropped)."""
    mask = (1 << width) - 1
    out: dict[str, int] = {}
    for memory, count in counts.items():
        key = format(int(memory, 16) & mask, "0%db" % width)
        out[key] = out.get(key, 0) + int(count)
    return dict(sorted(out.items()))


def _failure_text(result: Any) -> str:
    statuses = [getattr(r, "status", None) for r in getattr(result, "results", [])]
    return next((s for s in statuses if isinstance(s, str) and s), None) or str(result.status)


def _error_text(exc: Exception) -> str:
    # qiskit's errors keep their plain text in ``message``; their str() is a repr.
    message = getattr(exc, "message", None)
    text = message if isinstance(message, str) else str(exc)
    return text or type(exc).__name__
