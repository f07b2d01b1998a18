"""Machinery of the differential tests: the same recipe is built and run once
against the extension modules and once against their pure-Python twin, and
everything a caller can observe is put into one canonical form that must
come out equal.

A recipe is plain data (what hypothesis generates and prints). ``Run.build``
turns it into live objects for one run: documents, mappings that log their
``get``, and ``Probe`` objects whose dunder methods and attributes log every
use and answer as the recipe scripts them (a value, or an exception). The log
of one run is the ordered list of everything the fakes saw; ``Run.canon``
renders results and exceptions (type, args, ``__context__``, ``__cause__``,
``__suppress_context__``) with the inputs named by label, so "the same
object" is checked by identity, not by value.
"""

from __future__ import annotations

import asyncio
import builtins
import contextlib
import dataclasses
import enum
import inspect
import json
import os
import sys
from pathlib import Path

import httpx

import zentrova_sdk.cli
import zentrova_sdk.client
import zentrova_sdk.models

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "twin"))
import zentrova_twin.cli  # noqa: E402
import zentrova_twin.client  # noqa: E402
import zentrova_twin.models  # noqa: E402


@dataclasses.dataclass(frozen=True)
class Impl:
    name: str
    models: object
    client: object
    cli: object


IMPLS = (
    Impl("native", zentrova_sdk.models, zentrova_sdk.client, zentrova_sdk.cli),
    Impl("twin", zentrova_twin.models, zentrova_twin.client, zentrova_twin.cli),
)

REQUEST = httpx.Request("GET", "http://svc.test/x")


class Boom(Exception):
    pass


class BaseBoom(BaseException):
    pass


def typename(cls) -> str:
    return f"{cls.__module__}.{cls.__qualname__}".replace("zentrova_twin", "zentrova_sdk")


_DEFAULT = object()


class Run:
    """One run of a recipe against one implementation."""

    def __init__(self, impl: Impl, hand_driven: bool = True):
        self.impl = impl
        self.log: list = []
        self.labels: dict[int, tuple[str, object]] = {}
        self.count = 0
        self.coro = None  # the coroutine under test, whose state every log entry records
        self.hand_driven = hand_driven

    # -- labels and the canonical form ------------------------------------------------

    def register(self, obj, kind: str):
        self.labels[id(obj)] = (f"{kind}{self.count}", obj)
        self.count += 1
        return obj

    def label_of(self, obj):
        entry = self.labels.get(id(obj))
        return entry[0] if entry is not None and entry[1] is obj else None

    def canon(self, v, depth: int = 0):
        label = self.label_of(v)
        if label is not None:
            return ("in", label)
        if depth > 12:
            return ("deep",)
        if v is None or type(v) in (bool, int, str, bytes):
            return v if type(v) is not bool else ("bool", v)
        if type(v) is float:
            return ("float", repr(v))
        if isinstance(v, enum.Enum):
            return (typename(type(v)), v.name)
        if isinstance(v, BaseException):
            return self.canon_exc(v, depth)
        if type(v) is dict:
            return ("dict", tuple((self.canon(k, depth + 1), self.canon(x, depth + 1)) for k, x in v.items()))
        if type(v) in (list, tuple):
            return (type(v).__name__, tuple(self.canon(x, depth + 1) for x in v))
        if dataclasses.is_dataclass(v) and not isinstance(v, type):
            fields = tuple(self.canon(getattr(v, f.name), depth + 1) for f in dataclasses.fields(v))
            return ("record", typename(type(v)), fields)
        if inspect.iscoroutine(v) or type(v).__name__ == "coroutine":
            return ("coroutine", v.__qualname__)
        if isinstance(v, type):
            return ("class", typename(v))
        return ("object", typename(type(v)))

    def canon_exc(self, e: BaseException, depth: int = 0, seen=None):
        seen = seen or set()
        if id(e) in seen or depth > 12:
            return ("cycle",)
        seen.add(id(e))
        chained = [self.canon_exc(x, depth + 1, seen) if x is not None else None for x in (e.__context__, e.__cause__)]
        return ("exc", typename(type(e)), self.canon(e.args, depth + 1), *chained, e.__suppress_context__)

    # -- the log ----------------------------------------------------------------------

    def note(self, *entry):
        row = tuple(self.canon(x) for x in entry)
        if self.coro is not None:
            row += (inspect.getcoroutinestate(self.coro),)
        self.log.append(row)

    # -- building recipes --------------------------------------------------------------

    def build(self, recipe):
        """Live object for a recipe value: atoms stand for themselves; tuples
        tagged "dict", "ldict", "lmap", "list" or "probe" are containers and fakes."""
        if not isinstance(recipe, tuple):
            return recipe
        tag, body = recipe[0], recipe[1]
        if tag == "dict":
            return self.register({self.build(k): self.build(v) for k, v in body}, "d")
        if tag == "ldict":
            return self.register(LoggingDict(self, {self.build(k): self.build(v) for k, v in body}), "ld")
        if tag == "lmap":
            return self.register(LoggingMapping(self, {self.build(k): self.build(v) for k, v in body}), "lm")
        if tag == "list":
            return self.register([self.build(v) for v in body], "l")
        if tag == "probe":
            return Probe(self, dict(body))
        if tag == "model":  # a name of the implementation's models module
            return getattr(self.impl.models, body)
        raise ValueError(recipe)

    def exc(self, recipe, response=None) -> BaseException:
        kind, message = recipe
        if kind == "HTTPStatusError":
            return httpx.HTTPStatusError(message, request=REQUEST, response=response)
        if kind in ("ConnectTimeout", "PoolTimeout", "ReadTimeout", "WriteTimeout", "ConnectError", "ReadError",
                    "WriteError", "RemoteProtocolError", "DecodingError"):
            return getattr(httpx, kind)(message, request=REQUEST)
        if kind == "CancelledError":
            return asyncio.CancelledError(message)
        if kind in ("VORAError", "JobNotFoundError", "ValidationError"):
            return getattr(self.impl.models, kind)(message)
        if kind in ("Boom", "BaseBoom"):
            return globals()[kind](message)
        if kind == "JSONDecodeError":
            return json.JSONDecodeError(message, "{", 0)
        return getattr(builtins, kind)(message)

    def outcome(self, recipe, owner=None):
        """("ret", value) answers a value; ("raise", exception) raises a fresh one."""
        kind, payload = recipe
        if kind == "raise":
            raise self.exc(payload, owner)
        return payload


