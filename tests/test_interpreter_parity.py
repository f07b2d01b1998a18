"""What changes from one CPython version to the next, each compared with what
the running interpreter itself makes of the equivalent Python source:
argument-binding errors, docstrings, what def and class statements record,
and the methods of coroutine objects. The same tests run on 3.11, 3.12 and
3.13; none of them names a version's answer."""

from __future__ import annotations

import inspect
import itertools
import json
import os
import subprocess
import sys
import types
import warnings
from pathlib import Path

import pytest

import zentrova_sdk
import zentrova_sdk.cli as cli
import zentrova_sdk.client as client_mod
import zentrova_sdk.models as models
from zentrova_sdk.client import AsyncVORAClient, VORAClient

from conftest import API_KEY, compiled_docstring

TWIN = Path(__file__).resolve().parents[1] / "twin"
sys.path.insert(0, str(TWIN))
import zentrova_twin.models as baseline  # noqa: E402


def is_native_function(value) -> bool:
    return type(value).__name__ == "function" and not isinstance(value, types.FunctionType)


def native_functions():
    found = []
    for module in (models, client_mod, cli):
        for value in vars(module).values():
            if is_native_function(value):
                found.append(value)
            elif isinstance(value, type) and value.__module__ == module.__name__:
                for member in vars(value).values():
                    function = getattr(member, "__func__", None) or getattr(member, "fget", None) or member
                    if is_native_function(function):
                        found.append(function)
    return found


FUNCTIONS = native_functions()


def python_twin(function):
    """A Python function with the same signature and qualified name, compiled here."""
    namespace: dict = {}
    exec(compile(f"def {function.__name__}{inspect.signature(function)}:\n    pass\n", "<twin>", "exec"), namespace)
    twin = namespace[function.__name__]
    twin.__qualname__ = function.__qualname__
    return twin


# ---- argument binding ----------------------------------------------------------------


class Arg:
    """An argument no body can use: a call that binds fails at its first step."""


def binding_error(function, npos, keywords):
    try:
        result = function(*[Arg()] * npos, **dict.fromkeys(keywords, Arg()))
    except TypeError as exc:
        return str(exc)
    if inspect.iscoroutine(result):
        result.close()
    return None


def call_shapes(function):
    """Positional counts from none to one too many, with up to three keywords
    drawn from the parameter names, near misses of them and a stranger (pairs
    in both orders, since the first bad keyword is the one reported)."""
    names = [p.name for p in inspect.signature(function).parameters.values() if p.kind is not p.VAR_KEYWORD]
    near = sorted({m for n in names for m in (n[:-1], n + "s", n[1:], n.upper())} - set(names) - {""})
    candidates = names + near[:6] + ["extra"]
    keyword_sets = [(), *((c,) for c in candidates), *itertools.permutations(candidates, 2),
                    *itertools.combinations(candidates, 3)]
    return [(npos, keywords) for npos in range(len(names) + 2) for keywords in keyword_sets]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_binding_errors_are_the_interpreters(function):
    twin = python_twin(function)
    messages = []
    for npos, keywords in call_shapes(function):
        expected = binding_error(twin, npos, keywords)
        if expected is None:
            continue  # the call binds: the native body is not run with these arguments
        assert binding_error(function, npos, keywords) == expected, (npos, keywords)
        messages.append(expected)
    for mapping in ({1: 2}, {"extra": 1, 2: 3}):
        with pytest.raises(TypeError) as ours:
            function(**mapping)
        with pytest.raises(TypeError) as reference:
            twin(**mapping)
        assert str(ours.value) == str(reference.value)
    kinds = {kind for kind in ("unexpected keyword", "multiple values", "positional argument", "missing")
             if any(kind in m for m in messages)}
    code = function.__code__
    assert kinds == ({"positional argument"} | ({"multiple values", "missing"} if code.co_argcount else set())
                     | (set() if code.co_flags & inspect.CO_VARKEYWORDS else {"unexpected keyword"}))
    # Where the interpreter suggests a parameter for a misspelt keyword, ours do too.
    assert any("Did you mean" in m for m in messages) == any(
        "Did you mean" in (binding_error(twin, 0, [n + "s"]) or "") for n in inspect.signature(function).parameters)


# ---- docstrings ----------------------------------------------------------------------

INIT_DOC = (
    "Create a client of the VORA service.\n\n        Args:\n"
    "            api_key: The API key, or None to take it from the environment variable VORA_API_KEY.\n"
    "            base_url: The origin (and optional path prefix) of the service's HTTP API.\n"
    "            timeout: Request timeout in seconds, handed to the HTTP client.\n"
    "            max_retries: How many further attempts the request routine makes after a first\n"
    "                attempt that fails with a timeout or transport error.\n        "
)


@pytest.mark.parametrize("cls", [VORAClient, AsyncVORAClient], ids=lambda c: c.__name__)
def test_constructor_docstrings_are_compiled_ones(cls):
    assert cls.__init__.__doc__ == compiled_docstring(INIT_DOC)
    assert (cls.__init__.__doc__ == INIT_DOC) == (sys.version_info < (3, 13))


