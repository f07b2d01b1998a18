"""Both clients, every method, against their twin: a scripted HTTP client
(any status object, httpx exceptions, other exceptions), a faked clock,
max_retries from -2 to 4, subclasses that override a method."""

from __future__ import annotations

import asyncio
import contextlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import strategies as s
from clients import FakeAsyncHTTP, FakeHTTP, Answers, client_class, fake_asyncio_sleep, fake_globals
from harness import compare, observe
from drive import drive
from strategies import mostly

STATUS_CODES = mostly(st.sampled_from([200, 200, 201, 401, 404, 429, 500, 503]), s.probes({"eq": s.BOOLS, "format": s.TEXTS}))
DOC_KEYS = s.RESULT_KEYS + ["task_id", "backends", "devices"]
ENTRIES = s.mappings(["backend_name", "name", "backend_type", "type", "num_qubits", "available", "id"], s.ATOMS)
DOC_VALUES = s.VALUES | s.lists(ENTRIES) | s.COUNTS | s.STATUS_VALUES
DOCUMENTS = mostly(
    # what the service would answer: the keys the methods read, with values of
    # the kinds they expect or edges
    s.records({"job_id": s.TEXTS, "task_id": s.TEXTS, "status": s.STATUS_VALUES, "counts": s.COUNTS,
               "backends": s.lists(ENTRIES | s.ATOMS), "devices": s.lists(ENTRIES | s.ATOMS),
               **{key: s.VALUES for key in s.RESULT_KEYS if key not in ("job_id", "status", "counts")}})
    | s.lists(ENTRIES | s.ATOMS)
    # a job document whose every use is logged, the lookup of its methods included
    | st.builds(lambda item, got: ("probe", (("contains", ("ret", True)), ("getitem", item), ("get", ("call", got)))),
                s.outcomes(s.ATOMS), s.outcomes(DOC_VALUES)),
    s.mappings(DOC_KEYS, DOC_VALUES)
    | s.lists(ENTRIES | s.ATOMS)
    | s.ATOMS
    | s.probes({"bool": s.BOOLS, "contains": s.BOOLS, "getitem": s.ATOMS, "iter": s.lists(s.ATOMS)},
               calls={"get": DOC_VALUES}),
)
FIELDS = {  # of a response, each read as an attribute or called
    "status_code": STATUS_CODES,
    "json": s.outcomes(DOCUMENTS, st.sampled_from(["JSONDecodeError", "Boom"])),
    "text": s.TEXTS | s.PLAIN_PROBES,
    "raise_for_status": s.outcomes(st.none(), st.sampled_from(["HTTPStatusError", "Boom"])),
}
RESPONSES = mostly(
    # a success, as most answers are
    st.fixed_dictionaries({"status_code": st.sampled_from([200, 201]), "json": st.tuples(st.just("ret"), DOCUMENTS),
                           "raise_for_status": st.just(("ret", None))}, optional={"text": FIELDS["text"]}),
    st.fixed_dictionaries({key: FIELDS[key] for key in ("status_code", "json")},
                          optional={key: FIELDS[key] for key in ("text", "raise_for_status")}),
).map(lambda d: ("probe", tuple((k, ("val", v)) if k in ("status_code", "text") else (k, ("call", v))
                                for k, v in d.items())))
ANSWERS = st.lists(mostly(st.tuples(st.just("resp"), RESPONSES), st.tuples(st.just("raise"), st.tuples(
    s.HTTP_RAISED, s.TEXTS))), min_size=1, max_size=5)

QASM = mostly(st.just("OPENQASM 2.0;"),
              st.sampled_from(["   ", "", None, b"qreg q[1];", 0]) | s.PLAIN_PROBES)
SHOTS = mostly(st.sampled_from([1024, 1]),
               st.sampled_from([0, -5, None, "10"]) | s.probes({"le": s.BOOLS | s.PLAIN_PROBES, "ge": s.BOOLS}))
SUPPLIERS = mostly(st.sampled_from(["azure_quantum", "ibm_quantum", "braket"]),
                   st.sampled_from(["Braket", "other"]) | s.PLAIN_PROBES)
