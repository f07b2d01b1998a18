"""Every kind of OpenQASM 2.0 circuit the emulator runs, written at random
(seeded) by the tests, run through the zentrova-sdk command, and the counts it
prints tested against exact probabilities computed here another way: state
vectors split into one branch per outcome at each mid-circuit measurement and
reset, classical conditions decided per branch."""

from __future__ import annotations

import json
import math
import random
import subprocess

import numpy as np
import pytest
from qiskit.circuit import library
from qiskit.quantum_info import Statevector

from test_command_line import PYTHON_M, child_env
from vora_emulator import Emulator
from zentrova_sdk import VORAClient

pytestmark = pytest.mark.timeout(120)

SHOTS = 20_000
ALPHA = 1e-9  # chance that the counts of a correct simulator fail one circuit's test
KEY = "sk-circuits"

# name, qubits, parameters, gate of the reference
_TABLE = """x 1 0 XGate  y 1 0 YGate  z 1 0 ZGate  h 1 0 HGate  s 1 0 SGate  sdg 1 0 SdgGate  t 1 0 TGate
tdg 1 0 TdgGate  sx 1 0 SXGate  sxdg 1 0 SXdgGate  id 1 0 IGate  rx 1 1 RXGate  ry 1 1 RYGate  rz 1 1 RZGate
p 1 1 PhaseGate  u1 1 1 U1Gate  u2 1 2 U2Gate  u3 1 3 U3Gate  u 1 3 UGate  U 1 3 UGate  cx 2 0 CXGate  CX 2 0 CXGate
cy 2 0 CYGate  cz 2 0 CZGate  ch 2 0 CHGate  swap 2 0 SwapGate  csx 2 0 CSXGate  crx 2 1 CRXGate  cry 2 1 CRYGate
crz 2 1 CRZGate  cp 2 1 CPhaseGate  cu1 2 1 CU1Gate  cu3 2 3 CU3Gate  cu 2 4 CUGate  rxx 2 1 RXXGate  rzz 2 1 RZZGate
ccx 3 0 CCXGate  cswap 3 0 CSwapGate  rccx 3 0 RCCXGate  c3x 4 0 C3XGate  c3sqrtx 4 0 C3SXGate  rc3x 4 0 RC3XGate
c4x 5 0 C4XGate""".split()
GATES = {_TABLE[i]: (int(_TABLE[i + 1]), int(_TABLE[i + 2]), getattr(library, _TABLE[i + 3])) for i in range(0, len(_TABLE), 4)}
GATES["u0"] = (1, 1, lambda gamma: library.IGate())  # qelib1.inc: the identity, whatever gamma

# The operations each kind of circuit draws from besides gates.
KINDS = {
    "legacy gates": (), "own gates": (), "mid-circuit measurement": ("measure",), "reset": ("reset",),
    "conditions": ("measure", "if", "feedforward"), "everything": ("measure", "reset", "if", "feedforward", "barrier", "own"),
    "no classical bits": ("reset", "barrier"),
}
CASES = [(kind, seed) for kind in KINDS for seed in range(2)]
GATE_CASES = [("one gate", name) for name in GATES]  # through the client: each gate alone
OWN_NAMES = ["mine", "swap", "rzz", "r"]


