"""Helpers of the end-to-end tests."""

from __future__ import annotations

import asyncio
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
BELL = (EXAMPLES / "bell.qasm").read_text()


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