def test_docstrings_vanish_under_OO():
    """-OO drops every docstring at compile time; data classes then get their signature text."""
    probe = (
        "import json, sys; sys.path[:0] = %r\n"
        "import zentrova_twin.models as b, zentrova_sdk.cli as cli, zentrova_sdk.client as c, zentrova_sdk.models as m\n"
        "def f():\n    'doc'\n"
        "print(json.dumps({'python': [f.__doc__, b.ProviderInfo.__doc__, list(vars(b.ProviderInfo))],\n"
        "  'native': [c.VORAClient.execute.__doc__, m.ProviderInfo.__doc__, list(vars(m.ProviderInfo)),\n"
        "             c.VORAClient.__doc__, c.AsyncVORAClient.__init__.__doc__, cli.__doc__, cli.execute.__doc__]}))\n"
    ) % [os.path.dirname(os.path.dirname(zentrova_sdk.__file__)), str(TWIN)]
    out = subprocess.run([sys.executable, "-OO", "-c", probe], capture_output=True, text=True, check=True).stdout
    seen = json.loads(out)
    doc, record_doc, record_names = seen["python"]
    assert seen["native"] == [doc, record_doc, record_names, doc, doc, doc, doc] and doc is None


# ---- what def and class statements record -------------------------------------------


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_function_attributes_are_a_defs(function):
    twin = python_twin(function)
    assert dir(function) == dir(twin)
    assert getattr(function, "__type_params__", None) == getattr(twin, "__type_params__", None)
    if hasattr(twin, "__type_params__"):
        for target in (function, twin):
            with pytest.raises(TypeError) as refused:
                target.__type_params__ = []
            target.__type_params__ = (int,)
            assert target.__type_params__ == (int,)
            target.__type_params__ = ()
            assert str(refused.value) == "__type_params__ must be set to a tuple"


@pytest.mark.parametrize("name", [n for n in vars(models) if isinstance(getattr(models, n), type)
                                  and getattr(models, n).__module__ == "zentrova_sdk.models"])
def test_model_classes_are_what_their_class_statements_make(name):
    cls, reference = getattr(models, name), getattr(baseline, name)
    assert list(vars(cls)) == list(vars(reference))
    assert getattr(cls, "__static_attributes__", None) == getattr(reference, "__static_attributes__", None)
    assert type(vars(cls).get("__firstlineno__")) is type(vars(reference).get("__firstlineno__"))


def class_statement_like(cls, instance):
    """A class statement of the same shape: docstring, methods in order (an
    __init__ that assigns what the instance holds), compiled here."""
    lines = [f"class {cls.__name__}:"]
    if cls.__doc__ is not None:
        lines.append(f"    {cls.__doc__!r}")
    for name, member in vars(cls).items():
        if not is_native_function(member):
            continue
        prefix = "async def" if inspect.iscoroutinefunction(member) else "def"
        lines.append(f"    {prefix} {name}(self):")
        body = [f"self.{attribute} = None" for attribute in vars(instance)] if name == "__init__" else ["pass"]
        lines.extend("        " + line for line in body)
    namespace: dict = {}
    exec(compile("\n".join(lines) + "\n", "<twin>", "exec"), namespace)
    return namespace[cls.__name__]


@pytest.mark.parametrize("cls", [VORAClient, AsyncVORAClient], ids=lambda c: c.__name__)
def test_client_classes_are_what_their_class_statements_make(cls):
    reference = class_statement_like(cls, cls(API_KEY))
    assert list(vars(cls)) == list(vars(reference))
    assert getattr(cls, "__static_attributes__", None) == getattr(reference, "__static_attributes__", None)
    assert type(vars(cls).get("__firstlineno__")) is type(vars(reference).get("__firstlineno__"))


@pytest.mark.parametrize("module", [models, client_mod, cli], ids=lambda m: m.__name__)
def test_module_globals_hold_the_builtins(module):
    # A module run from source gets them from exec() before its first statement.
    names = [n for n in vars(baseline) if n != "__cached__"]
    assert [n for n in vars(module) if n.startswith("__")] == names[:names.index("__builtins__") + 1]
    assert vars(module)["__builtins__"] is vars(baseline)["__builtins__"]


# ---- coroutine objects -----------------------------------------------------------------


async def python_sleep():
    import asyncio

    await asyncio.sleep(0)


def suspended_pair():
    """A native and a Python coroutine, each suspended in asyncio.sleep(0)."""
    pair = (AsyncVORAClient(API_KEY)._sleep(0), python_sleep())
    for coro in pair:
        assert coro.send(None) is None
    return pair


@pytest.mark.parametrize("name", ["send", "throw", "close", "__await__", "__sizeof__", "__class_getitem__"])
def test_coroutine_methods_are_the_interpreters(name):
    native, python = suspended_pair()
    try:
        assert hasattr(native, name) == hasattr(python, name)
        if hasattr(python, name):
            ours, theirs = getattr(type(native), name), getattr(types.CoroutineType, name)
            assert (ours.__doc__, ours.__text_signature__) == (theirs.__doc__, theirs.__text_signature__)
    finally:
        native.close()
        python.close()
    if name == "__class_getitem__" and hasattr(python, name):
        assert type(native)[int].__args__ == (int,)


@pytest.mark.parametrize("args", [(KeyError, "v", None), (KeyError("v"),), (), (KeyError, 1, None, 4)],
                         ids=["type-value-traceback", "instance", "nothing", "four"])
def test_coroutine_throw_forms(args):
    outcomes = []
    for coro in suspended_pair():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(BaseException) as raised:
                coro.throw(*args)
        coro.close()
        outcomes.append((type(raised.value), str(raised.value), [(w.category, str(w.message)) for w in caught]))
    assert outcomes[0] == outcomes[1]