JOB_IDS = mostly(s.TEXTS, st.none() | s.PLAIN_PROBES)
SECONDS = st.sampled_from([300.0, 2.0, 0, -1, 5]) | s.probes({"lt": s.BOOLS, "gt": s.BOOLS, "le": s.BOOLS})

SYNC_CALLS = {
    "submit": st.tuples(QASM, SHOTS),
    "get_status": st.tuples(JOB_IDS),
    "get_result": st.tuples(JOB_IDS),
    "wait_for_result": st.tuples(JOB_IDS, SECONDS, SECONDS),
    "execute": st.tuples(QASM, SHOTS),
    "list_providers": st.tuples(SUPPLIERS),
    "execute_on_backend": st.tuples(QASM, s.TEXTS, SUPPLIERS, SHOTS),
    "_request_with_retries": st.tuples(mostly(st.sampled_from(["GET", "POST"]),
                                              st.sampled_from(["post", b"POST"]) | s.PLAIN_PROBES), s.TEXTS),
}
ASYNC_CALLS = {name: SYNC_CALLS[name] for name in ("submit", "get_status", "_request_with_retries")}
ASYNC_CALLS["_sleep"] = st.tuples(SECONDS)
OVERRIDES = [None, "get_status", "get_result", "submit", "wait_for_result", "_request_with_retries", "fake submit"]
ASYNC_OVERRIDES = [None, "get_status", "submit", "_request_with_retries"]

CONSTRUCTION = st.fixed_dictionaries({
    "api_key": mostly(st.just("key-1"), st.sampled_from([None, ""]) | s.PLAIN_PROBES),
    "env": st.sampled_from([None, "", "env-key"]),
    "base_url": mostly(st.sampled_from(["http://svc.test/p", "http://svc.test//"]), st.sampled_from(["///", ""]) | s.probes(
        {"format": s.TEXTS}, calls={"rstrip": s.TEXTS | s.PLAIN_PROBES}) | st.just(5)),
    "timeout": SECONDS,
    "max_retries": mostly(st.integers(0, 4), st.sampled_from([-2, -1, "3"]) | s.probes({"add": st.integers(-1, 3),
                                                                        "le": s.BOOLS, "ge": s.BOOLS})),
    "ticks": st.lists(st.sampled_from([0.0, 0.5, 1.0, 100.0, 400.0]), max_size=4),
    "raise_on_sleep": st.sampled_from([None, None, None, 1, 2]),
    # the global isinstance replaced, and an httpx class checked through its metaclass
    "isinstance": st.sampled_from([None, None, None, "logged"]) | s.PLAIN_PROBES,
    "checked_class": st.sampled_from([None, None, "ReadTimeout", "WriteError", "RemoteProtocolError"]),
})


def construct(run, recipe, cls):
    args = [run.build(recipe[k]) for k in ("api_key", "base_url", "timeout", "max_retries")]
    return observe(run, lambda: run.register(cls(*args), "client"))


def client_of(run):
    return next(obj for label, obj in run.labels.values() if label.startswith("client"))


# Each method has cases of its own: drawn among all of them, the ones that
# reach a method's later steps would be too few in the quick setting.
@pytest.mark.parametrize("method", sorted(SYNC_CALLS))
@given(data=st.data(), config=CONSTRUCTION, answers=ANSWERS, override=st.sampled_from(OVERRIDES))
def test_sync_client(method, data, config, answers, override):
    args = data.draw(SYNC_CALLS[method], label="args")

    def scenario(run, recipe):
        http = FakeHTTP(Answers(run, answers))
        with fake_globals(run, config, http):
            made = construct(run, config, client_class(run, False, override))
            if made[0] != "return":
                return made
            client = client_of(run)
            result = observe(run, getattr(client, method), *(run.build(a) for a in args))
            return made, result, run.canon(dict(vars(client)))

    compare("sync client", (config, answers, override, method, args), scenario)


