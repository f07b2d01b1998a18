"""Local, wire-compatible emulator of the VORA quantum-circuit service.

Circuits are parsed as OpenQASM 2.0 and sampled on a seeded statevector
simulator; jobs go through "queued", "processing" and "completed" (or
"failed") with a configurable latency; faults (error statuses, slow answers,
dropped connections) can be injected per route.

From Python and tests::

    from vora_emulator import Emulator

    with Emulator(api_keys=["k"], seed=1) as base_url:
        ...  # point a client at base_url with the key "k"

From the shell: ``vora-emulator --help`` or ``python -m vora_emulator --help``.
For pytest fixtures see ``vora_emulator.pytest_plugin``.
"""

from vora_emulator.app import EmulatorApp, create_app
from vora_emulator.config import DEFAULT_API_KEY, DEFAULT_CATALOG, EmulatorConfig, Fault
from vora_emulator.server import Emulator
from vora_emulator.service import RequestRecord, VoraService

__all__ = [
    "DEFAULT_API_KEY",
    "DEFAULT_CATALOG",
    "Emulator",
    "EmulatorApp",
    "EmulatorConfig",
    "Fault",
    "RequestRecord",
    "VoraService",
    "create_app",
]
