"""The zentrova-sdk command line: the module surface, runs as a separate process
against the in-process service emulation, direct Python calls, and that the
API key never appears in what a failing run prints."""

from __future__ import annotations

import __future__
import inspect
import json
import os
import shutil
import subprocess
import sys
import typing

import pytest
import typer

import zentrova_sdk
import zentrova_sdk.cli as cli
import zentrova_sdk.client as client_mod
from zentrova_sdk.models import JobResult, JobStatus, ValidationError

from conftest import API_KEY

SECRET = "sk-SECRET-do-not-print-123"
QASM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\nmeasure q -> c;\n'
DOC = (
    "Minimal CLI wrapper for the SDK.\n"
    "\n"
    "This is intentionally named `zentrova-sdk` as an entrypoint to avoid colliding\n"
    "with the core CLI (`zentrova`).\n"
)
APP_HELP = "Zentrova SDK CLI (client for VORA public API)"
COMMAND_HELP = "Submit a QASM file and wait for counts."

# The directory holding the package under test, wherever it was imported from
# (the development layout or an installed copy).
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(zentrova_sdk.__file__)))

# Loaded by every child interpreter: time.sleep returns at once and logs what it
# was asked for, so retries and polls in a child never wait for real.
SLEEP_SHIM = """\
import os
import time

_log = os.environ.get("ZENTROVA_TEST_SLEEP_LOG")


def _sleep(seconds):
    if _log:
        with open(_log, "a") as f:
            f.write(repr(seconds) + "\\n")


time.sleep = _sleep
"""

SCRUBBED = {"VORA_API_KEY", "TYPER_STANDARD_TRACEBACK", "_TYPER_STANDARD_TRACEBACK", "PYTHONPATH", "PYTHONSTARTUP"}


def client_default_base_url():
    return inspect.signature(client_mod.VORAClient.__init__).parameters["base_url"].default


def flat(text: str) -> str:
    return " ".join(text.split())


@pytest.fixture(scope="session")
def shim_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("shim")
    (path / "sitecustomize.py").write_text(SLEEP_SHIM)
    return path


@pytest.fixture
def run_cli(shim_dir, tmp_path):
    sleep_log = tmp_path / "sleeps.log"

    def run(*args, key=API_KEY, command=None):
        env = {k: v for k, v in os.environ.items() if k not in SCRUBBED}
        env.update(
            TERM="dumb",
            COLUMNS="200",
            PYTHONIOENCODING="utf-8",
            PYTHONPATH=os.pathsep.join([str(shim_dir), PACKAGE_PARENT]),
            ZENTROVA_TEST_SLEEP_LOG=str(sleep_log),
        )
        if key is not None:
            env["VORA_API_KEY"] = key
        if sleep_log.exists():
            sleep_log.unlink()
        cmd = list(command or [sys.executable, "-m", "zentrova_sdk"]) + [str(a) for a in args]
        proc = subprocess.run(
            cmd,
            env=env,
            cwd=str(tmp_path),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            encoding="utf-8",
            errors="replace",
            timeout=60,
        )
        proc.sleeps = [float(x) for x in sleep_log.read_text().split()] if sleep_log.exists() else []
        return proc

    return run


@pytest.fixture
def qasm_file(tmp_path):
    path = tmp_path / "bell.qasm"
    path.write_text(QASM, encoding="utf-8")
    return path


def expected_output(doc) -> str:
    return json.dumps(doc, indent=2, sort_keys=True) + "\n"


# ===========================================================================
# Module surface


def test_module_docstring():
    assert cli.__doc__ == DOC


