"""The command function and the entry function against their twin, with the
module's globals (open, VORAClient, json, print, app) replaced by logging fakes."""

from __future__ import annotations

import json

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


RAW = s.mappings(["counts", "status", "job_id"], s.ATOMS) | st.sampled_from([None, 0, ""]) | s.PLAIN_PROBES


@given(read=s.outcomes(s.TEXTS | s.PLAIN_PROBES, st.sampled_from(["UnicodeError", "OSError", "Boom"])),
       opens=s.outcomes(st.sampled_from(["with-exit", "no-exit"]), st.sampled_from(["FileNotFoundError", "Boom"])),
       result=s.outcomes(RAW, st.sampled_from(["VORAError", "ValidationError", "Boom"])),
       args=st.tuples(s.TEXTS, st.sampled_from([1024, 0, "3"]), s.TEXTS), main=st.booleans())
def test_command(read, opens, result, args, main):
    def scenario(run, recipe):
        def fake_open(*a, **k):
            run.note("open", a, k)
            kind = run.outcome(opens)
            return (WithExit if kind == "with-exit" else NoExit)(run, read)

        class Result:
            def __getattr__(self, name):
                run.note("result", "getattr", name)
                if name != "raw":
                    raise AttributeError(name)
                return raw

        raw = run.build(result[1]) if result[0] == "ret" else None

        class Client:
            def __init__(self, *a, **k):
                run.note("VORAClient", a, k)

            def execute(self, *a, **k):
                run.note("execute", a, k)
                run.outcome(result)
                return Result()

        def fake_print(*a, **k):
            run.note("print", a, k)

        def fake_app(*a, **k):
            run.note("app", a, k)

        names = {"open": fake_open, "VORAClient": Client, "json": Proxy(run, "json", json), "print": fake_print,
                 "app": fake_app}
        with patched(run.impl.cli, **names):
            if main:
                return observe(run, run.impl.cli.main)
            return observe(run, run.impl.cli.execute, *(run.build(a) for a in args))

    compare("command", (read, opens, result, args, main), scenario)
