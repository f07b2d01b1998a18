"""The differential suite runs in a child interpreter started by
tests/test_differential.py (so that a crash is caught and named); these
settings size it and report how many cases each test ran."""

from __future__ import annotations

import json
import os

from hypothesis import HealthCheck, settings

import harness

settings.register_profile(
    "differential",
    max_examples=int(os.environ.get("ZENTROVA_DIFF_EXAMPLES", "600")),
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
    # The quick setting runs the same cases every time; a soak run draws new
    # ones (ZENTROVA_DIFF_SEED=<n>, handed to --hypothesis-seed).
    derandomize=os.environ.get("ZENTROVA_DIFF_SEED") is None,
)
settings.load_profile("differential")


def pytest_sessionfinish(session, exitstatus):
    report = os.environ.get("ZENTROVA_DIFF_REPORT")
    if report:
        with open(report, "w") as f:
            json.dump(harness.CASES, f)