class Probe:
    """A fake whose every use is logged. Its script maps an operation ("bool",
    "eq", "format", "radd", "iter", ...) to an outcome, and an attribute name
    to ("val", value) or ("call", outcome). Unscripted operations behave like a
    plain object's; unscripted attributes do not exist."""

    def __init__(self, run: Run, script: dict):
        run.register(self, "p")
        self._run = run
        self._label = run.label_of(self)
        self._script = {}
        for key, entry in script.items():
            if key in OPS:
                kind, payload = entry
                self._script[key] = (kind, run.build(payload) if kind == "ret" else payload)
            elif entry[0] == "val":
                self._script[key] = ("val", run.build(entry[1]))
            else:
                kind, payload = entry[1]
                self._script[key] = ("call", (kind, run.build(payload) if kind == "ret" else payload))

    def _op(self, op, *args):
        self._run.note(self._label, op, *args)
        entry = self._script.get(op)
        return _DEFAULT if entry is None else self._run.outcome(entry, self)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        self._run.note(self._label, "getattr", name)
        entry = self._script.get(name)
        if entry is None:
            raise AttributeError(f"'Probe' object has no attribute '{name}'")
        if entry[0] == "val":
            return entry[1]
        return Method(self, name, entry[1])

    def __hash__(self):
        self._run.note(self._label, "hash")
        return hash(self._label)

    def __bool__(self):
        r = self._op("bool")
        return True if r is _DEFAULT else r

    def __format__(self, format_spec):
        r = self._op("format", format_spec)
        return f"<{self._label}>" if r is _DEFAULT else r

    def __str__(self):
        r = self._op("str")
        return f"<{self._label}>" if r is _DEFAULT else r

    def __repr__(self):
        r = self._op("repr")
        return f"<{self._label}>" if r is _DEFAULT else r

    def __iter__(self):
        r = self._op("iter")
        if r is _DEFAULT:
            raise TypeError("'Probe' object is not iterable")
        return iter(r)

    def __len__(self):
        r = self._op("len")
        return 0 if r is _DEFAULT else r

    def __contains__(self, item):
        r = self._op("contains", item)
        return False if r is _DEFAULT else r

    def __getitem__(self, key):
        r = self._op("getitem", key)
        if r is _DEFAULT:
            raise KeyError(key)
        return r


def _binary(op):
    def method(self, *args):
        r = self._op(op, *args)
        return NotImplemented if r is _DEFAULT else r

    method.__name__ = f"__{op}__"
    return method


