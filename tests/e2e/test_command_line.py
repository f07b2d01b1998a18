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
from conftest import API_KEY
from emulated import EXAMPLES, assert_bell_counts, routed
from emulated import emulator, vora_emulator_factory  # noqa: F401  (fixtures)

pytestmark = pytest.mark.timeout(60)

# Wherever the package under test was imported from (the development layout
# or an installed copy), the child imports the same one.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(zentrova_sdk.__file__)))
BIN = str(Path(sys.executable).parent)
BELL = str(EXAMPLES / "bell.qasm")
KEY = "sk-e2e-5f3a9c71"
PYTHON_M = [sys.executable, "-m", "zentrova_sdk"]

# The command both ways a user starts it: the installed console script only
# where the package is installed next to this interpreter.
SCRIPT = shutil.which("zentrova-sdk", path=BIN)
ENTRY_POINTS = [
    pytest.param(PYTHON_M, id="python-m"),
    pytest.param([SCRIPT], id="script", marks=pytest.mark.skipif(SCRIPT is None, reason="no zentrova-sdk script")),
]


def child_env(**extra):
    scrubbed = ("VORA_API_KEY", "PYTHONPATH", "ZENTROVA_SDK_TRACEBACK")
    env = {k: v for k, v in os.environ.items() if k not in scrubbed}
    env.update(TERM="dumb", COLUMNS="200", PYTHONIOENCODING="utf-8", PYTHONPATH=PACKAGE_PARENT, **extra)
    return env


def run_command(*args, key, command=PYTHON_M, **env):
    env = child_env(**env) if key is None else child_env(VORA_API_KEY=key, **env)
    return subprocess.run(
        [*command, *args],
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


# A maintenance page that, like some debugging proxies, echoes the request headers.
PAGE_503 = "<html>\n  <body>Down for maintenance. X-API-Key: %s</body>\n</html>\n" % KEY


@pytest.mark.parametrize("command", ENTRY_POINTS)
@pytest.mark.parametrize(
    "key, fault, case, expected",
    [
        ("a-wrong-key-c0ffee", None, "", "AuthenticationError: Invalid API key"),
        (None, None, "", "AuthenticationError: VORA API key required (pass api_key or set VORA_API_KEY)"),
        (KEY, "execute:error:code=500,body=backend offline", "", "VORAError: HTTP error: 500 backend offline"),
        (KEY, "status:error:code=429", "", "RateLimitError: Rate limit exceeded"),
        (KEY, "execute:error:code=503,body=" + PAGE_503, "",
         "VORAError: HTTP error: 503 <html> <body>Down for maintenance. X-API-Key: ***</body> </html>"),
        (KEY, None, "server down", "VORAError: Request failed after retries: [Errno 111] Connection refused"),
        (KEY, None, "missing file", "FileNotFoundError: [Errno 2] No such file or directory: {qasm!r}"),
    ],
    ids=["wrong key", "no key", "500", "429", "503 page", "server down", "missing file"],
)
def test_command_failures_print_one_line(emulator, tmp_path, command, key, fault, case, expected):
    service = emulator(api_keys=[KEY], faults=[fault] if fault else [])
    qasm = str(tmp_path / "absent.qasm") if case == "missing file" else BELL
    if case == "server down":
        service.stop()
    proc = run_command(qasm, "--base-url", service.url, key=key, command=command)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == "zentrova-sdk: " + expected.format(qasm=qasm) + "\n"


@pytest.mark.parametrize("command", ENTRY_POINTS)
@pytest.mark.parametrize("case", ["non-JSON answer", "traceback asked for"])
def test_other_failures_keep_their_traceback(request, emulator, command, case):
    if case == "non-JSON answer":
        # A proxy's sign-in page answered with 200: a fault the SDK does not
        # report as its own error.
        service = request.getfixturevalue("service")
        service.forced = (200, "<html>Sign in to continue</html>")
        key, env, last = API_KEY, {}, "JSONDecodeError: Expecting value: line 1 column 1 (char 0)"
    else:
        service = emulator(api_keys=[KEY], faults=["execute:error:code=503,body=maintenance"])
        key, env, last = KEY, {"ZENTROVA_SDK_TRACEBACK": "1"}, "VORAError: HTTP error: 503 maintenance"
    proc = run_command(BELL, "--base-url", service.url, key=key, command=command, **env)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert "Traceback (most recent call last)" in proc.stderr
    assert proc.stderr.splitlines()[-1] == last
    assert "zentrova-sdk:" not in proc.stderr
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
