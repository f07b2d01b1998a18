"""``vora-emulator``: serve an emulated VORA service until interrupted."""

from __future__ import annotations

import argparse
import copy
import signal
import sys
import threading
from typing import Any, Sequence

from vora_emulator.config import (
    COUNTS_PLACEMENTS, DEFAULT_API_KEY, DEFAULT_MAX_QUBITS, FAULT_KINDS, ROUTES, EmulatorConfig, Fault,
)
from vora_emulator.server import Emulator

READY_PREFIX = "vora-emulator listening on "

_EPILOG = """\
faults:
  --fault ROUTE:KIND[:OPTION,...] injects faults into one route; repeat it for
  more rules. Rules are tried in order and the first one that hits answers the
  request; injected faults bypass the API key check and the budget.

  ROUTE   %(routes)s, or * for every route
  KIND    error  answer an error status (code=N, default 500) with a body
                 (body=TEXT, default a small JSON document)
          slow   wait delay=S seconds (default 5), then answer normally
          drop   close the connection without answering
  OPTION  first=N   hit the first N requests of the route
          rate=F    hit each request with probability F (seeded by --seed)
                    (with neither, every request is hit)
          code=N, delay=S, body=TEXT  as above; body must come last and
                    takes the rest of the text

  examples: --fault status:error:first=2
            --fault execute:drop:rate=0.25 --fault '*:slow:first=1,delay=10'
            --fault 'results:error:code=503,body=down for maintenance'

routes:
  execute          POST /execute
  status, results  GET /status/{id}, GET /results/{id}
  catalog          GET /api/v1/azure_quantum/providers, /api/v1/ibm_quantum/backends,
                   /api/v1/braket/devices
  backend_execute  POST /api/v1/{supplier}/execute
  GET /health answers without a key and is never faulted.

Once serving, one line "%(ready)sURL" is printed to standard output.
SIGINT or SIGTERM stops the server.
""" % {"routes": ", ".join(ROUTES), "ready": READY_PREFIX}


def _fault(text: str) -> Fault:
    try:
        return Fault.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _latency(text: str) -> float | tuple[float, float]:
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) == 1:
        return values[0]
    if len(values) == 2:
        return (values[0], values[1])
    raise argparse.ArgumentTypeError("expected SECONDS or QUEUED,PROCESSING, got %r" % text)


def _log_config() -> dict[str, Any]:
    """uvicorn's logging setup with the access log moved to standard error,
    so that standard output carries only the ready line."""
    from uvicorn.config import LOGGING_CONFIG

    config = copy.deepcopy(LOGGING_CONFIG)
    for handler in config.get("handlers", {}).values():
        if handler.get("stream") == "ext://sys.stdout":
            handler["stream"] = "ext://sys.stderr"
    return config


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vora-emulator",
        description="Serve a local, wire-compatible emulator of the VORA quantum-circuit service.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8765, help="port to listen on; 0 takes a free one (default: %(default)s)")
    parser.add_argument(
        "--api-key", action="append", dest="api_keys", metavar="KEY",
        help="accepted X-API-Key value; repeat for more keys (default: %s)" % DEFAULT_API_KEY,
    )
    parser.add_argument("--seed", type=int, help="seed of job identifiers, counts and fault draws (default: random)")
    parser.add_argument(
        "--latency", type=_latency, default=0.0, metavar="SECONDS[,SECONDS]",
        help="seconds a job stays queued and then processing; one value for both (default: 0)",
    )
    parser.add_argument(
        "--counts-in", choices=COUNTS_PLACEMENTS, default="status",
        help="where counts appear: top level of the status document, only in /results, "
        "or nested under \"result\" (default: %(default)s)",
    )
    parser.add_argument("--budget", type=int, help="requests allowed per key before 429 (default: unlimited)")
    parser.add_argument(
        "--fault", type=_fault, action="append", default=[], dest="faults", metavar="ROUTE:KIND[:OPTIONS]",
        help="inject faults (kinds: %s); see below" % ", ".join(FAULT_KINDS),
    )
    parser.add_argument(
        "--max-qubits", type=int, default=DEFAULT_MAX_QUBITS,
        help="largest circuit simulated; a job at the default takes about a second (default: %(default)s)",
    )
    parser.add_argument("--max-shots", type=int, default=1_000_000, help="largest shot count accepted (default: %(default)s)")
    parser.add_argument("--quiet", action="store_true", help="no access log on standard error")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        config = EmulatorConfig(
            api_keys=args.api_keys or [DEFAULT_API_KEY],
            seed=args.seed,
            latency=args.latency,
            counts_in=args.counts_in,
            budget=args.budget,
            faults=args.faults,
            max_qubits=args.max_qubits,
            max_shots=args.max_shots,
        )
    except ValueError as exc:
        parser.error(str(exc))
    emulator = Emulator(
        config, host=args.host, port=args.port, log_config=_log_config(),
        log_level="warning" if args.quiet else "info", access_log=not args.quiet,
    )

    stopping = threading.Event()

    def on_signal(signum: int, frame: object) -> None:
        stopping.set()

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        try:
            url = emulator.start()
        except OSError as exc:
            print("vora-emulator: cannot listen on %s:%d: %s" % (args.host, args.port, exc.strerror or exc), file=sys.stderr)
            return 1
        print(READY_PREFIX + url, flush=True)
        while not stopping.wait(0.2):
            if not emulator.running:
                print("vora-emulator: server stopped unexpectedly", file=sys.stderr)
                return 1
        return 0
    finally:
        emulator.stop()
        for sig, handler in previous.items():
            signal.signal(sig, handler)