BINARY = ("eq", "ne", "lt", "le", "gt", "ge", "add", "radd", "sub", "rsub", "mul", "rmul",
          "truediv", "rtruediv", "pow", "rpow")
for _op in BINARY:
    setattr(Probe, f"__{_op}__", _binary(_op))
OPS = frozenset(BINARY) | {"bool", "format", "str", "repr", "iter", "len", "contains", "getitem"}


class Method:
    def __init__(self, owner: Probe, name: str, outcome):
        self.owner, self.name, self.outcome_spec = owner, name, outcome

    def __call__(self, *args, **kwargs):
        run = self.owner._run
        run.note(self.owner._label, "call", self.name, args, kwargs)
        return run.outcome(self.outcome_spec, self.owner)


class LoggingDict(dict):
    """A dict subclass with its own `get`, as a caller's mapping might be."""

    def __init__(self, run, items):
        super().__init__(items)
        self._run = run

    def get(self, key, *default):
        self._run.note(self._run.label_of(self), "get", key, *default)
        return super().get(key, *default)


class LoggingMapping:
    """A mapping that is not a dict: everything it is asked is logged."""

    def __init__(self, run, items):
        self._run, self._items = run, items

    def _note(self, *entry):
        self._run.note(self._run.label_of(self), *entry)

    def get(self, key, *default):
        self._note("get", key, *default)
        return self._items.get(key, *default)

    def __getitem__(self, key):
        self._note("getitem", key)
        return self._items[key]

    def __contains__(self, key):
        self._note("contains", key)
        return key in self._items

    def __iter__(self):
        self._note("iter")
        return iter(self._items)

    def __len__(self):
        self._note("len")
        return len(self._items)

    def __repr__(self):  # its label, not its address, so that messages compare
        self._note("repr")
        return f"<{self._run.label_of(self)}>"

    def items(self):
        self._note("items")
        return self._items.items()

    def values(self):
        self._note("values")
        return self._items.values()


class Proxy:
    """Stands in for a module global (a module or a class): attribute reads and
    calls are logged, then passed on to the real object."""

    def __init__(self, run: Run, name: str, target, overrides=None):
        self._run, self._name, self._target, self._overrides = run, name, target, overrides or {}

    def __getattr__(self, attr):
        if attr.startswith("__"):
            raise AttributeError(attr)
        self._run.note(self._name, "getattr", attr)
        if attr in self._overrides:
            return self._overrides[attr]
        return getattr(self._target, attr)

    def __call__(self, *args, **kwargs):
        self._run.note(self._name, "call", args, kwargs)
        return self._target(*args, **kwargs)


@contextlib.contextmanager
def patched(module, **names):
    saved = {name: module.__dict__.get(name, _DEFAULT) for name in names}
    module.__dict__.update(names)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is _DEFAULT:
                module.__dict__.pop(name, None)
            else:
                module.__dict__[name] = value


def observe(run: Run, fn, *args, **kwargs):
    """The outcome of one call, canonical: ("return", value) or ("raise", exception)."""
    try:
        return ("return", run.canon(fn(*args, **kwargs)))
    except BaseException as e:  # noqa: B902 - interrupts are outcomes too
        return ("raise", run.canon_exc(e))


# -- running both ---------------------------------------------------------------------

CASES: dict[str, int] = {}
LAST_INPUT = os.environ.get("ZENTROVA_DIFF_LAST")


def compare(test: str, recipe, scenario, **options):
    """Runs `scenario(run, recipe)` on both implementations and asserts that the
    outcomes and the logs are equal. The recipe is written down first, so that
    a crash of the interpreter still names its input."""
    CASES[test] = CASES.get(test, 0) + 1
    if LAST_INPUT:
        with open(LAST_INPUT, "w") as f:
            f.write(f"{test}: {recipe!r}\n")
    results = []
    for impl in IMPLS:
        run = Run(impl, **options)
        outcome = scenario(run, recipe)
        results.append((outcome, run.log))
    (native, native_log), (twin, twin_log) = results
    assert native == twin, f"outcomes differ\n native: {native}\n twin:   {twin}"
    assert native_log == twin_log, first_difference(native_log, twin_log)
    return native, native_log


def first_difference(a: list, b: list) -> str:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"logs differ at entry {i}\n native: {x}\n twin:   {y}\n before: {a[max(0, i - 3):i]}"
    return f"logs differ in length: native {len(a)}, twin {len(b)}\n native tail: {a[len(b):][:3]}\n twin tail: {b[len(a):][:3]}"
