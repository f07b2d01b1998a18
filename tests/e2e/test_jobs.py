"""The job path end to end: submit a circuit, wait, read the counts; the
service's refusals; the three suppliers' catalogues and backends."""

from __future__ import annotations

import asyncio

import pytest

from emulated import BELL, assert_bell_counts, routed, run_async
from emulated import emulator, vora_emulator_factory  # noqa: F401  (fixtures)
from zentrova_sdk import (
    AsyncVORAClient,
    AuthenticationError,
    JobNotFoundError,
    JobStatus,
    RateLimitError,
    TimeoutError,
    VORAClient,
)

pytestmark = pytest.mark.timeout(60)


@pytest.mark.parametrize("counts_in", ["status", "results", "nested"])
def test_execute_returns_the_bell_counts(emulator, counts_in):
    """Wherever the service puts the counts, execute() ends with them."""
    service = emulator(counts_in=counts_in)
    result = VORAClient(api_key=service.api_key, base_url=service.url + "/").execute(BELL, shots=500)
    assert result.status is JobStatus.COMPLETED
    assert_bell_counts(result.counts, 500)
    (submitted,) = routed(service, "execute")
    assert submitted.json == {"qasm": BELL, "shots": 500}
    assert submitted.headers["x-api-key"] == service.api_key
    assert len(routed(service, "results")) == (1 if counts_in == "results" else 0)


def test_wait_polls_through_the_lifecycle(emulator):
    service = emulator(latency=(0.15, 0.15))
    client = VORAClient(api_key=service.api_key, base_url=service.url)
    job = client.submit(BELL, shots=64)
    assert job.status == JobStatus.QUEUED
    result = client.wait_for_result(job.job_id, timeout=10.0, poll_interval=0.02)
    assert result.job_id == job.job_id
    assert_bell_counts(result.counts, 64)
    seen = [r.path for r in routed(service, "status")]
    assert len(seen) > 3 and set(seen) == {"/status/" + job.job_id}


def test_wait_gives_up_at_its_deadline(emulator):
    service = emulator(latency=5.0)
    client = VORAClient(api_key=service.api_key, base_url=service.url)
    job = client.submit(BELL)
    with pytest.raises(TimeoutError, match="^Timed out waiting for job " + job.job_id + "$"):
        client.wait_for_result(job.job_id, timeout=0.2, poll_interval=0.05)


def test_invalid_circuit_ends_failed_with_the_parser_error(emulator):
    service = emulator()
    client = VORAClient(api_key=service.api_key, base_url=service.url)
    result = client.execute('OPENQASM 2.0;\nqreg q[1];\nfoo q[0];\n', shots=10)
    assert result.status is JobStatus.FAILED and result.is_complete
    assert result.counts is None and "foo" in result.error


async def submit_and_poll(client, shots):
    job = await client.submit(BELL, shots=shots)
    while True:
        result = await client.get_status(job.job_id)
        if result.is_complete:
            return result
        await asyncio.sleep(0.01)


def test_async_jobs_gathered_on_one_client(emulator):
    service = emulator(latency=0.05)
    client = AsyncVORAClient(api_key=service.api_key, base_url=service.url)
    shots = [16, 32, 64, 128, 256, 512]

    async def all_jobs(c):
        return await asyncio.gather(*(submit_and_poll(c, n) for n in shots))

    results = run_async(all_jobs, client)
    for result, n in zip(results, shots):
        assert result.status is JobStatus.COMPLETED
        assert_bell_counts(result.counts, n)
    assert len({r.job_id for r in results}) == len(shots)


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize(
    "setup, call, error, message",
    [
        ({"key": "wrong-key"}, "get_status", AuthenticationError, "Invalid API key"),
        ({}, "get_status", JobNotFoundError, "Job not found"),
        ({"key": "wrong-key"}, "submit", AuthenticationError, "Invalid API key"),
        ({"budget": 0}, "submit", RateLimitError, "Rate limit exceeded"),
    ],
)
def test_refusals_are_mapped_and_not_retried(emulator, kind, setup, call, error, message):
    service = emulator(budget=setup.get("budget"))
    key = setup.get("key", service.api_key)
    args = ("no-such-job",) if call == "get_status" else (BELL,)
    if kind == "sync":
        client = VORAClient(api_key=key, base_url=service.url)
        with pytest.raises(error, match="^" + message + "$") as info:
            getattr(client, call)(*args)
    else:
        client = AsyncVORAClient(api_key=key, base_url=service.url)
        with pytest.raises(error, match="^" + message + "$") as info:
            run_async(lambda c: getattr(c, call)(*args), client)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert len(service.requests) == 1


def test_budget_runs_out_mid_job(emulator):
    service = emulator(budget=3)
    client = VORAClient(api_key=service.api_key, base_url=service.url)
    job = client.submit(BELL, shots=8)
    client.get_status(job.job_id)
    client.get_status(job.job_id)
    with pytest.raises(RateLimitError):
        client.wait_for_result(job.job_id, poll_interval=0.01)
    assert [r.status for r in service.requests] == [200, 200, 200, 429]


SUPPLIERS = [
    ("azure_quantum", "ionq.simulator", "target", ["ionq.simulator", "ionq.qpu", "emulator.statevector"]),
    ("ibm_quantum", "ibm_kyoto", "backend", ["ibm_kyoto", "simulator_statevector"]),
    ("braket", "sv1", "device", ["sv1", "dm1"]),
]


@pytest.mark.parametrize("supplier, backend, key, catalogue", SUPPLIERS)
def test_supplier_catalogue_and_backend(emulator, supplier, backend, key, catalogue):
    service = emulator()
    client = VORAClient(api_key=service.api_key, base_url=service.url)
    providers = client.list_providers(supplier)
    assert [p.id for p in providers] == catalogue
    assert all(p.name and p.num_qubits > 0 for p in providers)
    result = client.execute_on_backend(BELL, backend, supplier, shots=100)
    assert result.status is JobStatus.COMPLETED
    assert_bell_counts(result.counts, 100)
    (sent,) = routed(service, "backend_execute")
    assert sent.path == "/api/v1/%s/execute" % supplier
    assert sent.json == {"circuit": BELL, "shots": 100, key: backend}


def test_unknown_supplier_is_refused_by_the_service(emulator):
    """The SDK sends it on without a backend key; the service's 404 comes
    back as the one error the SDK maps 404 to."""
    service = emulator()
    client = VORAClient(api_key=service.api_key, base_url=service.url)
    with pytest.raises(JobNotFoundError, match="^Job not found$"):
        client.execute_on_backend(BELL, "qpu", "elsewhere")
    (sent,) = routed(service, "backend_execute")
    assert sent.json == {"circuit": BELL, "shots": 1024}
