"""Every fault the emulator injects ends in the client's documented error or in
a retried success, for both clients, and nothing hangs."""

from __future__ import annotations

import asyncio

import httpx
import pytest

from emulated import BELL, assert_bell_counts, routed, run_async
from emulated import emulator, vora_emulator_factory  # noqa: F401  (fixtures)
from zentrova_sdk import (
    AsyncVORAClient,
    AuthenticationError,
    JobNotFoundError,
    JobStatus,
    RateLimitError,
    VORAClient,
    VORAError,
)

pytestmark = pytest.mark.timeout(60)

# Client settings that keep the cases quick: a slow answer (3 s) outlasts the
# HTTP timeout, and one retry means one real back-off of 0.5 s.
QUICK = {"timeout": 0.5, "max_retries": 1}

RETRIED = "Request failed after retries: "
UNKNOWN = "Request outcome unknown, not retried: "

# (fault options, outcome, requests the route sees). The outcome is an error
# class with its exact message, or with None and the class of its context and
# the text before the context's; or "ok" for a success after the retries.
CASES = [
    pytest.param("error:first=1,code=500,body=overloaded", (VORAError, "HTTP error: 500 overloaded"), 1, id="500"),
    pytest.param("error:first=1,code=502,body=", (VORAError, "HTTP error: 502 "), 1, id="502-empty-body"),
    pytest.param("error:first=1,code=503,body=maintenance", (VORAError, "HTTP error: 503 maintenance"), 1, id="503"),
    pytest.param("error:first=1,code=401", (AuthenticationError, "Invalid API key"), 1, id="401"),
    pytest.param("error:first=1,code=404", (JobNotFoundError, "Job not found"), 1, id="404"),
    pytest.param("error:first=1,code=429", (RateLimitError, "Rate limit exceeded"), 1, id="429"),
    pytest.param("drop:first=1", "ok", 2, id="drop-once"),
    pytest.param("drop:first=2", (VORAError, None, httpx.RemoteProtocolError, RETRIED), 2, id="drop-always"),
    pytest.param("slow:first=1,delay=3", "ok", 2, id="slow-once"),
    pytest.param("slow:first=2,delay=3", (VORAError, None, httpx.ReadTimeout, RETRIED), 2, id="slow-always"),
]
# A POST whose connection broke or timed out once the request was under way
# may have created a job: it ends at the first failure.
POST_OUTCOMES = {"drop": (VORAError, None, httpx.RemoteProtocolError, UNKNOWN),
                 "slow": (VORAError, None, httpx.ReadTimeout, UNKNOWN)}


def check_outcome(outcome, attempt):
    if outcome == "ok":
        return attempt()
    error, message, *context = outcome
    with pytest.raises(error) as info:
        attempt()
    if message is not None:
        assert str(info.value) == message
    if context:
        context_class, prefix = context
        assert str(info.value) == prefix + str(info.value.__context__)
        assert isinstance(info.value.__context__, context_class)
    elif error is VORAError:
        assert isinstance(info.value.__context__, httpx.HTTPStatusError)
    assert info.value.__cause__ is None


def sync_call(service, operation, job_id):
    client = VORAClient(api_key=service.api_key, base_url=service.url, **QUICK)
    if operation == "submit":
        return client.submit(BELL, shots=32)
    return client.get_status(job_id)


def async_call(service, operation, job_id):
    client = AsyncVORAClient(api_key=service.api_key, base_url=service.url, **QUICK)
    if operation == "submit":
        return run_async(lambda c: c.submit(BELL, shots=32), client)
    return run_async(lambda c: c.get_status(job_id), client)


