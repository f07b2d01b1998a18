"""Behaviour of zentrova_sdk.models: the status enumeration, the error family,
the records and the reading rules of their from_dict constructors.

Where the rules are intricate, results are compared with the pure-Python twin
(twin/zentrova_twin/models.py), which follows the same rules.
"""

import __future__
import builtins
import dataclasses
import enum
import gc
import random
import subprocess
import sys
import tracemalloc
import typing
from pathlib import Path

import pytest

from zentrova_sdk import models
from zentrova_sdk.models import (
    AuthenticationError,
    BackendInfo,
    CircuitJob,
    JobNotFoundError,
    JobResult,
    JobStatus,
    ProviderInfo,
    RateLimitError,
    SupplierInfo,
    TimeoutError,
    ValidationError,
    VORAError,
)

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "twin"))
import zentrova_twin.models as baseline  # noqa: E402

MEMBERS = [("PENDING", "pending"), ("QUEUED", "queued"), ("PROCESSING", "processing"),
           ("COMPLETED", "completed"), ("FAILED", "failed")]
SUBCLASSES = [AuthenticationError, RateLimitError, ValidationError, JobNotFoundError, TimeoutError]
CLASS_NAMES = ["JobStatus", "VORAError", "AuthenticationError", "RateLimitError", "ValidationError",
               "JobNotFoundError", "TimeoutError", "CircuitJob", "ProviderInfo", "BackendInfo", "SupplierInfo",
               "JobResult"]


class Recording(dict):
    """A dict that logs each call of its `get` (tag, key, further arguments)."""

    def __init__(self, data=(), log=None, tag="data"):
        super().__init__(data)
        self.log = [] if log is None else log
        self.tag = tag

    def get(self, key, *default):
        self.log.append((self.tag, key, *default))
        return super().get(key, *default)


# ---- module, enumeration, errors -----------------------------------------------------


