"""Fixture and helpers of the end-to-end tests: the SDK against the local
emulator of the service, over real HTTP on 127.0.0.1.

- ``emulator(**options)``: a fixture that starts emulators (seeded unless told
  otherwise), all stopped after the test; ``.url`` and ``.api_key`` point a
  client at one. Test modules import it.
"""

from __future__ import annotations

import asyncio
from pathlib import Path

import pytest

from vora_emulator.pytest_plugin import vora_emulator_factory  # noqa: F401  (fixture)

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
BELL = (EXAMPLES / "bell.qasm").read_text()


@pytest.fixture
def emulator(vora_emulator_factory):  # noqa: F811
    def start(**options):
        options.setdefault("seed", 11)
        return vora_emulator_factory(**options)

    return start


def routed(emulator, route):
    """The requests the emulator saw on one route, oldest first."""
    return [r for r in emulator.requests if r.route == route]


def assert_bell_counts(counts, shots):
    assert set(counts) == {"00", "11"}, counts
    assert sum(counts.values()) == shots


def run_async(make_coroutine, client):
    """Runs ``make_coroutine(client)`` to completion and closes the client's
    HTTP connections in the same loop."""

    async def main():
        try:
            return await make_coroutine(client)
        finally:
            await client._client.aclose()

    return asyncio.run(main())
