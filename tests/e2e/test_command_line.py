"""The `zentrova-sdk` command and the quick-start script against the emulator,
each in a child process as a user runs them."""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zentrova_sdk
from conftest import API_KEY
from emulated import EXAMPLES, assert_bell_counts, routed
from emulated import emulator, vora_emulator_factory  # noqa: F401  (fixtures)
from fault_proxy import Answer, FaultProxy

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
        (KEY, None, "latin-1 file", "UnicodeDecodeError: {qasm}: 'utf-8' codec can't decode byte 0xe9 in "
                                    "position 6: invalid continuation byte"),
    ],
    ids=["wrong key", "no key", "500", "429", "503 page", "server down", "missing file", "latin-1 file"],
)
def test_command_failures_print_one_line(emulator, tmp_path, command, key, fault, case, expected):
    service = emulator(api_keys=[KEY], faults=[fault] if fault else [])
    qasm = str(tmp_path / "absent.qasm") if case == "missing file" else BELL
    if case == "latin-1 file":
        qasm = str(tmp_path / "caf\u00e9.qasm")
        Path(qasm).write_bytes(b"// caf\xe9\n" + Path(BELL).read_bytes())
    if case == "server down":
        service.stop()
    proc = run_command(qasm, "--base-url", service.url, key=key, command=command)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == "zentrova-sdk: " + expected.format(qasm=qasm) + "\n"


HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
# A key the service's parser echoes when a circuit uses it as a gate name.
GATE_KEY = "skE2e5f3a9c71"
# Circuits whose job the emulator runs and fails: (text, the error text, or
# None for any).
FAILING = {
    "qubit out of range": (HEADER + "qreg q[2];\ncreg c[2];\nh q[5];\nmeasure q -> c;\n",
                           "<input>:5,4: index 5 is out-of-range for register 'q' of size 2"),
    "25 qubits": (HEADER + "qreg q[25];\ncreg c[25];\nh q;\nmeasure q -> c;\n",
                  "circuit uses 25 qubits; at most 21 can be run here"),
    "1 MB of garbage": ("".join(random.Random(5).choices("abc xyz;{}()[]\n0123", k=1 << 20)), None),
    "key in the error": (HEADER + "qreg q[1];\n%s q[0];\n" % GATE_KEY,
                         "<input>:4,0: '***' is not defined in this scope"),
}


@pytest.mark.parametrize("command", ENTRY_POINTS)
@pytest.mark.parametrize("case", FAILING)
def test_a_failed_job_fails_the_command(emulator, tmp_path, command, case):
    circuit, error = FAILING[case]
    path = tmp_path / "circuit.qasm"
    path.write_text(circuit)
    key = GATE_KEY if case == "key in the error" else KEY
    service = emulator(api_keys=[key])
    proc = run_command(str(path), "--base-url", service.url, key=key, command=command)
    assert proc.returncode == 1
    document = json.loads(proc.stdout)  # printed as for any finished job
    assert proc.stdout == json.dumps(document, indent=2, sort_keys=True) + "\n"
    assert document["status"] == "failed" and "counts" not in document
    assert document["error"] == (error or document["error"])
    assert proc.stderr == "zentrova-sdk: job %s failed: %s\n" % (document["job_id"], document["error"])
    assert key not in proc.stdout + proc.stderr
    assert len(routed(service, "execute")) == 1


def membership_error() -> str:
    """The running interpreter's words for `"job_id" in None` (3.14 reworded them)."""
    try:
        "job_id" in None  # type: ignore[operator]
    except TypeError as exc:
        return f"TypeError: {exc}"
    raise AssertionError("None became a container")


# Answers the SDK cannot read, put in place of the service's by a proxy: each
# is reported with the interpreter's traceback, not as a failure of the user's.
UNREADABLE = {
    "sign-in page": ("POST", Answer("<html>Sign in to continue</html>", content_type="text/html"),
                     "json.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)"),
    "null status": ("GET", Answer("null"), "AttributeError: 'NoneType' object has no attribute 'get'"),
    "[] status": ("GET", Answer("[]"), "AttributeError: 'list' object has no attribute 'get'"),
    "null submission": ("POST", Answer("null"), membership_error()),
    "latin-1 answer": ("POST", Answer(b'{"job_id": "caf\xe9"}'),
                       "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xe9 in position 15: "
                       "invalid continuation byte"),
}


@pytest.mark.parametrize("command", ENTRY_POINTS)
@pytest.mark.parametrize("case", [*UNREADABLE, "traceback asked for"])
def test_other_failures_keep_their_traceback(emulator, command, case):
    if case in UNREADABLE:
        method, answer, last = UNREADABLE[case]
        service = emulator(api_keys=[KEY])
        proxy = FaultProxy(service.url, {method: [answer]})
        url, env = proxy.url, {}
    else:
        # The service's error page echoes the key: masked in the traceback too.
        service = emulator(api_keys=[KEY], faults=["execute:error:code=503,body=denied for " + KEY])
        url, env, last = service.url, {"ZENTROVA_SDK_TRACEBACK": "1"}, \
            "zentrova_sdk.models.VORAError: HTTP error: 503 denied for ***"
    try:
        proc = run_command(BELL, "--base-url", url, key=KEY, command=command, **env)
    finally:
        if case in UNREADABLE:
            proxy.close()
    assert (proc.returncode, proc.stdout) == (1, "")
    lines = proc.stderr.splitlines()
    assert lines[0] == "Traceback (most recent call last):" and lines[-1] == last
    # Every frame from the program's own down: the command as it was started.
    program = "zentrova_sdk/__main__.py" if command is PYTHON_M else command[0]
    assert '%s", line' % program in proc.stderr
    assert 'zentrova_sdk/_command.py", line' in proc.stderr
    assert "zentrova-sdk:" not in proc.stderr
    assert KEY not in proc.stderr


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