def test_module_names_in_definition_order():
    names = [n for n in vars(models) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["annotations", "dataclass", "Enum", "Any", "Dict", "Optional", *CLASS_NAMES]
    assert models.__doc__ is None and not hasattr(models, "__all__")
    assert models.annotations is __future__.annotations and models.dataclass is dataclasses.dataclass
    assert (models.Enum, models.Any, models.Dict, models.Optional) == (enum.Enum, typing.Any, typing.Dict,
                                                                       typing.Optional)


def test_models_alone_import_neither_httpx_nor_typer():
    probe = ("import sys, zentrova_sdk.models, zentrova_sdk; "
             "loaded = [m for m in ('httpx', 'typer', 'zentrova_sdk.client') if m in sys.modules]; "
             "from zentrova_sdk import VORAClient, JobStatus; "
             "print(loaded, VORAClient.__module__, zentrova_sdk.JobStatus is JobStatus, 'httpx' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["[]", "zentrova_sdk.client", "True", "True"]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity_and_docstring(name):
    cls, reference = getattr(models, name), getattr(baseline, name)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("zentrova_sdk.models", name, name)
    # Data classes without a docstring get their signature text, as in Python.
    assert cls.__doc__ == reference.__doc__
    assert [b.__name__ for b in cls.__bases__] == [b.__name__ for b in reference.__bases__]


def test_job_status_members():
    assert JobStatus.__bases__ == (str, enum.Enum)
    assert [(m.name, m.value) for m in JobStatus] == MEMBERS and len(JobStatus) == 5
    for name, value in MEMBERS:
        member = JobStatus[name]
        assert member is getattr(JobStatus, name) is JobStatus(value)
        assert isinstance(member, str) and member == value and value == member
    assert "completed" in (JobStatus.COMPLETED, JobStatus.FAILED)
    assert "queued" not in (JobStatus.COMPLETED, JobStatus.FAILED)


@pytest.mark.parametrize("text", ["FAILED", "Completed", "running", "", " pending"])
def test_job_status_lookup_by_value_is_exact(text):
    with pytest.raises(ValueError, match="is not a valid JobStatus"):
        JobStatus(text)


@pytest.mark.parametrize("cls", SUBCLASSES)
def test_error_family(cls):
    assert VORAError.__bases__ == (RuntimeError,) and cls.__bases__ == (VORAError,)
    assert vars(cls).keys() == vars(getattr(baseline, cls.__name__)).keys()
    for other in SUBCLASSES:
        assert issubclass(cls, other) == (cls is other)
    error = cls("job 7: " + str(404))
    assert str(error) == "job 7: 404" and error.args == ("job 7: 404",)
    with pytest.raises(RuntimeError):
        raise error


def test_module_timeout_error_is_not_the_builtin():
    assert not issubclass(TimeoutError, builtins.TimeoutError) and not issubclass(TimeoutError, OSError)
    with pytest.raises(TimeoutError):
        try:
            raise TimeoutError("waited 300.0 seconds")
        except builtins.TimeoutError:  # must not catch it
            pytest.fail("the built-in handler caught the module's TimeoutError")


# ---- records -------------------------------------------------------------------------

RECORDS = {
    CircuitJob: [("job_id", "str", None), ("status", "JobStatus | str", JobStatus.PENDING)],
    ProviderInfo: [("id", "str", None), ("name", "str", None), ("type", "str", "simulator"),
                   ("num_qubits", "int", 0), ("available", "bool", True)],
    BackendInfo: [("backend_name", "str", None), ("num_qubits", "int", None),
                  ("backend_type", "str", "simulator"), ("available", "bool", True)],
    SupplierInfo: [("id", "str", None), ("name", "str", None), ("enabled", "bool", True),
                   ("num_providers", "int", 0)],
    JobResult: [("job_id", "str", None), ("status", "JobStatus", None),
                *[(n, f"Optional[{t}]", None) for n, t in [("counts", "Dict[str, int]"), ("num_qubits", "int"),
                                                            ("shots", "int"), ("backend", "str"), ("error", "str"),
                                                            ("raw", "Dict[str, Any]")]]],
}


@pytest.mark.parametrize("cls", RECORDS, ids=lambda c: c.__name__)
def test_record_is_a_plain_dataclass(cls):
    fields = dataclasses.fields(cls)
    assert [(f.name, f.type) for f in fields] == [(n, t) for n, t, _ in RECORDS[cls]]
    required = [f.name for f in fields if f.default is dataclasses.MISSING]
    assert required == {CircuitJob: ["job_id"], BackendInfo: ["backend_name", "num_qubits"],
                        JobResult: ["job_id", "status"]}.get(cls, ["id", "name"])
    assert [f.default for f in fields if f.name not in required] == [d for n, _, d in RECORDS[cls]
                                                                      if n not in required]
    assert repr(cls.__dataclass_params__) == repr(getattr(baseline, cls.__name__).__dataclass_params__)
    assert cls.__hash__ is None
    values = [object() if i % 2 else [i] for i in range(len(fields))]  # never converted or checked
    record = cls(*values)
    assert [getattr(record, f.name) for f in fields] == values
    assert repr(record) == repr(getattr(baseline, cls.__name__)(*values))
    assert record == cls(*values) and record != cls(*values[:-1], "other")
    with pytest.raises(TypeError, match="unhashable"):
        hash(record)
    setattr(record, fields[0].name, "changed")
    assert getattr(record, fields[0].name) == "changed"


def test_circuit_job_status_default_and_text_equality():
    job = CircuitJob("j1")
    assert job.status is JobStatus.PENDING
    assert repr(job) == "CircuitJob(job_id='j1', status=<JobStatus.PENDING: 'pending'>)"
    assert CircuitJob("j1", "queued").status == "queued" and type(CircuitJob("j1", "queued").status) is str
    assert CircuitJob("j1", "queued") == CircuitJob("j1", JobStatus.QUEUED) == CircuitJob(job_id="j1",
                                                                                          status="queued")


def test_missing_constructor_argument_has_pythons_message():
    with pytest.raises(TypeError) as ours:
        BackendInfo("sv1")
    with pytest.raises(TypeError) as reference:
        baseline.BackendInfo("sv1")
    assert str(ours.value) == str(reference.value)
    assert ProviderInfo("p", "P").num_qubits == 0


CATALOGUE_READS = {
    ProviderInfo: [("id", ""), ("name", ""), ("type", "simulator"), ("num_qubits", 0), ("available", True)],
    BackendInfo: [("backend_name", ""), ("num_qubits", 0), ("backend_type", "simulator"), ("available", True)],
    SupplierInfo: [("id", ""), ("name", ""), ("enabled", True), ("num_providers", 0)],
}


@pytest.mark.parametrize("cls", CATALOGUE_READS, ids=lambda c: c.__name__)
def test_catalogue_from_dict_reads_in_order_with_defaults(cls):
    data = Recording({"unrelated": 1})
    record = cls.from_dict(data)
    assert data.log == [("data", key, default) for key, default in CATALOGUE_READS[cls]]
    assert type(record) is cls
    assert dataclasses.astuple(record) == tuple(d for _, d in CATALOGUE_READS[cls])


@pytest.mark.parametrize("cls", CATALOGUE_READS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("value", [None, "", 0, False, "12", [], {"x": 1}])
def test_catalogue_from_dict_keeps_present_values(cls, value):
    keys = [key for key, _ in CATALOGUE_READS[cls]]
    data = dict.fromkeys(keys, value)
    record = cls.from_dict(data)
    assert all(getattr(record, key) is data[key] for key in keys)


def test_catalogue_edge_documents():
    assert ProviderInfo.from_dict({"id": "p", "type": None}).type is None
    assert BackendInfo.from_dict({"backend_name": "sv1"}) == BackendInfo("sv1", 0, "simulator", True)
    assert SupplierInfo.from_dict({"num_providers": "3"}).num_providers == "3"


@pytest.mark.parametrize("cls", [*CATALOGUE_READS, JobResult], ids=lambda c: c.__name__)
def test_from_dict_uses_the_arguments_own_get_and_the_invoked_class(cls):
    calls = []

    class Meta(type):
        def __call__(self, *args, **kwargs):
            calls.append((args, list(kwargs)))
            return super().__call__(*args, **kwargs)

    class Sub(cls, metaclass=Meta):
        pass

    assert type(Sub.from_dict({})) is Sub
    assert calls == [((), [f.name for f in dataclasses.fields(cls)])]
    fake = type("Fake", (), {})()
    fake.get = lambda key, *default: default[0] if default else None  # an instance attribute is enough
    assert type(cls.from_dict(fake)) is cls
    for argument in ([], None, 42):
        with pytest.raises(AttributeError, match="has no attribute 'get'"):
            cls.from_dict(argument)
    failure = LookupError("backend store unavailable")

    class Failing(dict):
        def get(self, key, *default):
            raise failure

    with pytest.raises(LookupError) as caught:
        cls.from_dict(Failing())
    assert caught.value is failure and caught.value.__context__ is None


# ---- JobResult.from_dict ---------------------------------------------------------------


def _reads(document, block):
    log = []
    data = Recording(document, log)
    if block is not None:
        data["result"] = Recording(block, log, "block")
    JobResult.from_dict(data)
    return [entry[:2] for entry in log]


FALLBACK_READS = [("data", "status"), ("data", "result"), ("data", "result"), ("data", "counts"),
                  ("block", "counts"), ("data", "job_id"), ("block", "num_qubits"), ("data", "num_qubits"),
                  ("block", "shots"), ("data", "shots"), ("block", "backend"), ("data", "backend"),
                  ("data", "error"), ("block", "error")]


@pytest.mark.parametrize("document, block, expected", [
    ({}, {}, FALLBACK_READS),
    ({"counts": {"0": 1}, "error": "e"}, {"num_qubits": 1, "shots": 1, "backend": "b"},
     [("data", "status"), ("data", "result"), ("data", "result"), ("data", "counts"), ("data", "job_id"),
      ("block", "num_qubits"), ("block", "shots"), ("block", "backend"), ("data", "error")]),
    # The value is read a second time only when it is a dict.
    ({"result": ["not", "a", "dict"]}, None, [e for e in FALLBACK_READS[:2] + FALLBACK_READS[3:] if e[0] == "data"]),
])
def test_job_result_read_order(document, block, expected):
    assert _reads(document, block) == expected


@pytest.mark.parametrize("document, field, expected", [
    ({"counts": {"a": 1}, "result": {"counts": {"b": 2}}}, "counts", {"a": 1}),
    ({"counts": {}, "result": {"counts": {"b": 2}}}, "counts", {"b": 2}),
    ({"counts": {}, "result": {}}, "counts", None),
    ({"num_qubits": 7, "result": {"num_qubits": 5}}, "num_qubits", 5),
    ({"num_qubits": 7, "result": {"num_qubits": 0}}, "num_qubits", 7),
    ({"result": {"num_qubits": 0}}, "num_qubits", None),
    ({"shots": 0, "result": {"shots": 0}}, "shots", 0),
    ({"backend": "top", "result": {"backend": ""}}, "backend", "top"),
    ({"shots": 100, "result": [{"shots": 5}]}, "shots", 100),
    ({"shots": 100, "result": "shots"}, "shots", 100),
    ({"error": "top", "result": {"error": "nested"}}, "error", "top"),
    ({"error": "", "result": {"error": "nested"}}, "error", "nested"),
    ({"error": "", "result": {}}, "error", None),
    ({"job_id": None}, "job_id", ""),
    ({"job_id": 17}, "job_id", 17),
    ({"counts": [["00", 1]]}, "counts", [["00", 1]]),
    ({"result": {"shots": "1024", "num_qubits": 2.5}}, "shots", "1024"),
])
def test_job_result_precedence(document, field, expected):
    assert getattr(JobResult.from_dict(document), field) == expected


@pytest.mark.parametrize("status, expected", [
    *[(value, JobStatus[name]) for name, value in MEMBERS],
    *[(value.upper(), JobStatus[name]) for name, value in MEMBERS],
    ("Completed", JobStatus.COMPLETED), ("fAiLeD", JobStatus.FAILED),
    (None, JobStatus.PENDING), ("", JobStatus.PENDING), (0, JobStatus.PENDING), ([], JobStatus.PENDING),
    ("running", JobStatus.PENDING), (" completed", JobStatus.PENDING), ("cancelled", JobStatus.PENDING),
])
def test_job_result_status_normalisation(status, expected):
    document = {} if status is None else {"status": status}
    assert JobResult.from_dict(document).status is expected


@pytest.mark.parametrize("status", [5, True, ["completed"], {"a": 1}])
def test_status_without_lower_is_not_guarded(status):
    with pytest.raises(AttributeError, match="has no attribute 'lower'"):
        JobResult.from_dict({"status": status})


def test_empty_document_and_raw_identity():
    document = {}
    result = JobResult.from_dict(document)
    assert result == JobResult("", JobStatus.PENDING, raw=document) and result.raw is document
    assert [result.counts, result.num_qubits, result.shots, result.backend, result.error] == [None] * 5


def test_result_key_value_kept_is_the_second_read():
    class Changing(dict):
        reads = 0

        def get(self, key, *default):
            if key != "result":
                return super().get(key, *default)
            self.reads += 1
            return {"shots": 1} if self.reads == 1 else ["second"]

    with pytest.raises(AttributeError, match="'list' object has no attribute 'get'"):
        JobResult.from_dict(Changing())


def test_fields_are_passed_by_keyword_in_order():
    seen = []

    class Capturing(JobResult):
        def __init__(self, **fields):
            seen.append(list(fields))

    Capturing.from_dict({})
    assert seen == [[f.name for f in dataclasses.fields(JobResult)]]


@pytest.mark.parametrize("cls", [*CATALOGUE_READS, JobResult], ids=lambda c: c.__name__)
@pytest.mark.parametrize("hook", ["__init__", "__setattr__", "field"])
def test_from_dict_honours_changes_to_the_record_class(monkeypatch, cls, hook):
    seen = []
    fields = [f.name for f in dataclasses.fields(cls)]
    if hook == "__init__":
        original = cls.__init__
        monkeypatch.setattr(cls, "__init__", lambda self, **kw: (seen.append(list(kw)), original(self, **kw))[1])
    elif hook == "__setattr__":
        monkeypatch.setattr(cls, "__setattr__", lambda self, n, v: (seen.append(n), object.__setattr__(self, n, v)))
    else:
        setter = property(lambda self: "read", lambda self, v: seen.append(v))
        monkeypatch.setattr(cls, fields[0], setter, raising=False)
    record = cls.from_dict({fields[0]: "given"})
    assert type(record) is cls
    assert seen == {"__init__": [fields], "__setattr__": fields, "field": ["given"]}[hook]


def test_from_dict_honours_a_replaced_new():
    # A class whose __new__ was ever replaced stays changed, so this runs apart.
    script = """if True:
        from zentrova_sdk import models
        seen = []
        for name in ("ProviderInfo", "BackendInfo", "SupplierInfo", "JobResult"):
            cls = getattr(models, name)
            cls.__new__ = lambda c, *a, **kw: (seen.append((c.__name__, len(kw))), object.__new__(c))[1]
            assert type(cls.from_dict({})) is cls
        print(seen)
    """
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[('ProviderInfo', 5), ('BackendInfo', 4), ('SupplierInfo', 4), ('JobResult', 8)]"


class _Refusing:
    """Stands in for JobStatus: refuses every lookup by value."""

    PENDING = "fallback read at the moment of use"

    def __init__(self, value):
        raise ValueError(value)


def test_status_lookup_uses_the_current_module_global(monkeypatch):
    monkeypatch.setattr(models, "JobStatus", _Refusing)
    assert JobResult.from_dict({"status": "completed"}).status == _Refusing.PENDING
    assert sys.exc_info() == (None, None, None)

    class WithoutFallback:
        def __init__(self, value):
            raise ValueError(value)

    monkeypatch.setattr(models, "JobStatus", WithoutFallback)
    with pytest.raises(AttributeError, match="PENDING") as caught:
        JobResult.from_dict({"status": "completed"})
    assert type(caught.value.__context__) is ValueError  # raised while handling the refusal


def test_missing_job_status_global_is_handled_like_any_failure(monkeypatch):
    monkeypatch.delattr(models, "JobStatus")
    with pytest.raises(NameError, match="JobStatus") as caught:
        JobResult.from_dict({"status": "completed"})
    assert type(caught.value.__context__) is NameError


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_status_lookup_lets_base_exceptions_through(monkeypatch, exception):
    def lookup(value):
        raise exception(value)

    lookup.PENDING = JobStatus.PENDING
    monkeypatch.setattr(models, "JobStatus", lookup)
    with pytest.raises(exception):
        JobResult.from_dict({"status": "queued"})


def test_status_fallback_does_not_disturb_the_handled_exception():
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert JobResult.from_dict({"status": "running"}).status is JobStatus.PENDING
        assert sys.exc_info()[1] is outer


# ---- derived values --------------------------------------------------------------------


class _Unreadable:
    def __bool__(self):
        raise AssertionError("error must not be read")


@pytest.mark.parametrize("status, error, complete, successful", [
    (JobStatus.COMPLETED, None, True, True),
    (JobStatus.COMPLETED, "", True, True),
    (JobStatus.COMPLETED, "readout failed", True, False),
    ("completed", None, True, True),
    (JobStatus.FAILED, None, True, False),
    ("failed", _Unreadable(), True, False),
    ("COMPLETED", None, False, False),
    *[(JobStatus[name], _Unreadable(), False, False) for name in ("PENDING", "QUEUED", "PROCESSING")],
])
def test_is_complete_and_is_successful(status, error, complete, successful):
    result = JobResult("j", status, error=error)
    assert result.is_complete is complete
    assert result.is_successful is successful


@pytest.mark.parametrize("name", ["is_complete", "is_successful"])
def test_properties_are_read_only(name):
    result = JobResult("j", JobStatus.COMPLETED)
    with pytest.raises(AttributeError, match="has no setter"):
        setattr(result, name, False)
    with pytest.raises(AttributeError):
        delattr(result, name)


@pytest.mark.parametrize("counts, expected", [
    ({"00": 512, "11": 512}, [("00", 0.5), ("11", 0.5)]),
    ({"1": 3, "0": 1}, [("1", 0.75), ("0", 0.25)]),
    ({"00": 0, "11": 0}, [("00", 0.0), ("11", 0.0)]),
    ({"0": 1, "1": -1}, [("0", 1.0), ("1", -1.0)]),  # a zero total counts as 1
    ({"0": 1, "1": 2}, [("0", 1 / 3), ("1", 2 / 3)]),
    ({"x": 1.5}, [("x", 1.0)]),
])
def test_get_probabilities(counts, expected):
    probabilities = JobResult("j", JobStatus.COMPLETED, counts=counts).get_probabilities()
    assert list(probabilities.items()) == expected
    assert all(type(p) is float for p in probabilities.values()) and probabilities is not counts


@pytest.mark.parametrize("counts", [None, {}])
def test_get_probabilities_without_counts_gives_a_new_dict(counts):
    result = JobResult("j", JobStatus.COMPLETED, counts=counts)
    first = result.get_probabilities()
    first["mutated"] = 1.0
    assert first is not result.get_probabilities() and result.get_probabilities() == {}


@pytest.mark.parametrize("counts, error", [
    ([("00", 1)], AttributeError), ("0011", AttributeError), ({"00": "1"}, TypeError), ({"00": None}, TypeError),
])
def test_get_probabilities_lets_host_errors_through(counts, error):
    with pytest.raises(error) as ours:
        JobResult("j", JobStatus.COMPLETED, counts=counts).get_probabilities()
    with pytest.raises(error) as reference:
        baseline.JobResult("j", JobStatus.COMPLETED, counts=counts).get_probabilities()
    assert str(ours.value) == str(reference.value)


# ---- agreement with the pure-Python implementation on random documents -----------------

_VALUES = [None, 0, "", {}, [], "x", 3, {"00": 3, "11": 1}, {"0": 0}]


def _random_document(rng):
    document = {}
    for key in ("job_id", "counts", "num_qubits", "shots", "backend", "error", "unrelated"):
        if rng.random() < 0.6:
            document[key] = rng.choice(_VALUES)
    if rng.random() < 0.8:
        document["status"] = rng.choice([None, "", "running", *(v.upper() for _, v in MEMBERS),
                                         *(v.title() for _, v in MEMBERS), *(v for _, v in MEMBERS)])
    if rng.random() < 0.7:
        document["result"] = rng.choice([None, [], "result", {}]) if rng.random() < 0.3 else _random_document(rng)
    return document


def _observe(module, document):
    log = []
    data = Recording(document, log)
    if isinstance(document.get("result"), dict):
        data["result"] = Recording(document["result"], log, "block")
    result = module.JobResult.from_dict(data)
    try:
        probabilities = result.get_probabilities()
    except (AttributeError, TypeError) as error:
        probabilities = repr(error)
    fields = [getattr(result, f.name) for f in dataclasses.fields(result)]
    return fields[1].value, fields[:1] + fields[2:], result.is_complete, result.is_successful, probabilities, log


def test_job_result_agrees_with_reference_on_random_documents():
    rng = random.Random(20240611)
    for _ in range(400):
        document = _random_document(rng)
        assert _observe(models, document) == _observe(baseline, document), document


# ---- resources --------------------------------------------------------------------------


def test_from_dict_memory_stays_flat():
    documents = [
        {"job_id": "j", "status": "completed",
         "result": {"counts": {"00": 5, "01": 1, "10": 2, "11": 4}, "num_qubits": 2, "shots": 12, "backend": "sim"}},
        {"job_id": "j", "status": "Running", "counts": {}, "error": ""},  # fallback through the handler
        {"status": "failed", "result": [], "counts": {"0": 0}},
    ]

    def batch(n):
        for i in range(n):
            JobResult.from_dict(documents[i % 3]).get_probabilities()

    watched = (*documents, *documents[0]["result"].values(), JobStatus.PENDING, JobStatus.COMPLETED)
    batch(10_000)
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        batch(100_000)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024, f"grew by {after - before} bytes over 100000 calls"
    assert [sys.getrefcount(o) for o in watched] == refcounts
