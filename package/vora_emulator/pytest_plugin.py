"""pytest fixtures that run the emulator for a test.

Enable them in a project's top-level ``conftest.py``::

    pytest_plugins = ["vora_emulator.pytest_plugin"]

Fixtures:

- ``vora_emulator``: a running ``Emulator`` with the default key
  ("test-key"), stopped after the test. Use ``vora_emulator.url``,
  ``vora_emulator.api_key`` and ``vora_emulator.requests``.
- ``vora_emulator_factory``: ``start(**options) -> Emulator`` starts
  emulators with any ``Emulator`` options; all of them are stopped after the
  test.
- ``vora_env``: sets ``VORA_API_KEY`` to the key of ``vora_emulator`` and
  returns its base URL, for code that reads the key from the environment.

Example::

    def test_bell(vora_emulator_factory):
        emulator = vora_emulator_factory(seed=1, counts_in="results")
        client = VORAClient(api_key=emulator.api_key, base_url=emulator.url)
        ...
"""

from __future__ import annotations

from typing import Any, Callable, Iterator

import pytest

from vora_emulator.server import Emulator


@pytest.fixture
def vora_emulator_factory() -> Iterator[Callable[..., Emulator]]:
    started: list[Emulator] = []

    def start(**options: Any) -> Emulator:
        emulator = Emulator(**options)
        emulator.start()
        started.append(emulator)
        return emulator

    try:
        yield start
    finally:
        for emulator in reversed(started):
            emulator.stop()


@pytest.fixture
def vora_emulator(vora_emulator_factory: Callable[..., Emulator]) -> Emulator:
    return vora_emulator_factory()


@pytest.fixture
def vora_env(vora_emulator: Emulator, monkeypatch: pytest.MonkeyPatch) -> str:
    monkeypatch.setenv("VORA_API_KEY", vora_emulator.api_key)
    assert vora_emulator.url is not None
    return vora_emulator.url