def test_module_names_in_order():
    names = [n for n in vars(cli) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["annotations", "json", "sys", "typer", "VORAClient", "app", "execute", "main"]
    assert cli.annotations is __future__.annotations
    assert cli.json is json and cli.sys is sys and cli.typer is typer
    assert cli.VORAClient is client_mod.VORAClient
    assert isinstance(cli.app, typer.Typer)
    assert not hasattr(cli, "__all__")


def test_command_and_entry_functions():
    fn = cli.execute
    assert (fn.__name__, fn.__qualname__, fn.__doc__) == ("execute", "execute", COMMAND_HELP)
    sig = inspect.signature(fn)
    assert [(p.name, p.kind, p.annotation, p.default) for p in sig.parameters.values()] == [
        ("qasm_file", inspect.Parameter.POSITIONAL_OR_KEYWORD, "str", inspect.Parameter.empty),
        ("shots", inspect.Parameter.POSITIONAL_OR_KEYWORD, "int", 1024),
        ("base_url", inspect.Parameter.POSITIONAL_OR_KEYWORD, "str", client_default_base_url()),
    ]
    assert sig.return_annotation is inspect.Signature.empty
    assert list(fn.__annotations__.items()) == [("qasm_file", "str"), ("shots", "int"), ("base_url", "str")]
    assert typing.get_type_hints(fn, globalns=vars(cli)) == {"qasm_file": str, "shots": int, "base_url": str}
    main_sig = inspect.signature(cli.main)
    assert list(main_sig.parameters) == [] and main_sig.return_annotation == "None"
    assert (cli.main.__qualname__, cli.main.__doc__) == ("main", None)


def test_application():
    assert cli.app.info.help == APP_HELP
    assert [c.callback for c in cli.app.registered_commands] == [cli.execute]
    command = typer.main.get_command(cli.app)
    # No shell-completion options, no key option: exactly the function's parameters.
    assert [p.name for p in command.params] == ["qasm_file", "shots", "base_url"]


# ===========================================================================
# Direct Python calls


def test_direct_call_prints_json(service, clock, env_key, qasm_file, capsys):
    service.polls_before_done = 1
    assert cli.execute(str(qasm_file), base_url=service.url) is None
    out = capsys.readouterr().out
    assert out == expected_output(service.served[-1][1])
    assert service.requests[0].body == {"qasm": QASM, "shots": 1024}
    assert clock.sleeps == [2.0]


class FakeClient:
    """Stands in for VORAClient inside the command line module."""

    calls: list = []
    raw = None

    def __init__(self, *args, **kwargs):
        FakeClient.calls.append(("init", args, kwargs))

    def execute(self, *args, **kwargs):
        FakeClient.calls.append(("execute", args, kwargs))
        return JobResult(job_id="J", status=JobStatus.COMPLETED, raw=FakeClient.raw)


@pytest.fixture
def fake_client(monkeypatch):
    FakeClient.calls = []
    FakeClient.raw = None
    monkeypatch.setattr(cli, "VORAClient", FakeClient)
    return FakeClient


@pytest.mark.parametrize(
    "raw, printed",
    [
        (None, "{}\n"),
        ({}, "{}\n"),
        (
            {"zeta": {"b": [2, {"y": 0, "x": "é"}], "a": None}, "alpha": 1.5},
            '{\n  "alpha": 1.5,\n  "zeta": {\n    "a": null,\n    "b": [\n      2,\n      {\n'
            '        "x": "\\u00e9",\n        "y": 0\n      }\n    ]\n  }\n}\n',
        ),
    ],
)
def test_prints_raw_document(fake_client, qasm_file, capsys, raw, printed):
    fake_client.raw = raw
    assert cli.execute(str(qasm_file), 3, "http://svc.test/") is None
    assert capsys.readouterr().out == printed
    assert fake_client.calls == [("init", (), {"base_url": "http://svc.test/"}),
                                 ("execute", (), {"qasm": QASM, "shots": 3})]


@pytest.mark.parametrize(
    "content, sent",
    [
        (b"OPENQASM 2.0;\r\nqreg q[1];\r\n", "OPENQASM 2.0;\nqreg q[1];\n"),
        (b"OPENQASM 2.0;\rqreg q[1];\r", "OPENQASM 2.0;\nqreg q[1];\n"),
        (b"\n\n  OPENQASM 2.0;\nqreg q[1];\n\n\n", "\n\n  OPENQASM 2.0;\nqreg q[1];\n\n\n"),
        ("// café ✓\nOPENQASM 2.0;".encode("utf-8"), "// café ✓\nOPENQASM 2.0;"),
        (b"", ""),
    ],
)
def test_file_text_passed_as_read(fake_client, tmp_path, capsys, content, sent):
    path = tmp_path / "c.qasm"
    path.write_bytes(content)
    cli.execute(str(path))
    assert fake_client.calls[1] == ("execute", (), {"qasm": sent, "shots": 1024})
    assert fake_client.calls[0] == ("init", (), {"base_url": client_default_base_url()})


@pytest.mark.parametrize(
    "name, content, error",
    [("missing.qasm", None, FileNotFoundError), (".", None, IsADirectoryError),
     ("latin1.qasm", b"// caf\xe9\n", UnicodeDecodeError)],
)
def test_unreadable_file_reported_before_the_client_is_made(fake_client, tmp_path, capsys, name, content, error):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error):
        cli.execute(str(path))
    assert fake_client.calls == []
    assert capsys.readouterr().out == ""


def test_direct_call_errors_propagate(service, clock, env_key, tmp_path, qasm_file, capsys):
    empty = tmp_path / "empty.qasm"
    empty.write_text("")
    with pytest.raises(ValidationError) as excinfo:
        cli.execute(str(empty), base_url=service.url)
    assert excinfo.value.args == ("qasm must be a non-empty string",)
    with pytest.raises(ValidationError, match="^shots must be > 0$"):
        cli.execute(str(qasm_file), 0, service.url)
    assert service.requests == []
    assert capsys.readouterr().out == ""


# ===========================================================================
# As a separate process


