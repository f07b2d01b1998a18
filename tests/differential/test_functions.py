"""The attributes of functions against their twin's, through a generated
sequence of reads, assignments, deletions and calls on a fresh copy of the
module (so that each case starts from what the module's initialisation
made): annotations and __annotate__ (which the native functions make when
first asked for, and whose code annotationlib runs itself for the STRING
format), defaults, names and docstrings, and the code objects made before
or after a rename."""

from __future__ import annotations

import importlib.util
import inspect
import sys
import types

from hypothesis import given
from hypothesis import strategies as st

from harness import compare, observe

FUNCTIONS = ["models:JobResult.get_probabilities", "models:JobResult.from_dict", "models:JobResult.is_complete",
             "client:VORAClient.__init__", "client:AsyncVORAClient.submit", "cli:execute", "cli:main"]
ATTRIBUTES = ["__annotations__", "__annotate__", "__defaults__", "__kwdefaults__", "__name__", "__qualname__",
              "__doc__", "__module__", "__type_params__"]
VALUES = st.sampled_from([("dict",), ("none",), ("tuple",), ("text",), ("int",), ("annotate",)])
OPERATIONS = st.one_of(
    st.tuples(st.just("get"), st.sampled_from(ATTRIBUTES)),
    st.tuples(st.just("set"), st.sampled_from(ATTRIBUTES), VALUES),
    st.tuples(st.just("del"), st.sampled_from(ATTRIBUTES)),
    st.tuples(st.just("annotate"), st.sampled_from([0, 1, 2, 3, 4, "1"])),
    st.sampled_from([("mutate",), ("code",), ("annotate code",), ("signature",), ("coroutine",)]),
    # The code of __annotate__ run as annotationlib runs it, with stand-in globals.
    st.tuples(st.just("run annotate code"), st.sampled_from([1, 2, 3, 4])),
    *([st.tuples(st.just("annotations in format"), st.sampled_from([1, 3, 4]))] if sys.version_info >= (3, 14) else []),
)


def fresh_module(module):
    """A new module from the same source, made while it stands in sys.modules
    (as an import does), then the original put back."""
    found = importlib.util.find_spec(module.__name__)
    copy = importlib.util.module_from_spec(found)
    sys.modules[module.__name__] = copy
    try:
        found.loader.exec_module(copy)
    finally:
        sys.modules[module.__name__] = module
    return copy


def function_in(module, path):
    owner, _, name = path.rpartition(".")
    if not owner:
        return vars(module)[path]
    member = vars(getattr(module, owner))[name]
    return getattr(member, "__func__", None) or getattr(member, "fget", None) or member


def value_of(run, recipe):
    kind = recipe[0]
    if kind == "annotate":  # a replacement __annotate__ of the caller's
        return run.register(lambda format: {"format": format}, "annotate")
    return {"dict": lambda: {"x": "int"}, "none": lambda: None, "tuple": lambda: (1,), "text": lambda: "renamed",
            "int": lambda: 1}[kind]()


def rendered(run, value):
    """Functions by what tells them apart (ours and Python's are of different types)."""
    if run.label_of(value) is None and callable(value) and hasattr(value, "__code__"):
        return ("function", value.__qualname__, value.__name__)
    return value.replace("zentrova_twin", "zentrova_sdk") if type(value) is str else value


def code_of(function):
    code = function.__code__
    return (code.co_name, code.co_qualname, code.co_flags, code.co_argcount, code.co_posonlyargcount,
            code.co_varnames)


def coroutine_names(function):
    if not inspect.iscoroutinefunction(function):
        return None
    required = function.__code__.co_argcount - len(function.__defaults__ or ())
    coroutine = function(*[None] * required)
    try:
        return coroutine.__name__, coroutine.__qualname__, coroutine.cr_code.co_qualname
    finally:
        coroutine.close()


def apply(run, function, operation):
    kind = operation[0]
    if kind == "get":
        return observe(run, lambda: rendered(run, getattr(function, operation[1])))
    if kind == "set":
        return observe(run, setattr, function, operation[1], value_of(run, operation[2]))
    if kind == "del":
        return observe(run, delattr, function, operation[1])
    if kind == "annotate":
        return observe(run, lambda: function.__annotate__(operation[1]))
    if kind == "mutate":
        return observe(run, lambda: function.__annotations__.update(added="str"))
    if kind == "code":
        return observe(run, code_of, function)
    if kind == "coroutine":  # what a coroutine takes from its function when made (never driven here)
        return observe(run, coroutine_names, function)
    if kind == "annotate code":
        return observe(run, lambda: (code_of(function.__annotate__), function.__annotate__.__qualname__))
    if kind == "run annotate code":
        return observe(run, lambda: types.FunctionType(function.__annotate__.__code__, {})(operation[1]))
    if kind == "annotations in format":  # what pydoc and inspect.signature(annotation_format=...) ask for
        import annotationlib

        return observe(run, lambda: (annotationlib.get_annotations(function, format=operation[1]),
                                     str(inspect.signature(function, annotation_format=operation[1]))))
    return observe(run, lambda: str(inspect.signature(function)))


@given(path=st.sampled_from(FUNCTIONS), operations=st.lists(OPERATIONS, max_size=8))
def test_function_attributes(path, operations):
    def scenario(run, recipe):
        module_name, _, qualified = path.partition(":")
        function = function_in(fresh_module(getattr(run.impl, module_name)), qualified)
        return [apply(run, function, operation) for operation in operations]

    compare("function attributes", (path, operations), scenario)
