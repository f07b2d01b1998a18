"""Fixtures of the end-to-end tests (the SDK against the local emulator of the
service, over real HTTP on 127.0.0.1); their helpers are in ``emulated.py``.

- ``emulator(**options)``: starts an emulator (seeded unless told otherwise),
  stopped after the test; ``.url`` and ``.api_key`` point a client at it.
"""

from __future__ import annotations

import pytest

from vora_emulator.pytest_plugin import vora_emulator_factory  # noqa: F401  (fixture)


@pytest.fixture
def emulator(vora_emulator_factory):  # noqa: F811
    def start(**options):
        options.setdefault("seed", 11)
        return vora_emulator_factory(**options)

    return start
