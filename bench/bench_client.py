"""How much the clients add on top of the HTTP package they drive.

Each case compares ours with the bare httpx calls a caller would otherwise
write (GET, .json(), JobResult.from_dict) over the same transport:

  a.  VORAClient.get_status over an httpx.MockTransport;
  b.  awaited AsyncVORAClient.get_status over an httpx.MockTransport with an
      async handler;
  c2. 1,000 gathered AsyncVORAClient.get_status polls, at most 10 under way at
      once, against a local HTTP/1.1 keep-alive server on 127.0.0.1;
  c.  the same 1,000 polls all gathered at once, queued by httpx's own pool.

The server is an asyncio responder in a child process, so that it does not
share the interpreter lock with the clients. Ours and bare runs alternate and
the best of several repeats is kept, which keeps the comparison fair on a
small, busy machine. --detail also times the sub-steps of (a) and (b).

    PYTHONPATH=build/devpkg .venv/bin/python bench/bench_client.py [--quick] [--detail]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import subprocess
import sys
import time

import httpx

from zentrova_sdk.client import AsyncVORAClient, VORAClient
from zentrova_sdk.models import JobResult

API_KEY = "bench-key"
BASE = "http://bench.local"
DOCUMENT = {"job_id": "job-1", "status": "completed", "result": {"counts": {"00": 498, "11": 526}, "shots": 1024},
            "num_qubits": 2, "backend": "sim"}
BODY = json.dumps(DOCUMENT).encode()
HEADERS = {"content-type": "application/json"}


def answer(request):
    return httpx.Response(200, content=BODY, headers=HEADERS)


async def answer_async(request):
    return httpx.Response(200, content=BODY, headers=HEADERS)


def interleaved(repeats, ours, bare):
    """Runs ours() and bare() alternately, swapping which goes first; each
    returns seconds. Gives the best time of each."""
    times = {ours: [], bare: []}
    for r in range(repeats):
        for run in ((ours, bare) if r % 2 == 0 else (bare, ours)):
            times[run].append(run())
    return min(times[ours]), min(times[bare])


async def interleaved_async(repeats, ours, bare):
    times = {ours: [], bare: []}
    for r in range(repeats):
        for run in ((ours, bare) if r % 2 == 0 else (bare, ours)):
            times[run].append(await run())
    return min(times[ours]), min(times[bare])


def per_call(loop_body, ids):
    def run():
        start = time.perf_counter()
        for job in ids:
            loop_body(job)
        return time.perf_counter() - start
    return run


def per_call_async(loop_body, ids):
    async def run():
        start = time.perf_counter()
        for job in ids:
            await loop_body(job)
        return time.perf_counter() - start
    return run


# ---------------------------------------------------------------------------
# a. synchronous client over a MockTransport


def sync_case(calls, repeats, detail):
    client = VORAClient(API_KEY, BASE)
    client._client = httpx.Client(transport=httpx.MockTransport(answer), headers=client._client.headers)
    bare = httpx.Client(transport=httpx.MockTransport(answer), headers=client._client.headers)
    ids = [f"job-{i}" for i in range(calls)]
    from_dict = JobResult.from_dict
    assert client.get_status("x") == from_dict(bare.get(BASE + "/status/x").json())

    rows = [interleaved(repeats, per_call(client.get_status, ids),
                        per_call(lambda job: from_dict(bare.get(f"{BASE}/status/{job}").json()), ids))]
    if detail:
        url = BASE + "/status/job"
        routine = client._request_with_retries
        rows.append(interleaved(repeats, per_call(lambda job: routine("GET", url), ids),
                                per_call(lambda job: bare.request("GET", url), ids)))
        rows.append(interleaved(repeats, per_call(lambda job: bare.request("GET", url), ids),
                                per_call(lambda job: bare.get(url), ids)))
    return [(o / calls, b / calls) for o, b in rows]


# ---------------------------------------------------------------------------
# b. asynchronous client over a MockTransport


def async_case(calls, repeats, detail):
    client = AsyncVORAClient(API_KEY, BASE)
    client._client = httpx.AsyncClient(transport=httpx.MockTransport(answer_async), headers=client._client.headers)
    bare = httpx.AsyncClient(transport=httpx.MockTransport(answer_async), headers=client._client.headers)
    ids = [f"job-{i}" for i in range(calls)]
    from_dict = JobResult.from_dict
    url = BASE + "/status/job"

    async def plain(job):
        return from_dict((await bare.get(f"{BASE}/status/{job}")).json())

    async def main():
        assert await client.get_status("x") == await plain("x")
        rows = [await interleaved_async(repeats, per_call_async(client.get_status, ids), per_call_async(plain, ids))]
        if detail:
            routine = client._request_with_retries
            rows.append(await interleaved_async(repeats, per_call_async(lambda job: routine("GET", url), ids),
                                                per_call_async(lambda job: bare.request("GET", url), ids)))
            rows.append(await interleaved_async(repeats, per_call_async(lambda job: bare.request("GET", url), ids),
                                                per_call_async(lambda job: bare.get(url), ids)))
        return rows

    return [(o / calls, b / calls) for o, b in asyncio.run(main())]


# ---------------------------------------------------------------------------
# c. gathered polls against a local server


SERVER = r'''
import asyncio, json, sys

async def serve(reader, writer):
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            path = head.split(b" ", 2)[1].decode()
            body = json.dumps({"job_id": path.rsplit("/", 1)[1], "status": "completed",
                               "result": {"counts": {"00": 498, "11": 526}, "shots": 1024}}).encode()
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                         + str(len(body)).encode() + b"\r\n\r\n" + body)
            await writer.drain()
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()

async def run():
    server = await asyncio.start_server(serve, "127.0.0.1", 0, backlog=2048)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)  # until the parent goes

asyncio.run(run())
'''


def start_server():
    server = subprocess.Popen([sys.executable, "-c", SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return server, f"http://127.0.0.1:{int(server.stdout.readline())}"


def gathered_case(url, polls, repeats, in_flight=None):
    """`polls` gathered status polls on one client; `in_flight` bounds how many
    are under way at once (None: all of them, queued by httpx's pool)."""
    ids = [f"job-{i}" for i in range(polls)]
    headers = {"X-API-Key": API_KEY, "Authorization": "Bearer " + API_KEY}

    async def batch(poll):
        gate = asyncio.Semaphore(in_flight or polls)

        async def one(job):
            async with gate:
                return await poll(job)
        start = time.perf_counter()
        results = await asyncio.gather(*(one(job) for job in ids))
        elapsed = time.perf_counter() - start
        assert [r.job_id for r in results] == ids
        return elapsed

    async def ours():
        client = AsyncVORAClient(API_KEY, url)  # its own AsyncClient, as a caller gets it
        try:
            return await batch(client.get_status)
        finally:
            await client._client.aclose()

    async def plain():
        bare = httpx.AsyncClient(timeout=300.0, headers=headers)  # built as the client builds its own

        async def poll(job):
            return JobResult.from_dict((await bare.get(f"{url}/status/{job}")).json())
        try:
            return await batch(poll)
        finally:
            await bare.aclose()

    return asyncio.run(asyncio.wait_for(interleaved_async(repeats, ours, plain), 900))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats (a smoke run)")
    parser.add_argument("--detail", action="store_true", help="also time the sub-steps of (a) and (b)")
    options = parser.parse_args()
    calls, repeats, gather_repeats = (500, 3, 1) if options.quick else (5000, 9, 3)
    polls, in_flight = 1000, 10

    print(f"python {sys.version.split()[0]}, httpx {httpx.__version__}, {os.cpu_count()} CPUs; best of {repeats} "
          f"(a, b), {gather_repeats + 2} (c2), {gather_repeats} (c)")
    rows = []
    sync_rows = sync_case(calls, repeats, options.detail)
    async_rows = async_case(calls, repeats, options.detail)
    for label, unit, found in (("a.", "VORAClient", sync_rows), ("b.", "AsyncVORAClient", async_rows)):
        rows.append((f"{label} {unit}.get_status, MockTransport", "us/call", *(t * 1e6 for t in found[0])))
        if options.detail:
            rows.append((f"   {label} _request_with_retries vs httpx request()", "us/call",
                         *(t * 1e6 for t in found[1])))
            rows.append((f"   {label} httpx request() vs httpx get()", "us/call", *(t * 1e6 for t in found[2])))
    server, url = start_server()
    try:
        ours, bare = gathered_case(url, polls, gather_repeats + 2, in_flight)
        rows.append((f"c2. {polls} gathered get_status, {in_flight} in flight", "ms/batch", ours * 1e3, bare * 1e3))
        ours, bare = gathered_case(url, polls, gather_repeats)
        rows.append((f"c. {polls} gathered get_status, all at once", "ms/batch", ours * 1e3, bare * 1e3))
    finally:
        server.stdin.close()
        server.wait(timeout=10)

    print(f"{'case':56} {'unit':>8} {'ours':>10} {'bare':>10} {'ours/bare':>10}")
    for name, unit, o, b in rows:
        print(f"{name:56} {unit:>8} {o:10.1f} {b:10.1f} {o / b:10.3f}")


if __name__ == "__main__":
    main()