def generate(kind, seed):
    """(qubits, register sizes, own gates, operations) of one random program."""
    rng = random.Random("%s/%s" % (kind, seed))
    angles = lambda count: [round(rng.uniform(-math.pi, math.pi), 6) for _ in range(count)]  # noqa: E731
    if kind == "one gate":  # a random product state, the gate, a random change of basis
        n = GATES[seed][0]
        layer = [("gate", "u3", angles(3), [q]) for q in range(n)]
        gate = ("gate", seed, angles(GATES[seed][1]), rng.sample(range(n), n))
        return n, [n], {}, [*layer, gate, *layer[::-1], *(("measure", q, q) for q in range(n))]
    extras, n = KINDS[kind], rng.randint(2, 5)
    sizes = [] if kind == "no classical bits" else [rng.randint(1, 3) for _ in range(rng.randint(1, 2))]
    own = {}  # name: (qubits, body); some take the name of a legacy gate or of one the simulator knows
    if kind == "own gates" or "own" in extras:
        for name in rng.sample(OWN_NAMES, 2):
            width = rng.randint(1, min(n, 3))
            names = [g for g in dict.fromkeys([*GATES, *own]) if (g in own or g not in OWN_NAMES) and arity(g, own)[0] <= width]
            body = [(g, [rng.choice((1.0, -0.5, 2.0)) for _ in range(arity(g, own)[1])], rng.sample(range(width), arity(g, own)[0]))
                    for g in rng.choices(names, k=3)]
            own[name] = (width, body)

    def operation(choices):
        what = rng.choice(choices)
        if what == "gate":
            name = rng.choice([g for g in dict.fromkeys([*GATES, *own]) if arity(g, own)[0] <= n])
            qubits, params = arity(name, own)
            return [("gate", name, angles(params), rng.sample(range(n), qubits))]
        if what == "if":
            reg = rng.randrange(len(sizes))
            return [("if", reg, rng.randrange(1 << sizes[reg]), operation(["gate", "measure", "reset"])[0])]
        if what == "feedforward":  # measure a qubit; act on another if its register holds 0 or that bit
            q, k = rng.randrange(n), rng.randrange(sum(sizes))
            reg = max(r for r in range(len(sizes)) if sum(sizes[:r]) <= k)
            target = rng.choice([i for i in range(n) if i != q])
            gate = ("gate", rng.choice(["x", "h", "sx"]), [], [target])
            return [("measure", q, k), ("if", reg, rng.choice([0, 1 << (k - sum(sizes[:reg]))]), gate)]
        if what == "barrier":
            return [("barrier", sorted(rng.sample(range(n), rng.randint(1, n))))]
        return [(what, rng.randrange(n), rng.randrange(sum(sizes)) if what == "measure" else None)]

    ops = [op for _ in range(rng.randint(10, 20)) for op in operation(["gate"] * 3 + [e for e in extras if e != "own"])]
    final = [q for q in range(n) if rng.random() < 0.7]  # some qubits are left as they are
    if "feedforward" in extras:  # the end of a teleportation: the measured qubit is left alone
        ops += operation(["feedforward"])
        final = sorted(set(final) - {ops[-2][1]} | {ops[-1][3][3][0]})
    ops += [("measure", q, k) for q, k in zip(final, rng.sample(range(sum(sizes)), min(len(final), sum(sizes))))]
    return n, sizes, own, ops


def arity(name, own):
    return (own[name][0], 1) if name in own else GATES[name][:2]


def qasm(program):
    n, sizes, own, ops = program
    clbit = ["c%d[%d]" % (r, i) for r, size in enumerate(sizes) for i in range(size)]  # by global index

    def text(op, formal=None):
        if op[0] == "gate":
            params = "(%s)" % ",".join(map(str, op[2])) if op[2] else ""
            return "%s%s %s;" % (op[1], params, ",".join(formal[q] if formal else "q[%d]" % q for q in op[3]))
        if op[0] == "if":
            return "if(c%d==%d) %s" % (op[1], op[2], text(op[3]))
        if op[0] == "barrier":
            return "barrier %s;" % ",".join("q[%d]" % q for q in op[1])
        return "measure q[%d] -> %s;" % (op[1], clbit[op[2]]) if op[0] == "measure" else "reset q[%d];" % op[1]

    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', "qreg q[%d];" % n] + ["creg c%d[%d];" % rs for rs in enumerate(sizes)]
    for name, (width, body) in own.items():
        formal = ["a%d" % i for i in range(width)]
        ops_text = " ".join(text(("gate", g, ["%r*t" % c for c in coefs], idx), formal) for g, coefs, idx in body)
        lines.append("gate %s(t) %s { %s }" % (name, ",".join(formal), ops_text))
    return "\n".join(lines + [text(op) for op in ops]) + "\n"


def exact(program, faulty=False):
    """Probability of each key; ``faulty`` runs every condition's operation
    and skips every reset, as an emulator that ignored them would."""
    n, sizes, own, ops = program

    def gate(state, name, params, qubits):
        if name not in own:
            return state.evolve(GATES[name][2](*params), qubits)
        for g, coefs, idx in own[name][1]:
            state = gate(state, g, [c * params[0] for c in coefs], [qubits[i] for i in idx])
        return state

    def step(branch, op):
        prob, state, bits = branch
        if op[0] == "gate":
            return [(prob, gate(state, *op[1:]), bits)]
        if op[0] == "barrier" or (op[0] == "reset" and faulty):
            return [branch]
        if op[0] == "if":
            offset = sum(sizes[: op[1]])
            holds = (bits >> offset) & ((1 << sizes[op[1]]) - 1) == op[2]
            return step(branch, op[3]) if holds or faulty else [branch]
        out, q = [], op[1]
        for outcome in (0, 1):
            kept = state.data * (((np.arange(2**n) >> q) & 1) == outcome)
            p = float(np.vdot(kept, kept).real)
            if p > 1e-14:
                after = Statevector(kept / math.sqrt(p))
                if op[0] == "reset":
                    out.append((prob * p, after.evolve(library.XGate(), [q]) if outcome else after, bits))
                else:
                    out.append((prob * p, after, bits & ~(1 << op[2]) | outcome << op[2]))
        return out

    branches = [(1.0, Statevector.from_int(0, 2**n), 0)]
    for op in ops:
        branches = [b for branch in branches for b in step(branch, op)]
    dist: dict[str, float] = {}
    for prob, state, bits in branches:  # no classical bits: every qubit measured at the end
        outcomes = [(bits, 1.0)] if sizes else enumerate(state.probabilities())
        for value, p in outcomes:
            key = format(value, "0%db" % (sum(sizes) or n))
            dist[key] = dist.get(key, 0.0) + prob * p
    return {key: p for key, p in dist.items() if p > 1e-12}