@pytest.mark.parametrize("call", [sync_call, async_call], ids=["sync", "async"])
@pytest.mark.parametrize("operation, route", [("submit", "execute"), ("get_status", "status")])
@pytest.mark.parametrize("fault, outcome, requests", CASES)
def test_fault_on_a_job_route(emulator, call, operation, route, fault, outcome, requests):
    service = emulator()
    job_id = VORAClient(api_key=service.api_key, base_url=service.url).submit(BELL, shots=32).job_id
    service.clear_requests()
    service.set_faults([route + ":" + fault])
    if operation == "submit" and fault.split(":")[0] in POST_OUTCOMES:
        outcome, requests = POST_OUTCOMES[fault.split(":")[0]], 1
    result = check_outcome(outcome, lambda: call(service, operation, job_id))
    if result is not None:
        assert result.job_id and result.status in (JobStatus.QUEUED, JobStatus.PROCESSING, JobStatus.COMPLETED)
    assert len(routed(service, route)) == requests


@pytest.mark.parametrize("fault", ["error:code=500,body=lost", "drop"])
def test_failed_result_fetch_falls_back_to_the_status(emulator, fault):
    """The counts live only in /results, which fails: the wait still ends, with
    the completed status document and no counts."""
    service = emulator(counts_in="results", faults=["results:" + fault])
    client = VORAClient(api_key=service.api_key, base_url=service.url, max_retries=0)
    job = client.submit(BELL, shots=16)
    result = client.wait_for_result(job.job_id, poll_interval=0.02)
    assert result.status is JobStatus.COMPLETED and result.counts is None
    assert len(routed(service, "results")) == 1


@pytest.mark.parametrize(
    "fault, outcome",
    [
        ("error:first=1,code=500,body=catalogue down", (VORAError, "HTTP error: 500 catalogue down")),
        ("drop:first=1", "ok"),
        ("slow:first=1,delay=3", "ok"),
    ],
)
def test_fault_on_the_catalogue(emulator, fault, outcome):
    service = emulator(faults=["catalog:" + fault])
    client = VORAClient(api_key=service.api_key, base_url=service.url, **QUICK)
    providers = check_outcome(outcome, lambda: client.list_providers("braket"))
    if providers is not None:
        assert [p.id for p in providers] == ["sv1", "dm1"]


@pytest.mark.parametrize(
    "fault, outcome",
    [
        ("error:first=1,code=500,body=no backend", (VORAError, "HTTP error: 500 no backend")),
        ("drop:first=1", POST_OUTCOMES["drop"]),
    ],
)
def test_fault_on_backend_execution(emulator, fault, outcome):
    service = emulator(faults=["backend_execute:" + fault])
    client = VORAClient(api_key=service.api_key, base_url=service.url, max_retries=1)
    result = check_outcome(outcome, lambda: client.execute_on_backend(BELL, "ibm_kyoto", "ibm_quantum", shots=40))
    if result is not None:
        assert_bell_counts(result.counts, 40)
    assert len(routed(service, "backend_execute")) == 1


def test_seeded_fraction_of_drops_is_retried_to_success(emulator):
    """A third of all status requests dropped: each poll retries until it gets
    through, and many polls gathered on one client all end with their job."""
    service = emulator(latency=0.02)
    client = AsyncVORAClient(api_key=service.api_key, base_url=service.url, max_retries=8)

    async def jobs(c):
        submitted = [await c.submit(BELL, shots=n) for n in range(10, 20)]
        service.set_faults(["status:drop:rate=0.35"])
        await asyncio.sleep(0.1)
        return submitted, await asyncio.gather(*(c.get_status(j.job_id) for j in submitted))

    submitted, results = run_async(jobs, client)
    for job, result, shots in zip(submitted, results, range(10, 20)):
        assert result.job_id == job.job_id and result.status is JobStatus.COMPLETED
        assert_bell_counts(result.counts, shots)
    dropped = [r for r in routed(service, "status") if r.fault == "drop"]
    assert dropped and len(routed(service, "status")) == len(submitted) + len(dropped)


def test_cancelled_wait_on_a_slow_answer_leaves_the_client_usable(emulator):
    service = emulator(faults=["status:slow:first=1,delay=3"])
    client = AsyncVORAClient(api_key=service.api_key, base_url=service.url)

    async def scenario(c):
        job = await c.submit(BELL, shots=20)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(c.get_status(job.job_id), 0.3)
        return await c.get_status(job.job_id)

    result = run_async(scenario, client)
    assert result.status is JobStatus.COMPLETED
    assert_bell_counts(result.counts, 20)
