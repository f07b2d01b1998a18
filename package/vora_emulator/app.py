"""The ASGI application: starlette routes behind a thin outer layer.

The outer layer (``EmulatorApp``) sees every HTTP request first: it reads the
body, appends the request to the log, injects faults, checks the API key and
the key's budget, and only then hands the request to the starlette router.
It sits outside starlette so that it holds the server's own ``send``, which
is what makes dropping a connection possible.
"""

from __future__ import annotations

import asyncio
import json
from typing import Any, Awaitable, Callable, MutableMapping

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from vora_emulator.config import SUPPLIERS, EmulatorConfig
from vora_emulator.service import RequestRecord, VoraService

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]

_CATALOG_PATHS = {
    "/api/v1/azure_quantum/providers": "azure_quantum",
    "/api/v1/ibm_quantum/backends": "ibm_quantum",
    "/api/v1/braket/devices": "braket",
}


def route_name(method: str, path: str) -> str:
    """Name of the route a request belongs to, as fault rules refer to it."""
    parts = path.split("/")
    if path == "/health":
        return "health"
    if method == "POST" and path == "/execute":
        return "execute"
    if method == "GET" and len(parts) == 3 and parts[1] in ("status", "results") and parts[2]:
        return parts[1]
    if method == "GET" and path in _CATALOG_PATHS:
        return "catalog"
    if method == "POST" and len(parts) == 5 and parts[1:3] == ["api", "v1"] and parts[4] == "execute":
        return "backend_execute"
    return "other"


class BadRequest(Exception):
    pass


class EmulatorApp:
    """ASGI callable; ``service`` holds the jobs and the request log."""

    def __init__(self, service: VoraService) -> None:
        self.service = service
        self.router = Starlette(routes=_routes(service))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.router(scope, receive, send)
            return
        body = await _read_body(receive)
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope["headers"]}
        route = route_name(scope["method"], scope["path"])
        record = self.service.record(scope["method"], scope["path"], headers, body, _decode(body), route)

        if route != "health":
            fault = self.service.pick_fault(route)
            if fault is not None:
                record.fault = fault.kind
                if fault.kind == "drop":
                    await _drop_connection(send, receive)
                    return
                if fault.kind == "error":
                    if fault.body is None:
                        payload, ctype = _json_bytes({"detail": "injected fault"}), "application/json"
                    else:
                        payload, ctype = fault.body.encode(), "text/plain; charset=utf-8"
                    await _respond(send, record, fault.code, payload, ctype)
                    return
                await self.service.pause(fault.delay)
            denial = self.service.admit(headers.get("x-api-key"))
            if denial is not None:
                await _respond(send, record, denial.status, _json_bytes({"detail": denial.detail}), "application/json")
                return

        replayed = False

        async def replay() -> Message:
            nonlocal replayed
            if not replayed:
                replayed = True
                return {"type": "http.request", "body": body, "more_body": False}
            return await receive()

        async def logging_send(message: Message) -> None:
            if message["type"] == "http.response.start":
                record.status = message["status"]
            await send(message)

        await self.router(scope, replay, logging_send)


def create_app(config: EmulatorConfig | None = None, **options: Any) -> EmulatorApp:
    """Build the ASGI application of one emulated service.

    Pass an ``EmulatorConfig`` or its fields as keywords. The returned app's
    ``service`` attribute gives the request log (``app.service.requests``)
    and lets tests replace the fault rules (``app.service.set_faults``).
    Dropped connections need uvicorn's HTTP implementation; every other
    feature works under any ASGI server.
    """
    if config is None:
        config = EmulatorConfig(**options)
    elif options:
        raise TypeError("pass either a config or keyword options, not both")
    return EmulatorApp(VoraService(config))


# ---------------------------------------------------------------------------
# Routes