def agrees(counts, dist):
    """Binomial test of every outcome's count, Bonferroni-corrected over the
    outcomes. Chernoff's exp(-n KL(k/n, p)) bounds each tail, so a correct
    simulator fails it with probability below ALPHA."""
    keys = set(counts) | set(dist)
    for key in keys:
        seen, p = counts.get(key, 0) / SHOTS, min(dist.get(key, 0.0), 1.0)
        if (seen > 0 and p == 0) or (seen < 1 and p == 1):
            return False  # an outcome that cannot happen, or one missing that must
        kl = sum(a * math.log(a / b) for a, b in ((seen, p), (1 - seen, 1 - p)) if a > 0)
        if 2 * math.exp(-SHOTS * kl) < ALPHA / len(keys):
            return False
    return True


def clearly_differs(p, q):
    """Some outcome's expected count lies so far apart under ``p`` and ``q``
    that counts drawn from ``p`` cannot pass the test against ``q``."""
    sd = lambda x: math.sqrt(SHOTS * max(x * (1 - x), 0.0))  # noqa: E731
    return any(abs(p.get(k, 0) - q.get(k, 0)) * SHOTS > 8 * (sd(p.get(k, 0)) + sd(q.get(k, 0))) + 8 for k in set(p) | set(q))


def moved(dist, change):
    out: dict[str, float] = {}
    for key, p in dist.items():
        out[change(key)] = out.get(change(key), 0.0) + p
    return out


@pytest.fixture(scope="module")
def documents(tmp_path_factory):
    """The result document of each program, all run at once: the kinds by
    the command, each gate alone by the client."""
    folder = tmp_path_factory.mktemp("circuits")
    texts = {case: qasm(generate(*case)) for case in CASES + GATE_CASES}
    children = {}
    with Emulator(api_keys=[KEY], seed=5) as url:
        client = VORAClient(api_key=KEY, base_url=url)
        try:
            jobs = {case: client.submit(texts[case], shots=SHOTS).job_id for case in GATE_CASES}
            for number, case in enumerate(CASES):
                (folder / ("%d.qasm" % number)).write_text(texts[case])
                command = [*PYTHON_M, str(folder / ("%d.qasm" % number)), "--shots", str(SHOTS), "--base-url", url]
                children[case] = subprocess.Popen(command, env=child_env(VORA_API_KEY=KEY), stdin=subprocess.DEVNULL,
                                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8")
            outputs = {case: child.communicate(timeout=90) for case, child in children.items()}
            results = {case: client.wait_for_result(job, poll_interval=0.02).raw for case, job in jobs.items()}
        finally:
            client._client.close()
            for child in children.values():
                if child.poll() is None:
                    child.kill()
                    child.wait()
    assert all(child.returncode == 0 for child in children.values()), outputs
    return {**results, **{case: json.loads(out) for case, (out, _) in outputs.items()}}


@pytest.mark.parametrize("kind, seed", CASES + GATE_CASES)
def test_counts_match_the_exact_distribution(documents, kind, seed):
    program, document = generate(kind, seed), documents[kind, seed]
    assert document["status"] == "completed", document
    counts, dist = document["counts"], exact(program)
    width = len(next(iter(dist)))
    assert sum(counts.values()) == SHOTS and {len(key) for key in counts} == {width}
    assert agrees(counts, dist), (counts, dist)
    # Distributions a faulty emulator would give: every shot alike, bit order
    # reversed, one bit flipped, conditions and resets ignored, another gate
    # of the same shape taken for the one alone. Counts must fail the test
    # against each one that differs clearly from the true one.
    wrong = [{max(dist, key=dist.get): 1.0}, moved(dist, lambda key: key[::-1]), exact(program, faulty=True)]
    wrong += [moved(dist, lambda key, i=i: key[:i] + "10"[int(key[i])] + key[i + 1:]) for i in range(width)]
    if kind == "one gate":
        n, sizes, own, ops = program
        others = [g for g in GATES if GATES[g][:2] == GATES[seed][:2] and g != seed]
        wrong += [exact((n, sizes, own, [op if op[1] != seed else ("gate", g, *op[2:]) for op in ops])) for g in others]
    wrong = [q for q in wrong if clearly_differs(dist, q)]
    assert wrong, "no faulty distribution differs enough from the true one to be told apart"
    assert not any(agrees(counts, q) for q in wrong)
