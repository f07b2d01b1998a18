"""VORAClient.list_providers and VORAClient.execute_on_backend: the per-supplier
routes, the translation of the three catalogue dialects and the backend key of
the execution request."""

from __future__ import annotations

import json

import httpx
import pytest

import zentrova_sdk.models as models
from zentrova_sdk.client import VORAClient
from zentrova_sdk.models import JobNotFoundError, JobStatus, ProviderInfo

from conftest import API_KEY, BASE, FakeResponse

QASM = "OPENQASM 2.0;\nqreg q[1];\ncreg c[1];\nh q[0];\nmeasure q -> c;\n"


class Catalogue(VORAClient):
    """Client whose request routine answers from a list of documents and whose
    wait is recorded instead of polling."""

    def __init__(self, *args, answers=(), **kwargs):
        super().__init__(*args, **kwargs)
        self.answers = list(answers)
        self.sent = []
        self.waits = []
        self.outcome = object()

    def _request_with_retries(self, method, url, **kwargs):
        self.sent.append((method, url, kwargs))
        return FakeResponse(200, self.answers.pop(0))

    def wait_for_result(self, *args, **kwargs):
        self.waits.append((args, kwargs))
        return self.outcome


@pytest.fixture
def catalogue(env_key):
    def make(*answers, **kwargs):
        kwargs.setdefault("base_url", BASE)
        return Catalogue(answers=answers, **kwargs)

    return make


class ReadLog(dict):
    """A JSON object that records how it is read."""

    def __init__(self, *args, log, **kwargs):
        super().__init__(*args, **kwargs)
        self.log = log

    def __getitem__(self, key):
        self.log.append(("[]", key))
        return super().__getitem__(key)

    def get(self, key, *default):
        self.log.append(("get", key, *default))
        return super().get(key, *default)


# ===========================================================================
# list_providers


@pytest.mark.parametrize(
    "args, kwargs, path",
    [
        ((), {}, "/api/v1/azure_quantum/providers"),
        (("azure_quantum",), {}, "/api/v1/azure_quantum/providers"),
        (("ibm_quantum",), {}, "/api/v1/ibm_quantum/backends"),
        ((), {"supplier": "braket"}, "/api/v1/braket/devices"),
        (("Braket",), {}, "/api/v1/Braket/providers"),
        (("ionq",), {}, "/api/v1/ionq/providers"),
        (("",), {}, "/api/v1//providers"),
        (("a/b?c",), {}, "/api/v1/a/b?c/providers"),
    ],
)
def test_catalogue_routes(catalogue, args, kwargs, path):
    client = catalogue({})
    assert client.list_providers(*args, **kwargs) == []
    assert client.sent == [("GET", BASE + path, {})]


@pytest.mark.parametrize(
    "supplier, doc",
    [("Braket", {"devices": [{"name": "sv1"}]}), ("IBM_QUANTUM", {"backends": [{"backend_name": "x"}]}),
     ("other", [{"id": "a", "name": "b"}]), ("", "anything"), (None, None)],
)
def test_unknown_supplier_gives_empty_list(catalogue, supplier, doc):
    client = catalogue(doc)
    result = client.list_providers(supplier)
    assert result == [] and type(result) is list
    assert client.sent == [("GET", BASE + "/api/v1/%s/providers" % supplier, {})]


def test_unknown_supplier_body_must_still_be_json(make_client):
    client, script = make_client((200, "not json"))
    with pytest.raises(json.JSONDecodeError):
        client.list_providers("elsewhere")
    assert len(script.requests) == 1


def test_azure_entries_taken_unchanged(catalogue):
    docs = [
        {"id": "ionq.simulator", "name": "Simulator", "type": "simulator", "num_qubits": 29, "available": True},
        {"name": "Second", "id": "p2", "num_qubits": "11", "available": False, "extra": [1]},
        {},
    ]
    result = catalogue(docs).list_providers()
    assert result == [ProviderInfo.from_dict(d) for d in docs]
    assert all(type(p) is ProviderInfo for p in result)
    assert result[1].num_qubits == "11" and result[1].available is False
    assert result[2] == ProviderInfo(id="", name="", type="simulator", num_qubits=0, available=True)


