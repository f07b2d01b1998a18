"""The `zentrova-sdk` command and the quick-start script against the emulator,
each in a child process as a user runs them."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zentrova_sdk
from emulated import EXAMPLES, assert_bell_counts, routed
from emulated import emulator, vora_emulator_factory  # noqa: F401  (fixtures)

pytestmark = pytest.mark.timeout(60)

# Wherever the package under test was imported from (the development layout
# or an installed copy), the child imports the same one.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(zentrova_sdk.__file__)))
BIN = str(Path(sys.executable).parent)


def child_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("VORA_API_KEY", "PYTHONPATH")}
    env.update(TERM="dumb", COLUMNS="200", PYTHONIOENCODING="utf-8", PYTHONPATH=PACKAGE_PARENT, **extra)
    return env


def run_command(*args, key):
    env = child_env() if key is None else child_env(VORA_API_KEY=key)
    return subprocess.run(
        [sys.executable, "-m", "zentrova_sdk", *args],
        env=env,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        encoding="utf-8",
        timeout=50,
    )


@pytest.mark.parametrize("fault", [None, "status:drop:first=1"], ids=["clean", "retried"])
def test_command_prints_the_result_document(emulator, fault):
    service = emulator(faults=[fault] if fault else [])
    proc = run_command(str(EXAMPLES / "bell.qasm"), "--shots", "300", "--base-url", service.url, key=service.api_key)
    assert proc.returncode == 0, proc.stderr
    document = json.loads(proc.stdout)
    assert proc.stdout == json.dumps(document, indent=2, sort_keys=True) + "\n"
    assert document["status"] == "completed"
    assert_bell_counts(document["counts"], 300)
    (submitted,) = routed(service, "execute")
    assert submitted.json["shots"] == 300


@pytest.mark.parametrize(
    "key, fault, expected",
    [
        ("a-wrong-key-c0ffee", None, "Invalid API key"),
        (None, None, "VORA API key required"),
        ("good", "execute:error:code=500,body=backend offline", "HTTP error: 500 backend offline"),
        ("good", "status:error:code=429", "Rate limit exceeded"),
    ],
)
def test_command_failures_exit_non_zero_without_output(emulator, key, fault, expected):
    service = emulator(api_keys=["good"], faults=[fault] if fault else [])
    proc = run_command(str(EXAMPLES / "bell.qasm"), "--base-url", service.url, key=key)
    assert proc.returncode == 1
    assert proc.stdout == ""
    assert expected in proc.stderr
    if key is not None:
        assert key not in proc.stderr


@pytest.mark.skipif(
    not (shutil.which("zentrova-sdk", path=BIN) and shutil.which("vora-emulator", path=BIN)),
    reason="the console scripts are not installed next to this interpreter",
)
def test_quickstart_script_runs_the_main_job():
    env = child_env(PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
    proc = subprocess.run(
        [str(EXAMPLES / "quickstart.sh")], env=env, capture_output=True, encoding="utf-8", timeout=50
    )
    assert proc.returncode == 0, proc.stderr
    document = json.loads(proc.stdout)
    assert document["status"] == "completed"
    assert_bell_counts(document["counts"], 1024)