def _routes(service: VoraService) -> list[Route]:
    config = service.config

    async def health(request: Request) -> Response:
        return JSONResponse({"status": "ok"})

    async def execute(request: Request) -> Response:
        try:
            data = await _json_object(request)
            qasm = _circuit(data, "qasm")
            shots = _shots(data, config.max_shots)
        except BadRequest as exc:
            return _error(400, str(exc))
        job = service.submit(qasm, shots, config.backend_name)
        return JSONResponse({"job_id": job.job_id, "status": "queued"})

    async def status(request: Request) -> Response:
        job = service.job(request.path_params["job_id"])
        if job is None:
            return _error(404, "job not found")
        return JSONResponse(service.status_document(job))

    async def results(request: Request) -> Response:
        job = service.job(request.path_params["job_id"])
        if job is None:
            return _error(404, "job not found")
        return JSONResponse(service.result_document(job))

    async def catalog(request: Request) -> Response:
        supplier = _CATALOG_PATHS[request.url.path]
        entries = list(config.catalog.get(supplier, []))
        if supplier == "azure_quantum":
            return JSONResponse(entries)
        return JSONResponse({"backends" if supplier == "ibm_quantum" else "devices": entries})

    async def backend_execute(request: Request) -> Response:
        supplier = request.path_params["supplier"]
        if supplier not in SUPPLIERS or supplier not in config.catalog:
            return _error(404, "unknown supplier %s" % supplier)
        backend_key, name_key = SUPPLIERS[supplier]
        try:
            data = await _json_object(request)
            qasm = _circuit(data, "circuit")
            shots = _shots(data, config.max_shots)
            name = data.get(backend_key)
            if not isinstance(name, str) or not name:
                raise BadRequest("%r must name a backend of %s" % (backend_key, supplier))
            entry = next((e for e in config.catalog[supplier] if e[name_key] == name), None)
            if entry is None:
                known = ", ".join(str(e[name_key]) for e in config.catalog[supplier])
                raise BadRequest("unknown %s backend %r (known: %s)" % (supplier, name, known))
            if entry.get("available", True) is False:
                raise BadRequest("%s backend %r is not available" % (supplier, name))
        except BadRequest as exc:
            return _error(400, str(exc))
        qubits = entry.get("num_qubits")
        job = service.submit(qasm, shots, name, max_qubits=qubits if isinstance(qubits, int) and qubits > 0 else None)
        id_key = "task_id" if supplier == "braket" else "job_id"
        return JSONResponse({id_key: job.job_id, "status": "queued"})

    return [
        Route("/health", health, methods=["GET"]),
        Route("/execute", execute, methods=["POST"]),
        Route("/status/{job_id}", status, methods=["GET"]),
        Route("/results/{job_id}", results, methods=["GET"]),
        *(Route(path, catalog, methods=["GET"]) for path in _CATALOG_PATHS),
        Route("/api/v1/{supplier}/execute", backend_execute, methods=["POST"]),
    ]


async def _json_object(request: Request) -> dict[str, Any]:
    try:
        data = json.loads(await request.body())
    except ValueError:
        raise BadRequest("request body must be a JSON object") from None
    if not isinstance(data, dict):
        raise BadRequest("request body must be a JSON object")
    return data


def _circuit(data: dict[str, Any], key: str) -> str:
    value = data.get(key)
    if not isinstance(value, str) or not value.strip():
        raise BadRequest("%r must be a non-empty OpenQASM 2.0 text" % key)
    return value


def _shots(data: dict[str, Any], limit: int) -> int:
    value = data.get("shots")
    if isinstance(value, bool) or not isinstance(value, int) or not 0 < value <= limit:
        raise BadRequest("'shots' must be an integer from 1 to %d" % limit)
    return value


def _error(status: int, detail: str) -> Response:
    return JSONResponse({"detail": detail}, status_code=status)


# ---------------------------------------------------------------------------
# Raw ASGI helpers


def _decode(body: bytes) -> Any:
    if not body:
        return None
    try:
        return json.loads(body)
    except ValueError:
        return None


def _json_bytes(value: Any) -> bytes:
    return json.dumps(value).encode()


async def _read_body(receive: Receive) -> bytes:
    chunks = []
    while True:
        message = await receive()
        if message["type"] != "http.request":
            break
        chunks.append(message.get("body", b""))
        if not message.get("more_body", False):
            break
    return b"".join(chunks)


async def _respond(send: Send, record: RequestRecord, status: int, payload: bytes, content_type: str) -> None:
    record.status = status
    headers = [(b"content-type", content_type.encode()), (b"content-length", str(len(payload)).encode())]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": payload})


async def _drop_connection(send: Send, receive: Receive) -> None:
    """Close the client's connection without sending a single byte.

    An ASGI app cannot ask for this: raising or returning without a response
    makes the server answer 500. uvicorn's ``send`` is a bound method of the
    request cycle, which holds the connection's transport; aborting that
    transport closes the socket. The disconnect is then awaited, so that the
    server sees the connection gone before the app returns and writes no
    error response of its own.
    """
    transport = getattr(getattr(send, "__self__", None), "transport", None)
    if transport is None or not hasattr(transport, "abort"):
        raise RuntimeError("dropping a connection needs uvicorn's HTTP implementation")
    transport.abort()
    try:
        await asyncio.wait_for(receive(), timeout=1.0)
    except asyncio.TimeoutError:
        pass
