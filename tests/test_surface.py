"""Everything a caller can see of the modules, against the pure-Python twin
on the running interpreter: for each module, class, function, code object and
coroutine object, dir() and the value of every attribute.

A native function has no Python source, so what describes source and
bytecode cannot be compared; UNCOMPARABLE names those attributes and why.
Every other difference is listed by the test, not just the first."""

from __future__ import annotations

import asyncio
import builtins
import enum
import inspect
import sys
import types
import warnings
from pathlib import Path

import pytest

import zentrova_sdk.cli
import zentrova_sdk.client
import zentrova_sdk.models

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "twin"))
import zentrova_twin.cli  # noqa: E402
import zentrova_twin.client  # noqa: E402
import zentrova_twin.models  # noqa: E402

UNCOMPARABLE = {
    # Bytecode and the source it was compiled from.
    **dict.fromkeys(["co_code", "_co_code_adaptive", "co_consts", "co_names", "co_stacksize", "co_linetable",
                     "co_lnotab", "co_exceptiontable", "co_positions", "co_lines", "co_branches"], "bytecode"),
    **dict.fromkeys(["co_filename", "co_firstlineno", "__firstlineno__"], "the source file and line"),
    # Where a module was loaded from: an extension module has no .pyc.
    **dict.fromkeys(["__file__", "__cached__", "__loader__", "__spec__"], "how the module was loaded"),
}
# Differences kept on purpose.
KEPT = {
    # The native coroutine type is a heap type, whose __module__ lives in its
    # namespace: without it type(coroutine).__module__ would raise.
    "coroutine __module__": "__module__",
}
MODULES = [(zentrova_sdk.models, zentrova_twin.models), (zentrova_sdk.client, zentrova_twin.client),
           (zentrova_sdk.cli, zentrova_twin.cli)]
CODE_ATTRIBUTES = ["co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_nlocals", "co_varnames",
                   "co_cellvars", "co_freevars", "co_flags", "co_name", "co_qualname"]


def normal(text):
    return text.replace("zentrova_twin", "zentrova_sdk")


class Differences(list):
    def note(self, path, ours, theirs):
        self.append(f"{path}: ours {ours!r}, twin {theirs!r}")


def compare_names(found, path, ours, theirs, kept=()):
    a = [n for n in dir(ours) if n not in UNCOMPARABLE and n not in kept]
    b = [n for n in dir(theirs) if n not in UNCOMPARABLE]
    if a != b:
        found.note(f"dir({path})", sorted(set(a) - set(b)), sorted(set(b) - set(a)))


def is_function(f):
    return isinstance(f, types.FunctionType) or type(f).__name__ == "function"


def compare(found, path, ours, theirs, seen):
    if id(ours) in seen:
        return
    seen.add(id(ours))
    if isinstance(theirs, types.ModuleType):
        return compare_module(found, path, ours, theirs, seen)
    if isinstance(theirs, type):
        return compare_class(found, path, ours, theirs, seen)
    if is_function(theirs):
        return compare_function(found, path, ours, theirs, seen)
    if isinstance(theirs, (classmethod, staticmethod)):
        return compare(found, f"{path}.__func__", ours.__func__, theirs.__func__, seen)
    if isinstance(theirs, property):
        for part in ("fget", "fset", "fdel"):
            compare(found, f"{path}.{part}", getattr(ours, part), getattr(theirs, part), seen)
        if ours.__doc__ != theirs.__doc__:
            found.note(f"{path}.__doc__", ours.__doc__, theirs.__doc__)
        return None
    if isinstance(theirs, dict):
        if list(ours) != list(theirs):
            found.note(f"{path} keys", list(ours), list(theirs))
            return None
        for key in theirs:
            compare(found, f"{path}[{key!r}]", ours[key], theirs[key], seen)
        return None
    if type(theirs).__name__ == "Typer":  # the command-line application
        ours, theirs = [(app.info.help, app._add_completion, [c.callback.__name__ for c in app.registered_commands])
                        for app in (ours, theirs)]
    if normal(repr(ours)) != normal(repr(theirs)):
        found.note(path, ours, theirs)
    return None


