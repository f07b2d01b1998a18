"""The extension modules against their pure-Python twin (twin/zentrova_twin),
compared on generated cases by the suite in tests/differential.

That suite runs in a child interpreter so that a crash is caught and reported
with the input that caused it. ZENTROVA_DIFF_EXAMPLES sets the examples per
test (600 by default, the same ones every run); for a soak run raise it and
set ZENTROVA_DIFF_SEED to draw new cases:

    ZENTROVA_DIFF_EXAMPLES=8000 ZENTROVA_DIFF_SEED=7 python -m pytest tests/test_differential.py -s
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "differential"


@pytest.mark.timeout(3600)
def test_modules_match_their_twin(tmp_path):
    report, last = tmp_path / "cases.json", tmp_path / "last-input.txt"
    env = {**os.environ, "ZENTROVA_DIFF_REPORT": str(report), "ZENTROVA_DIFF_LAST": str(last),
           "ZENTROVA_DIFF_CHILD": "1"}
    seed = os.environ.get("ZENTROVA_DIFF_SEED")
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(HERE)]
    if seed:
        command.append(f"--hypothesis-seed={seed}")
    child = subprocess.run(command, cwd=HERE.parents[1], env=env, capture_output=True, text=True)
    if child.returncode < 0:
        crashed = last.read_text() if last.exists() else "(no case had started)"
        pytest.fail(f"the interpreter died of {signal.Signals(-child.returncode).name} on\n{crashed}\n"
                    f"{child.stdout[-3000:]}\n{child.stderr[-3000:]}")
    assert child.returncode == 0, child.stdout[-8000:] + child.stderr[-3000:]
    cases = json.loads(report.read_text())
    print("differential cases:", cases, "total", sum(cases.values()))
    assert cases and all(n > 0 for n in cases.values()), cases
