"""A real fault between client and service, after the service has acted on
the request (tests/e2e/fault_proxy.py): a submission is not sent again, so one
failing call leaves at most one job, with both clients; a GET, which changes
nothing, is still retried to success."""

from __future__ import annotations

import httpx
import pytest

from emulated import BELL, routed, run_async
from emulated import emulator, vora_emulator_factory  # noqa: F401  (fixtures)
from fault_proxy import FaultProxy
from zentrova_sdk import AsyncVORAClient, JobStatus, VORAClient, VORAError

pytestmark = pytest.mark.timeout(60)

# An HTTP timeout that a stalled answer outlasts, and retries to spare.
QUICK = {"timeout": 0.5, "max_retries": 2}
# What the client sees of each fault.
SEEN_AS = {"reset": httpx.ReadError, "close": httpx.RemoteProtocolError, "stall": httpx.ReadTimeout}


def sync_submit(service, url):
    return VORAClient(api_key=service.api_key, base_url=url, **QUICK).submit(BELL, shots=32)


def sync_execute_on_backend(service, url):
    client = VORAClient(api_key=service.api_key, base_url=url, **QUICK)
    return client.execute_on_backend(BELL, "sv1", "braket", shots=32)


def async_submit(service, url):
    client = AsyncVORAClient(api_key=service.api_key, base_url=url, **QUICK)
    return run_async(lambda c: c.submit(BELL, shots=32), client)


@pytest.mark.parametrize("fault", sorted(SEEN_AS))
@pytest.mark.parametrize(
    "call, route",
    [(sync_submit, "execute"), (sync_execute_on_backend, "backend_execute"), (async_submit, "execute")],
    ids=["sync submit", "sync execute_on_backend", "async submit"],
)
def test_a_submission_cut_off_after_the_service_acted_is_not_repeated(emulator, call, route, fault):
    service = emulator()
    with FaultProxy(service.url, {"POST": [fault, fault, fault]}) as proxy:
        with pytest.raises(VORAError) as info:
            call(service, proxy.url)
    cut_off = info.value.__context__
    assert isinstance(cut_off, SEEN_AS[fault]), repr(cut_off)
    assert str(info.value) == "Request outcome unknown, not retried: " + str(cut_off)
    assert info.value.__cause__ is None
    assert [s[2] for s in proxy.seen] == [fault]
    # The service received the one request and made the one job.
    assert [r.status for r in routed(service, route)] == [200]


@pytest.mark.parametrize("fault", sorted(SEEN_AS))
@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
def test_a_status_request_cut_off_is_retried(emulator, asynchronous, fault):
    service = emulator()
    job = VORAClient(api_key=service.api_key, base_url=service.url).submit(BELL, shots=24)
    with FaultProxy(service.url, {"GET": [fault]}) as proxy:
        options = dict(api_key=service.api_key, base_url=proxy.url, **QUICK)
        if asynchronous:
            result = run_async(lambda c: c.get_status(job.job_id), AsyncVORAClient(**options))
        else:
            result = VORAClient(**options).get_status(job.job_id)
    assert result.job_id == job.job_id and result.status in (JobStatus.PROCESSING, JobStatus.COMPLETED)
    assert [s[2] for s in proxy.seen] == [fault, None]
    assert len(routed(service, "status")) == 2