@pytest.mark.parametrize(
    "supplier, doc, expected",
    [
        ("ibm_quantum", {"backends": [{"backend_name": "ibm_kyoto"}]}, ("ibm_kyoto", "ibm_kyoto", "simulator", 0)),
        ("ibm_quantum", {"backends": [{"backend_name": "b1", "backend_type": "hardware", "num_qubits": 127,
                                       "available": False, "name": "x", "type": "x", "id": "x"}]},
         ("b1", "b1", "hardware", 127)),
        ("ibm_quantum", {"backends": [{"backend_name": None, "backend_type": None, "num_qubits": None}]},
         (None, None, None, None)),
        ("braket", {"devices": [{"name": "sv1"}]}, ("sv1", "sv1", "simulator", 0)),
        ("braket", {"devices": [{"name": "qpu-7", "type": "QPU", "num_qubits": "25", "available": False,
                                 "backend_name": "x"}]}, ("qpu-7", "qpu-7", "QPU", "25")),
        ("braket", {"devices": [{"name": "", "type": None}]}, ("", "", None, 0)),
    ],
)
def test_catalogue_translation(catalogue, supplier, doc, expected):
    # "available" is never taken from the element: the record's default applies.
    assert catalogue(doc).list_providers(supplier) == [ProviderInfo(*expected, True)]


@pytest.mark.parametrize(
    "supplier, list_key, element, reads",
    [
        ("ibm_quantum", "backends", {"backend_name": "b"},
         [("[]", "backend_name"), ("[]", "backend_name"), ("get", "backend_type", "simulator"), ("get", "num_qubits", 0)]),
        ("braket", "devices", {"name": "d"},
         [("[]", "name"), ("[]", "name"), ("get", "type", "simulator"), ("get", "num_qubits", 0)]),
    ],
)
def test_translation_read_order(catalogue, supplier, list_key, element, reads):
    log = []
    doc = ReadLog({list_key: [ReadLog(element, log=log), ReadLog(element, log=log)]}, log=log)
    assert len(catalogue(doc).list_providers(supplier)) == 2
    assert log == [("get", list_key, [])] + reads * 2


@pytest.mark.parametrize("supplier, doc", [("ibm_quantum", {}), ("braket", {}), ("braket", {"backends": [{}]})])
def test_missing_catalogue_list_gives_empty_list(catalogue, supplier, doc):
    client = catalogue(doc)
    assert client.list_providers(supplier) == []
    assert len(client.sent) == 1


@pytest.mark.parametrize(
    "supplier, doc, error",
    [
        ("ibm_quantum", {"backends": [{"backend_name": "ok"}, {"name": "no backend_name"}]}, KeyError),
        ("braket", {"devices": [{"backend_name": "no name"}]}, KeyError),
        ("ibm_quantum", [{"backend_name": "x"}], AttributeError),
        ("braket", "devices", AttributeError),
        ("ibm_quantum", {"backends": ["ibm_kyoto"]}, TypeError),
        ("braket", {"devices": [None]}, TypeError),
        ("azure_quantum", {"id": "x"}, AttributeError),
        ("azure_quantum", [{"id": "x"}, ["not", "an", "object"]], AttributeError),
    ],
)
def test_malformed_catalogue_errors_propagate(catalogue, supplier, doc, error):
    with pytest.raises(error) as excinfo:
        catalogue(doc).list_providers(supplier)
    assert type(excinfo.value) is error


@pytest.mark.parametrize("supplier", ["azure_quantum", "ibm_quantum", "braket", "other"])
def test_catalogue_not_found_maps_to_job_not_found(make_client, clock, supplier):
    client, script = make_client((404, {"detail": "unknown supplier"}))
    with pytest.raises(JobNotFoundError, match="^Job not found$"):
        client.list_providers(supplier)
    assert len(script.requests) == 1


# ===========================================================================
# execute_on_backend


@pytest.mark.parametrize(
    "supplier_args, supplier, key",
    [((), "azure_quantum", "target"), (("azure_quantum",), "azure_quantum", "target"),
     (("ibm_quantum",), "ibm_quantum", "backend"), (("braket",), "braket", "device"), (("ionq",), "ionq", None),
     (("Braket",), "Braket", None)],
)
def test_execution_request(catalogue, supplier_args, supplier, key):
    client = catalogue({"job_id": "J1"})
    assert client.execute_on_backend(QASM, "dev-1", *supplier_args) is client.outcome
    ((method, url, kwargs),) = client.sent
    assert (method, url) == ("POST", BASE + "/api/v1/" + supplier + "/execute")
    assert list(kwargs) == ["json"]
    body = kwargs["json"]
    expected = {"circuit": QASM, "shots": 1024}
    if key is not None:
        expected[key] = "dev-1"
    assert list(body.items()) == list(expected.items())
    assert client.waits == [(("J1",), {"timeout": client.timeout})]
    assert client.waits[0][1]["timeout"] is client.timeout


