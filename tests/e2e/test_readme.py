"""Every code block of the README runs as written, from the root of the tree.

- The Python blocks and the shell blocks that use the SDK run against a local
  emulator at http://127.0.0.1:8765, the address the README gives, with
  VORA_API_KEY=test-key; the Python blocks also pass mypy --strict.
- A console block is commands (after "$ ") each followed by its output,
  compared line by line ("..." stands for any text).
- The blocks that install or build the package take minutes and PyPI: they
  run with ZENTROVA_README_INSTALLS=1, each in a scratch copy of the tree.
"""

from __future__ import annotations

import fcntl
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zentrova_sdk

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(zentrova_sdk.__file__)))
BIN = Path(sys.executable).parent
KEY = "test-key"
PORT = 8765


def blocks() -> list[tuple[int, str, str]]:
    """(line, language, text) of each fenced block."""
    found = []
    for match in re.finditer(r"^```(\w+)\n(.*?)^```$", README, re.S | re.M):
        found.append((README.count("\n", 0, match.start()) + 1, match.group(1), match.group(2)))
    return found


def installs(text: str) -> bool:
    """Whether a shell block installs or builds the package."""
    return bool(re.search(r"pip install|-m venv|devbuild\.sh", text))


BLOCKS = blocks()
PYTHON = [pytest.param(text, id="line %d" % line) for line, lang, text in BLOCKS if lang == "python"]
SHELL = [pytest.param(text, id="line %d" % line) for line, lang, text in BLOCKS if lang == "sh" and not installs(text)]
CONSOLE = [pytest.param(text, id="line %d" % line) for line, lang, text in BLOCKS if lang == "console"]
INSTALL = [pytest.param(text, id="line %d" % line) for line, lang, text in BLOCKS if lang == "sh" and installs(text)]


def test_every_block_is_run():
    assert len(PYTHON) + len(SHELL) + len(CONSOLE) + len(INSTALL) == len(BLOCKS) > 0
    assert all(lang in ("python", "sh", "console") for _, lang, _ in BLOCKS)


