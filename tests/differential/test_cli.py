"""The command function and the entry function against their twin, with the
module's globals (open, VORAClient, json, print, sys, typer, app) replaced by
logging fakes."""

from __future__ import annotations

import json
import sys

import typer

from hypothesis import given
from hypothesis import strategies as st

import strategies as s
from harness import Proxy, compare, observe, patched


class FakeFile:
    def __init__(self, run, read):
        self.run, self.read_outcome = run, read

    def __enter__(self):
        self.run.note("file", "enter")
        return self

    def read(self, *args):
        self.run.note("file", "read", args)
        return self.run.outcome(self.read_outcome)


class NoExit(FakeFile):
    pass


class WithExit(FakeFile):
    def __exit__(self, *exc):
        self.run.note("file", "exit", *exc)
        return False


DOCUMENT = st.lists(st.tuples(st.sampled_from(["counts", "status", "job_id", "error"]), s.ATOMS), max_size=4,
                    unique_by=lambda kv: kv[0]).map(lambda items: ("dict", tuple(items)))
RAW = s.mostly(DOCUMENT, s.mappings(["counts", "status", "job_id"], s.ATOMS) | st.sampled_from([None, 0, ""])
               | s.PLAIN_PROBES)
# The job result as execute() returns it: a probe that logs each attribute
# read, mostly with all of them, sometimes with some missing.
RESULT_FIELDS = {
    "raw": RAW,
    "is_successful": s.mostly(st.sampled_from([True, False, False]), s.PLAIN_PROBES),
    "job_id": s.TEXTS | s.PLAIN_PROBES,
    "error": st.sampled_from([None, "", "qubit out of range", " two\n  lines\t"]) | s.TEXTS | s.PLAIN_PROBES,
}
RESULTS = s.mostly(
    st.fixed_dictionaries(RESULT_FIELDS).map(lambda d: ("probe", tuple((k, ("val", v)) for k, v in d.items()))),
    s.probes({}, attrs=RESULT_FIELDS),
)


class Odd(Exception):
    """An exception class whose call makes no exception."""

    def __new__(cls, *args):
        return "not an exception"


# What `typer.Exit(code=1)` gives: the real exception, the class itself (which
# `raise` then calls), a class that makes no exception, or no exception at all.
EXITS = st.sampled_from(["instance", "class", "odd class", "object"]) | s.raising()


def fake_exit(run, recipe):
    def make(*args, **kwargs):
        run.note("typer.Exit", args, kwargs)
        kind = run.outcome(recipe) if isinstance(recipe, tuple) else recipe
        return {"instance": lambda: typer.Exit(*args, **kwargs), "class": lambda: typer.Exit,
                "odd class": lambda: Odd, "object": lambda: "not an exception"}[kind]()

    return make


def usually(values, kinds):
    """Mostly an answer, else the recipe of an exception of one of `kinds`."""
    return s.mostly(st.tuples(st.just("ret"), values), s.raising(st.sampled_from(kinds)))


@given(read=usually(s.TEXTS | s.PLAIN_PROBES, ["UnicodeError", "OSError", "Boom"]),
       opens=usually(st.sampled_from(["with-exit"] * 3 + ["no-exit"]), ["FileNotFoundError", "Boom"]),
       result=usually(RESULTS, ["VORAError", "ValidationError", "Boom"]),
       args=st.tuples(s.TEXTS, st.sampled_from([1024, 0, "3"]), s.TEXTS), main=st.sampled_from([False] * 3 + [True]),
       exit=s.mostly(st.just("instance"), EXITS))
def test_command(read, opens, result, args, main, exit):
    def scenario(run, recipe):
        def fake_open(*a, **k):
            run.note("open", a, k)
            kind = run.outcome(opens)
            return (WithExit if kind == "with-exit" else NoExit)(run, read)

        class Client:
            def __init__(self, *a, **k):
                run.note("VORAClient", a, k)

            def execute(self, *a, **k):
                run.note("execute", a, k)
                return run.build(run.outcome(result))

        def fake_print(*a, **k):
            run.note("print", a, k)

        def fake_app(*a, **k):
            run.note("app", a, k)

        names = {"open": fake_open, "VORAClient": Client, "json": Proxy(run, "json", json), "print": fake_print,
                 "sys": Proxy(run, "sys", sys), "typer": Proxy(run, "typer", typer, {"Exit": fake_exit(run, exit)}),
                 "app": fake_app}
        with patched(run.impl.cli, **names):
            if main:
                return observe(run, run.impl.cli.main)
            return observe(run, run.impl.cli.execute, *(run.build(a) for a in args))

    compare("command", (read, opens, result, args, main, exit), scenario)