@contextlib.contextmanager
def async_client(run, config, answers, ticks, sleep_ticks, override, replace_sleep):
    """The asynchronous client of one run with its fakes in place, and the
    outcome of its construction (the client is None when that failed)."""
    http = FakeAsyncHTTP(Answers(run, answers), ticks)
    with fake_globals(run, config, http), fake_asyncio_sleep(run, sleep_ticks):
        made = construct(run, config, client_class(run, True, override))
        client = client_of(run) if made[0] == "return" else None
        if client is not None and replace_sleep:
            async def _sleep(seconds):
                run.note("replaced _sleep", seconds)
                if not run.hand_driven:
                    await REAL_SLEEP(0)

            client._sleep = _sleep
        yield made, client


REAL_SLEEP = asyncio.sleep
ASYNC_METHODS = st.sampled_from(sorted(ASYNC_CALLS)).flatmap(lambda m: st.tuples(st.just(m), ASYNC_CALLS[m]))


@given(config=CONSTRUCTION, answers=ANSWERS, override=st.sampled_from(ASYNC_OVERRIDES),
       call=ASYNC_METHODS, ticks=st.integers(0, 2), sleep_ticks=st.integers(0, 2), replace_sleep=st.booleans(),
       actions=st.lists(st.sampled_from([("send", None), ("send", "x")])
                        | st.tuples(st.just("throw"), st.tuples(st.sampled_from(
                            ["CancelledError", "Boom", "StopIteration", "GeneratorExit", "ConnectError",
                             "KeyboardInterrupt"]), st.just("thrown")))
                        | st.just(("close", None)), max_size=6))
def test_async_client_driven_by_hand(config, answers, override, call, ticks, sleep_ticks, replace_sleep, actions):
    method, args = call

    def scenario(run, recipe):
        with async_client(run, config, answers, ticks, sleep_ticks, override, replace_sleep) as (made, client):
            if client is None:
                return made
            try:
                coroutine = getattr(client, method)(*(run.build(a) for a in args))
            except BaseException as e:  # noqa: B902 - argument binding fails before any coroutine exists
                return made, ("raise", run.canon_exc(e))
            return made, drive(run, coroutine, actions), run.canon(dict(vars(client)))

    compare("async client by hand", (config, answers, override, call, ticks, sleep_ticks, replace_sleep, actions),
            scenario)


LOOP_ANSWERS = st.lists(st.tuples(st.just("resp"), RESPONSES) | st.tuples(st.just("raise"), st.tuples(
    st.sampled_from(["ConnectTimeout", "ReadTimeout", "ConnectError", "ReadError", "RemoteProtocolError",
                     "HTTPStatusError", "Boom", "CancelledError"]),
    s.TEXTS)), min_size=1, max_size=4)


@given(config=CONSTRUCTION, answers=LOOP_ANSWERS, call=ASYNC_METHODS, ticks=st.integers(0, 2),
       sleep_ticks=st.integers(0, 2), replace_sleep=st.booleans(), cancel_after=st.none() | st.integers(0, 8))
def test_async_client_on_the_event_loop(config, answers, call, ticks, sleep_ticks, replace_sleep, cancel_after):
    method, args = call

    def scenario(run, recipe):
        with async_client(run, config, answers, ticks, sleep_ticks, None, replace_sleep) as (made, client):
            if client is None:
                return made

            async def main():
                task = asyncio.ensure_future(getattr(client, method)(*(run.build(a) for a in args)))
                if cancel_after is not None:
                    for _ in range(cancel_after):
                        await REAL_SLEEP(0)
                    run.note("cancel", task.cancel())
                try:
                    return ("return", run.canon(await task))
                except BaseException as e:  # noqa: B902
                    return ("raise", run.canon_exc(e))

            # An interrupt raised by a fake leaves the loop itself: that is an outcome too.
            return made, observe(run, asyncio.run, main()), run.canon(dict(vars(client)))

    compare("async client on the loop", (config, answers, call, ticks, sleep_ticks, replace_sleep, cancel_after),
            scenario, hand_driven=False)