def compare_module(found, path, ours, theirs, seen):
    compare_names(found, path, ours, theirs)
    # (Their order is the modules' own tests' business: other tests delete and
    # restore names, which moves them to the end.)
    if sorted(n for n in vars(ours) if not n.startswith("__")) != sorted(
            n for n in vars(theirs) if not n.startswith("__")):
        found.note(f"{path} names", list(vars(ours)), list(vars(theirs)))
    if ours.__doc__ != theirs.__doc__:
        found.note(f"{path}.__doc__", ours.__doc__, theirs.__doc__)
    for name, value in vars(theirs).items():
        if name.startswith("__") or name not in vars(ours):
            continue
        mine = vars(ours)[name]
        if getattr(value, "__module__", None) == theirs.__name__ or isinstance(value, types.ModuleType) and \
                value.__name__.startswith("zentrova"):
            compare(found, f"{path}.{name}", mine, value, seen)
        elif mine is not value and normal(getattr(value, "__module__", "") or "").startswith("zentrova_sdk"):
            compare(found, f"{path}.{name}", mine, value, seen)
        elif mine is not value and not normal(getattr(value, "__module__", "") or "").startswith("zentrova_sdk"):
            compare(found, f"{path}.{name}", mine, value, seen)


def compare_class(found, path, ours, theirs, seen):
    compare_names(found, path, ours, theirs)
    for name in ("__name__", "__qualname__", "__doc__"):
        if getattr(ours, name) != getattr(theirs, name):
            found.note(f"{path}.{name}", getattr(ours, name), getattr(theirs, name))
    if normal(ours.__module__) != normal(theirs.__module__):
        found.note(f"{path}.__module__", ours.__module__, theirs.__module__)
    if [normal(c.__qualname__) for c in ours.__mro__] != [normal(c.__qualname__) for c in theirs.__mro__]:
        found.note(f"{path}.__mro__", ours.__mro__, theirs.__mro__)
    if type(ours).__name__ != type(theirs).__name__:
        found.note(f"type({path})", type(ours), type(theirs))
    own, twin = vars(ours), vars(theirs)
    if list(own) != list(twin):
        found.note(f"vars({path}) keys", list(own), list(twin))
    for name in list(twin):
        if name in own and name not in UNCOMPARABLE and name not in ("__dict__", "__weakref__"):
            compare(found, f"{path}.{name}", own[name], twin[name], seen)


def compare_function(found, path, ours, theirs, seen):
    compare_names(found, path, ours, theirs)
    for name in ("__name__", "__qualname__", "__doc__", "__annotations__", "__defaults__", "__kwdefaults__",
                 "__type_params__"):
        a, b = getattr(ours, name, "<missing>"), getattr(theirs, name, "<missing>")
        if normal(repr(a)) != normal(repr(b)):
            found.note(f"{path}.{name}", a, b)
    compare(found, f"{path}.__dict__", ours.__dict__, theirs.__dict__, seen)
    cells = [[type(c.cell_contents).__name__ for c in f.__closure__ or ()] for f in (ours, theirs)]
    if cells[0] != cells[1]:
        found.note(f"{path}.__closure__", *cells)
    if normal(ours.__module__) != normal(theirs.__module__):
        found.note(f"{path}.__module__", ours.__module__, theirs.__module__)
    if normal(ours.__globals__["__name__"]) != normal(theirs.__globals__["__name__"]):
        found.note(f"{path}.__globals__", ours.__globals__["__name__"], theirs.__globals__["__name__"])
    if ours.__builtins__ is not theirs.__builtins__:
        found.note(f"{path}.__builtins__", type(ours.__builtins__), type(theirs.__builtins__))
    if str(inspect.signature(ours)) != str(inspect.signature(theirs)):
        found.note(f"signature of {path}", inspect.signature(ours), inspect.signature(theirs))
    for name in CODE_ATTRIBUTES:
        a, b = getattr(ours.__code__, name, "<missing>"), getattr(theirs.__code__, name, "<missing>")
        if a != b:
            found.note(f"{path}.__code__.{name}", a, b)
    if inspect.iscoroutinefunction(theirs) != inspect.iscoroutinefunction(ours):
        found.note(f"iscoroutinefunction({path})", inspect.iscoroutinefunction(ours),
                   inspect.iscoroutinefunction(theirs))
    if hasattr(theirs, "__annotate__"):  # the function the compiler makes beside one with annotations
        compare(found, f"{path}.__annotate__", ours.__annotate__, theirs.__annotate__, seen)
        if callable(theirs.__annotate__) and annotate_outcomes(ours) != annotate_outcomes(theirs):
            found.note(f"calls of {path}.__annotate__", annotate_outcomes(ours), annotate_outcomes(theirs))


