"""Recipes for the differential tests (see harness.py for what they build)."""

from __future__ import annotations

from hypothesis import strategies as st

STATUS_TEXTS = ["completed", "COMPLETED", "Failed", "queued", "PROCESSING", "pending", "running", ""]
TEXTS = st.sampled_from(STATUS_TEXTS + ["job-7", "sv1", "00", "11", "a/b?c", "simulator", "ibm_quantum", "braket",
                                        "azure_quantum", "Braket", "http://h/", "/"]) | st.text(max_size=3)
NUMBERS = st.sampled_from([0, 1, -1, 2, 3, 404, 512, 1024, 0.0, 0.5, 1.5, -0.0, float("nan")]) | st.integers(-3, 3)
ATOMS = st.none() | st.booleans() | NUMBERS | TEXTS

RAISED = st.sampled_from(["ValueError", "KeyError", "TypeError", "AttributeError", "Boom", "BaseBoom",
                          "StopIteration", "KeyboardInterrupt"])
# The transport failures: of a connection never made (retried whatever the
# method), and of one that broke once the request was under way (a POST then
# is not sent again).
NOT_SENT = ["ConnectTimeout", "PoolTimeout", "ConnectError"]
UNDER_WAY = ["ReadTimeout", "WriteTimeout", "ReadError", "WriteError", "RemoteProtocolError"]
HTTP_RAISED = st.sampled_from(NOT_SENT + UNDER_WAY + ["HTTPStatusError", "DecodingError", "Boom", "ValueError",
                                                      "VORAError", "JobNotFoundError", "KeyboardInterrupt",
                                                      "CancelledError"])


def mostly(typical, edges):
    """Mostly the typical value, else the edges: most cases then get past the
    first steps to the later ones. (one_of would not do: it gives each
    distinct branch the same weight.)"""
    return st.sampled_from([True, True, True, False]).flatmap(lambda typical_one: typical if typical_one else edges)


def raising(kinds=RAISED):
    return st.tuples(st.just("raise"), st.tuples(kinds, st.sampled_from(["boom", "", "x y"])))


def outcomes(values, kinds=RAISED, raise_weight=1):
    answers = st.tuples(st.just("ret"), values)
    return answers | raising(kinds) if raise_weight else answers


def probes(ops: dict, attrs: dict | None = None, calls: dict | None = None):
    """A Probe recipe: each entry of `ops` (operation -> answer strategy) and of
    `attrs` (attribute -> value strategy) and `calls` (method -> answer
    strategy) may or may not be scripted."""
    optional = {op: outcomes(values) for op, values in ops.items()}
    optional.update({name: st.tuples(st.just("val"), values) for name, values in (attrs or {}).items()})
    optional.update({name: st.tuples(st.just("call"), outcomes(values)) for name, values in (calls or {}).items()})
    return st.fixed_dictionaries({}, optional=optional).map(lambda d: ("probe", tuple(d.items())))


BOOLS = st.booleans()
# A value's text form and truth, the two things nearly every value meets.
PLAIN_PROBES = probes({"bool": BOOLS, "format": TEXTS | st.just(3), "str": TEXTS, "eq": ATOMS | BOOLS})


def mappings(keys, values, max_size=6):
    items = st.lists(st.tuples(st.sampled_from(keys) | TEXTS, values), max_size=max_size, unique_by=lambda kv: kv[0])
    return st.tuples(st.sampled_from(["dict", "dict", "dict", "ldict", "lmap"]), items.map(tuple))


def records(fields: dict):
    """A mapping of some of `fields` (key -> value strategy): a dict, a dict
    subclass or a Mapping, as mappings() makes."""
    items = st.fixed_dictionaries({}, optional=fields).map(lambda d: tuple(d.items()))
    return st.tuples(st.sampled_from(["dict", "dict", "dict", "ldict", "lmap"]), items)


def lists(values, max_size=4):
    return st.lists(values, max_size=max_size).map(lambda v: ("list", tuple(v)))


# Counts: bit strings to numbers, or things that only look like counts.
COUNT_VALUES = NUMBERS | probes({"radd": NUMBERS, "add": NUMBERS, "truediv": NUMBERS | TEXTS, "bool": BOOLS})
COUNTS = (
    mappings(["00", "01", "10", "11"], COUNT_VALUES)
    | ATOMS
    | probes({"bool": BOOLS}, calls={"values": lists(COUNT_VALUES),
                                     "items": lists(st.tuples(TEXTS, COUNT_VALUES).map(lambda kv: ("list", kv))
                                                    | NUMBERS | TEXTS)})
)

STATUS_VALUES = (
    st.sampled_from(STATUS_TEXTS)
    | ATOMS
    | probes({"bool": BOOLS, "eq": BOOLS | ATOMS},
             calls={"lower": st.sampled_from(STATUS_TEXTS) | PLAIN_PROBES})
)

VALUES = st.recursive(
    ATOMS | PLAIN_PROBES,
    lambda inner: mappings(["counts", "error", "shots", "num_qubits", "backend"], inner) | lists(inner),
    max_leaves=6,
)

RESULT_KEYS = ["status", "result", "counts", "job_id", "num_qubits", "shots", "backend", "error"]
CATALOGUE_KEYS = ["id", "name", "type", "num_qubits", "available", "backend_name", "backend_type", "enabled",
                  "num_providers"]


def job_documents(values=VALUES):
    field = st.sampled_from(RESULT_KEYS)
    block = mappings(RESULT_KEYS, values) | lists(values) | ATOMS
    by_key = {"status": STATUS_VALUES, "counts": COUNTS, "result": block}
    items = st.lists(field.flatmap(lambda k: st.tuples(st.just(k), by_key.get(k, values))), max_size=8,
                     unique_by=lambda kv: kv[0])
    mapping = st.tuples(st.sampled_from(["dict", "dict", "ldict", "lmap"]), items.map(tuple))
    return mapping | ATOMS | probes({"bool": BOOLS}, calls={"get": values})


CATALOGUE_DOCUMENTS = mappings(CATALOGUE_KEYS, VALUES) | ATOMS | probes({}, calls={"get": VALUES})
