"""What tools see of zentrova_sdk.models' functions: signatures, annotations
kept as text, code objects, qualified names, method wrapping and Python's own
argument-binding errors. Each is compared with the pure-Python implementation
in the pure-Python twin (twin/zentrova_twin) where Python fixes the answer."""

import inspect
import sys
import typing
from pathlib import Path

import pytest

from zentrova_sdk import models
from zentrova_sdk.models import BackendInfo, CircuitJob, JobResult, JobStatus, ProviderInfo, SupplierInfo

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "twin"))
import zentrova_twin.models as baseline  # noqa: E402


def _function(module, path):
    owner, name = path.split(".")
    member = vars(getattr(module, owner))[name]
    return getattr(member, "__func__", None) or getattr(member, "fget", None) or member


# path, signature text, argument names then locals (with the variables of
# comprehensions, cells included), resolved annotations
FUNCTIONS = [
    *[(f"{c.__name__}.from_dict", f"(cls, data: 'Dict[str, Any]') -> '{c.__name__}'", ("cls", "data"),
       {"data": typing.Dict[str, typing.Any], "return": c}) for c in (ProviderInfo, BackendInfo, SupplierInfo)],
    ("JobResult.from_dict", "(cls, data: 'Dict[str, Any]') -> \"'JobResult'\"",
     ("cls", "data", "status_raw", "status", "result_block", "counts"),
     {"data": typing.Dict[str, typing.Any], "return": JobResult}),
    ("JobResult.is_complete", "(self) -> 'bool'", ("self",), {"return": bool}),
    ("JobResult.is_successful", "(self) -> 'bool'", ("self",), {"return": bool}),
    # Before 3.12 the comprehension is a function of its own and `total` a cell.
    ("JobResult.get_probabilities", "(self) -> 'Dict[str, float]'",
     ("self", "total", "key", "value") if sys.version_info >= (3, 12) else ("self",),
     {"return": typing.Dict[str, float]}),
]
PATHS = [entry[0] for entry in FUNCTIONS]


@pytest.mark.parametrize("path, signature, varnames, hints", FUNCTIONS, ids=PATHS)
def test_function_surface(path, signature, varnames, hints):
    function = _function(models, path)
    reference = _function(baseline, path)
    assert str(inspect.signature(function)) == signature == str(inspect.signature(reference))
    assert function.__annotations__ == reference.__annotations__
    assert all(type(a) is str for a in function.__annotations__.values())
    assert typing.get_type_hints(function, localns=vars(models)) == hints
    assert (function.__name__, function.__qualname__, function.__module__) == (
        path.split(".")[1], path, "zentrova_sdk.models")
    assert function.__globals__ is vars(models)
    assert function.__doc__ is None and function.__defaults__ is None and function.__kwdefaults__ is None
    code, twin = function.__code__, reference.__code__
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert (code.co_varnames, code.co_cellvars, code.co_freevars, code.co_nlocals, code.co_flags) == (
        twin.co_varnames, twin.co_cellvars, twin.co_freevars, twin.co_nlocals, twin.co_flags)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (
        reference.__code__.co_argcount, 0, 0)
    assert (code.co_name, code.co_qualname) == (function.__name__, path)
    with pytest.raises(TypeError):
        type(function)()


@pytest.mark.parametrize("cls", [ProviderInfo, BackendInfo, SupplierInfo, JobResult], ids=lambda c: c.__name__)
def test_from_dict_is_a_classmethod(cls):
    wrapper = vars(cls)["from_dict"]
    assert type(wrapper) is classmethod and wrapper.__wrapped__ is wrapper.__func__
    bound = cls.from_dict
    assert bound.__self__ is cls and bound.__func__ is wrapper.__func__
    assert type(cls("a", "b").from_dict({})) is cls  # through an instance, too
    assert type(wrapper.__func__(cls=cls, data={})) is cls


@pytest.mark.parametrize("name", ["is_complete", "is_successful"])
def test_properties_wrap_a_getter_without_setter(name):
    prop = vars(JobResult)[name]
    assert type(prop) is property and prop.fset is None and prop.fdel is None and prop.__doc__ is None
    assert prop.fget is _function(models, f"JobResult.{name}")
    assert prop.fget(JobResult("j", JobStatus.COMPLETED)) is True


def test_method_binds_like_a_python_function():
    method = vars(JobResult)["get_probabilities"]
    result = JobResult("j", JobStatus.COMPLETED, counts={"0": 2})
    bound = result.get_probabilities
    assert bound.__self__ is result and bound.__func__ is method and JobResult.get_probabilities is method
    assert bound() == method(result) == method(self=result) == {"0": 1.0}
    assert inspect.ismethod(bound) and str(inspect.signature(bound)) == "() -> 'Dict[str, float]'"


def test_class_annotations_resolve():
    assert typing.get_type_hints(CircuitJob) == {"job_id": str, "status": JobStatus | str}
    hints = typing.get_type_hints(JobResult)
    assert hints == typing.get_type_hints(baseline.JobResult, localns=vars(models))
    assert hints["counts"] == typing.Optional[typing.Dict[str, int]] and hints["status"] is JobStatus
    assert typing.get_type_hints(JobResult.__init__, localns=vars(models))["raw"] == typing.Optional[
        typing.Dict[str, typing.Any]]
    assert JobResult.__init__.__globals__ is vars(models)


def _call(path, *args, **kwargs):
    return lambda module: _function(module, path)(*args, **kwargs)


@pytest.mark.parametrize("call", [
    _call("JobResult.from_dict"),
    _call("JobResult.from_dict", JobResult),
    _call("JobResult.from_dict", JobResult, {}, {}),
    _call("JobResult.from_dict", JobResult, date={}),
    _call("JobResult.from_dict", JobResult, {}, data={}),
    _call("ProviderInfo.from_dict", cls=ProviderInfo),
    _call("SupplierInfo.from_dict", SupplierInfo, {}, {}, {}),
    _call("JobResult.get_probabilities"),
    _call("JobResult.get_probabilities", None, None),
    _call("JobResult.get_probabilities", None, extra=1),
    _call("JobResult.is_complete", self=None, other=None),
    _call("JobResult.is_successful", None, self=None),
])
def test_argument_binding_errors_match_python(call):
    with pytest.raises(TypeError) as ours:
        call(models)
    with pytest.raises(TypeError) as reference:
        call(baseline)
    assert str(ours.value) == str(reference.value)