def annotate_outcomes(function):
    """What __annotate__ returns for each format (VALUE, VALUE_WITH_FAKE_GLOBALS,
    FORWARDREF, STRING, and what is no format), and how calls that do not bind fail."""
    outcomes = []
    for args, kwargs in [((1,), {}), ((2,), {}), ((3,), {}), ((4,), {}), ((0,), {}), (("1",), {}), ((), {}),
                         ((1, 2), {}), ((), {"format": 1}), ((1,), {"fmt": 1})]:
        try:
            outcomes.append(("ret", function.__annotate__(*args, **kwargs)))
        except Exception as exc:
            outcomes.append(("raise", type(exc), normal(str(exc))))
    made = function.__annotate__(1)
    outcomes.append(made is not function.__annotate__(1) and made is not function.__annotations__)
    return outcomes


@pytest.mark.parametrize("ours, theirs", MODULES, ids=lambda m: m.__name__)
def test_module_surface_matches_the_twin(ours, theirs):
    found = Differences()
    compare(found, ours.__name__, ours, theirs, set())
    assert not found, "\n".join(found)


def coroutines(module):
    client = module.AsyncVORAClient(api_key="k", base_url="http://h")
    return [("submit", client.submit("q")), ("get_status", client.get_status("j")),
            ("_request_with_retries", client._request_with_retries("GET", "u", json={})),
            ("_sleep", client._sleep(0))]


def test_coroutine_objects_match_the_twin():
    found = Differences()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for (name, ours), (_, theirs) in zip(coroutines(zentrova_sdk.client), coroutines(zentrova_twin.client)):
            compare_names(found, f"coroutine {name}", ours, theirs, kept=[KEPT["coroutine __module__"]])
            for attribute in ("__name__", "cr_running", "cr_suspended", "cr_await", "cr_origin", "cr_state"):
                if getattr(ours, attribute, "<missing>") != getattr(theirs, attribute, "<missing>"):
                    found.note(f"{name}.{attribute}", getattr(ours, attribute, "<missing>"),
                               getattr(theirs, attribute, "<missing>"))
            if inspect.getcoroutinestate(ours) != inspect.getcoroutinestate(theirs):
                found.note(f"state of {name}", inspect.getcoroutinestate(ours), inspect.getcoroutinestate(theirs))
            for attribute in dir(type(theirs)):
                descriptors = [inspect.getattr_static(type(c), attribute, None) for c in (ours, theirs)]
                docs = [getattr(d, "__doc__", None) for d in descriptors]
                if attribute not in ("__doc__", "__module__") and docs[0] != docs[1]:
                    found.note(f"coroutine.{attribute}.__doc__", *docs)
            if ours.__qualname__ != theirs.__qualname__ or ours.cr_code.co_varnames != theirs.cr_code.co_varnames:
                found.note(f"{name} code", ours.cr_code, theirs.cr_code)
            if inspect.getcoroutinelocals(ours).keys() != inspect.getcoroutinelocals(theirs).keys():
                found.note(f"{name} locals", inspect.getcoroutinelocals(ours), inspect.getcoroutinelocals(theirs))
            if asyncio.iscoroutine(ours) is not True or inspect.isawaitable(ours) is not True:
                found.note(f"{name} is a coroutine to asyncio", asyncio.iscoroutine(ours), True)
            for attribute, value in (("__name__", "renamed"), ("__qualname__", 2), ("__qualname__", "C.renamed")):
                outcomes = [assignment(coro, attribute, value) for coro in (ours, theirs)]
                if outcomes[0] != outcomes[1]:
                    found.note(f"{name}.{attribute} = {value!r}", *outcomes)
            ours.close(), theirs.close()
    assert not found, "\n".join(found)


def assignment(target, attribute, value):
    try:
        setattr(target, attribute, value)
    except Exception as exc:
        return type(exc), str(exc)
    return getattr(target, attribute), repr(target).split(" at ")[0]