def test_run_prints_result_document(run_cli, service, qasm_file):
    proc = run_cli(qasm_file, "--base-url", service.url)
    assert proc.returncode == 0, proc.stderr
    assert service.paths() == ["POST /execute", "GET /status/job-1"]
    assert service.requests[0].body == {"qasm": QASM, "shots": 1024}
    assert service.requests[0].headers["x-api-key"] == API_KEY
    assert proc.stdout == expected_output(service.served[-1][1])
    assert "\\u00e9mulateur" in proc.stdout  # non-ASCII text escaped
    assert proc.sleeps == []


def test_run_with_options(run_cli, service, qasm_file):
    service.counts_in_status = False
    proc = run_cli(qasm_file, "--shots", "5", "--base-url", service.url + "/")
    assert proc.returncode == 0, proc.stderr
    assert service.paths() == ["POST /execute", "GET /status/job-1", "GET /results/job-1"]
    assert service.requests[0].body == {"qasm": QASM, "shots": 5}
    assert proc.stdout == expected_output(service.result_doc("job-1"))


def test_run_sends_lf_only_for_crlf_file(run_cli, service, tmp_path):
    path = tmp_path / "crlf.qasm"
    path.write_bytes(QASM.replace("\n", "\r\n").encode())
    proc = run_cli(path, "--base-url", service.url)
    assert proc.returncode == 0, proc.stderr
    assert service.requests[0].body["qasm"] == QASM


def test_help(run_cli):
    proc = run_cli("--help", key=None)
    assert proc.returncode == 0, proc.stderr
    out = flat(proc.stdout)
    assert COMMAND_HELP in out
    assert "--shots" in out and "--base-url" in out and "1024" in out
    assert client_default_base_url() in out
    assert "qasm_file" in out.lower()
    assert "completion" not in out.lower()
    assert "api-key" not in out.lower()


@pytest.mark.parametrize("args", [[], ["--shots", "many", "FILE"]])
def test_command_line_errors(run_cli, service, qasm_file, args):
    args = [qasm_file if a == "FILE" else a for a in args] + ["--base-url", service.url]
    proc = run_cli(*args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert service.requests == []


def test_run_empty_file(run_cli, service, tmp_path):
    path = tmp_path / "empty.qasm"
    path.write_text("")
    proc = run_cli(path, "--base-url", service.url)
    assert proc.returncode != 0
    assert proc.stdout == ""
    assert "ValidationError" in proc.stderr
    assert "qasm must be a non-empty string" in flat(proc.stderr)
    assert service.requests == []


def test_run_missing_file_without_key(run_cli, closed_port_url, tmp_path):
    proc = run_cli(tmp_path / "nowhere.qasm", "--base-url", closed_port_url, key=None)
    assert proc.returncode != 0
    assert proc.stdout == ""
    assert "FileNotFoundError" in proc.stderr
    assert "AuthenticationError" not in proc.stderr


@pytest.mark.parametrize(
    "scenario", ["connection refused", "connection dropped", "server error", "rejected key", "missing file"]
)
def test_failing_run_never_shows_the_key(request, run_cli, qasm_file, tmp_path, scenario):
    path = qasm_file
    if scenario == "connection refused":
        url = request.getfixturevalue("closed_port_url")
        expected = "Request failed after retries: "
    elif scenario == "connection dropped":
        url, accepted = request.getfixturevalue("dropping_server")
        expected = "Request outcome unknown, not retried: "
    else:
        service = request.getfixturevalue("service")
        url = service.url
        if scenario == "server error":
            service.api_key = SECRET
            service.forced = (500, "internal failure")
            expected = "HTTP error: 500 internal failure"
        elif scenario == "rejected key":
            expected = "Invalid API key"
        else:
            path = tmp_path / "absent.qasm"
            expected = "FileNotFoundError"

    proc = run_cli(path, "--base-url", url, key=SECRET)

    assert proc.returncode != 0
    assert proc.stdout == ""
    assert expected in flat(proc.stderr), proc.stderr
    for fragment in (SECRET, "SECRET", "do-not-print"):
        assert fragment not in proc.stdout
        assert fragment not in proc.stderr
    if scenario == "connection refused":
        assert proc.sleeps == [0.5, 1.0, 2.0]
    if scenario == "connection dropped":
        # The submission may have reached the service: it is not sent again.
        assert proc.sleeps == [] and accepted[0] == 1
    if scenario in ("server error", "rejected key"):
        assert len(service.requests) == 1
        assert service.requests[0].headers["x-api-key"] == SECRET


# ===========================================================================
# Installed entry points


def installed_script():
    search = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    return shutil.which("zentrova-sdk", path=search)


@pytest.mark.parametrize("entry", ["zentrova-sdk", "python -m zentrova_sdk"])
def test_other_entry_points(run_cli, service, qasm_file, entry):
    if entry == "zentrova-sdk":
        script = installed_script()
        if script is None:
            pytest.skip("the zentrova-sdk console script is not on PATH: the package is not installed")
        command = [script]
    else:
        command = [sys.executable, "-m", "zentrova_sdk"]
    proc = run_cli(qasm_file, "--base-url", service.url, command=command)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected_output(service.served[-1][1])