@pytest.fixture(scope="module")
def service():
    """The emulator at the README's address. Runs of this test elsewhere on
    the machine (other checkouts) take turns through a lock."""
    from vora_emulator import Emulator

    with open("/tmp/zentrova-readme-%d.lock" % PORT, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        emulator = Emulator(api_keys=[KEY], port=PORT, seed=1)
        try:
            emulator.start()
        except OSError as exc:
            pytest.fail("the README's examples need 127.0.0.1:%d, which another program holds: %s" % (PORT, exc))
        try:
            yield emulator
        finally:
            emulator.stop()


@pytest.fixture(scope="module")
def path_dir(tmp_path_factory):
    """A directory for the front of PATH: `python` is the interpreter under
    test and `zentrova-sdk` its command, as after an install."""
    bin_dir = tmp_path_factory.mktemp("bin")
    (bin_dir / "python").write_text('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)
    script = shutil.which("zentrova-sdk", path=str(BIN))
    if script is None:  # the development layout: a script as an install writes it
        script_text = "#!%s\nimport sys\nfrom zentrova_sdk._command import main\nsys.exit(main())\n" % sys.executable
        (bin_dir / "zentrova-sdk").write_text(script_text)
    for tool in bin_dir.iterdir():
        tool.chmod(0o755)
    return bin_dir


def run(args, path_dir, timeout=120):
    env = {k: v for k, v in os.environ.items() if k not in ("ZENTROVA_SDK_TRACEBACK", "PYTHONSTARTUP")}
    env.update(VORA_API_KEY=KEY, PYTHONPATH=PACKAGE_PARENT, TERM="dumb", COLUMNS="200",
               PATH=os.pathsep.join([str(path_dir), str(BIN), env.get("PATH", "")]))
    return subprocess.run(args, cwd=ROOT, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.timeout(180)
@pytest.mark.parametrize("text", PYTHON)
def test_python_block_runs(service, path_dir, text):
    proc = run([sys.executable, "-c", text], path_dir)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Traceback" not in proc.stderr


def test_python_blocks_type_check(tmp_path):
    pytest.importorskip("mypy")
    files = []
    for i, param in enumerate(PYTHON):
        files.append(tmp_path / ("block%d.py" % i))
        files[-1].write_text(param.values[0])
    env = {**os.environ, "PYTHONPATH": PACKAGE_PARENT}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, files)],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.timeout(180)
@pytest.mark.parametrize("text", SHELL)
def test_shell_block_runs(service, path_dir, text):
    proc = run(["bash", "-euo", "pipefail", "-c", text], path_dir)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def console_steps(text: str) -> list[tuple[str, list[str]]]:
    steps: list[tuple[str, list[str]]] = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    return steps


def matches(expected: str, line: str) -> bool:
    pattern = ".*".join(re.escape(part) for part in expected.split("..."))
    return re.fullmatch(pattern, line) is not None


@pytest.mark.timeout(180)
@pytest.mark.parametrize("text", CONSOLE)
def test_console_block_shows_what_runs_print(service, path_dir, text):
    for command, expected in console_steps(text):
        proc = run(["bash", "-c", command], path_dir)
        lines = (proc.stdout + proc.stderr).splitlines()
        assert len(lines) == len(expected) and all(map(matches, expected, lines)), (command, lines)


# ---------------------------------------------------------------------------
# The blocks that install or build


def scratch_copy(destination: Path) -> Path:
    """The tree as git sees it (committed and new files), without builds."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, capture_output=True,
                            check=True).stdout.decode().split("\0")
    for name in filter(None, listed):
        if (ROOT / name).is_file():
            (destination / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, destination / name, follow_symlinks=False)
    return destination


def interpreters(bin_dir: Path) -> None:
    """python3 and python3.X on PATH: this interpreter, and the newest of each
    supported version under pyenv."""
    (bin_dir / "python3").write_text('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)
    versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    for minor in ("3.11", "3.12", "3.13"):
        found = sorted(versions.glob(minor + ".*"), key=lambda p: [int(x) for x in p.name.split(".")])
        found = [p for p in found if re.fullmatch(r"3\.\d+\.\d+", p.name)]
        if found:
            (bin_dir / ("python" + minor)).write_text('#!/bin/sh\nexec "%s" "$@"\n' % (found[-1] / "bin/python3"))
    for tool in bin_dir.iterdir():
        tool.chmod(0o755)


@pytest.mark.skipif(not os.environ.get("ZENTROVA_README_INSTALLS"),
                    reason="builds the package from source (minutes, PyPI): set ZENTROVA_README_INSTALLS=1")
@pytest.mark.timeout(3600)
@pytest.mark.parametrize("text", INSTALL)
def test_install_block_runs(tmp_path, text):
    tree = scratch_copy(tmp_path / "tree")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    interpreters(bin_dir)
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "VIRTUAL_ENV", "ZENTROVA_README_INSTALLS", "PYTEST_ADDOPTS")}
    env["PATH"] = os.pathsep.join([str(bin_dir), env.get("PATH", "")])
    wheel = re.search(r"dist/zentrova_sdk-\S+-(cp3\d+)-\S+\.whl", text)
    if wheel:  # installs a wheel that tools/build_wheels.sh makes
        subprocess.run(["tools/build_wheels.sh", "dist"], cwd=tree, env=env, check=True, capture_output=True)
    if text.lstrip().startswith("pip "):  # a bare pip: that of a fresh environment of the wheel's version
        minor = wheel.group(1).replace("cp3", "3.") if wheel else "3.11"
        subprocess.run(["python" + minor, "-m", "venv", str(tmp_path / "venv")], env=env, check=True)
        env["PATH"] = os.pathsep.join([str(tmp_path / "venv/bin"), env["PATH"]])
    proc = subprocess.run(["bash", "-euo", "pipefail", "-c", text], cwd=tree, env=env, capture_output=True,
                          text=True, timeout=3500)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-5000:]