@pytest.mark.parametrize("qasm, backend, shots", [("", "", 0), (None, None, -3), (b"bytes", "x", "many")])
def test_execution_validates_nothing(catalogue, qasm, backend, shots):
    client = catalogue({"job_id": "J"})
    client.execute_on_backend(qasm, backend, shots=shots)
    assert client.sent[0][2]["json"] == {"circuit": qasm, "shots": shots, "target": backend}


@pytest.mark.parametrize(
    "doc, job_id",
    [({"job_id": "J", "task_id": "T"}, "J"), ({"job_id": "", "task_id": "T"}, "T"), ({"job_id": None, "task_id": "T"}, "T"),
     ({"job_id": 0, "task_id": "T"}, "T"), ({"task_id": "T"}, "T"), ({"job_id": "J"}, "J"),
     ({"job_id": "", "task_id": ""}, ""), ({"job_id": "", "task_id": 0}, 0), ({}, None)],
)
def test_job_or_task_identifier(catalogue, doc, job_id):
    client = catalogue(doc)
    client.execute_on_backend(QASM, "b")
    ((args, kwargs),) = client.waits
    assert args == (job_id,) and type(args[0]) is type(job_id)


@pytest.mark.parametrize("doc", [[], ["job_id"], "J"])
def test_execution_response_not_an_object(catalogue, doc):
    client = catalogue(doc)
    with pytest.raises(AttributeError):
        client.execute_on_backend(QASM, "b")
    assert client.waits == []


def test_execute_on_backend_deadline_from_client_timeout(make_client, clock):
    client, script = make_client({"task_id": "T9"}, {"job_id": "T9", "status": "queued"})
    client.timeout = 10.0  # read at the call, not at construction
    with pytest.raises(models.TimeoutError) as excinfo:
        client.execute_on_backend(QASM, "sv1", "braket")
    assert excinfo.value.args == ("Timed out waiting for job T9",)
    assert script.urls == [BASE + "/api/v1/braket/execute"] + [BASE + "/status/T9"] * 6  # 0, 2, ..., 10 s
    assert clock.sleeps == [2.0] * 6


def test_execute_on_backend_without_identifier_polls_none(make_client, clock):
    client, script = make_client({"status": "accepted"}, (404, {}))
    with pytest.raises(JobNotFoundError):
        client.execute_on_backend(QASM, "b")
    assert script.urls[1] == BASE + "/status/None"


# ===========================================================================
# Against a real HTTP server


def test_list_providers_end_to_end(service, clock, env_key):
    client = VORAClient(base_url=service.url + "/")
    azure = client.list_providers()
    ibm = client.list_providers("ibm_quantum")
    braket = client.list_providers("braket")
    assert azure == [ProviderInfo.from_dict(d) for d in service.azure_providers]
    assert ibm == [ProviderInfo("ibm_kyoto", "ibm_kyoto", "hardware", 127, True), ProviderInfo("local_sim", "local_sim")]
    assert braket == [ProviderInfo("sv1", "sv1", "SIMULATOR", 34, True), ProviderInfo("qpu-7", "qpu-7", "QPU", 25, True)]
    assert service.paths() == ["GET /api/v1/azure_quantum/providers", "GET /api/v1/ibm_quantum/backends",
                               "GET /api/v1/braket/devices"]
    assert all(seen.headers["x-api-key"] == API_KEY for seen in service.requests)


@pytest.mark.parametrize(
    "supplier, backend, key",
    [("azure_quantum", "ionq.simulator", "target"), ("ibm_quantum", "ibm_kyoto", "backend"), ("braket", "sv1", "device")],
)
def test_execute_on_backend_end_to_end(service, clock, env_key, supplier, backend, key):
    service.polls_before_done = 1
    res = VORAClient(base_url=service.url).execute_on_backend(QASM, backend, supplier, shots=10)
    assert service.paths() == ["POST /api/v1/%s/execute" % supplier] + ["GET /status/job-1"] * 2
    body = service.requests[0].body
    assert list(body) == ["circuit", "shots", key]
    assert body == {"circuit": QASM, "shots": 10, key: backend}
    assert res.status is JobStatus.COMPLETED and res.counts == {"00": 5, "11": 5}
    assert clock.sleeps == [2.0]
