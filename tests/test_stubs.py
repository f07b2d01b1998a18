"""The .pyi stubs agree with the modules at run time and type-check real use."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import zentrova_sdk

pytest.importorskip("mypy")

HERE = Path(__file__).parent / "typing"


def run_mypy(*args: str) -> subprocess.CompletedProcess[str]:
    package_root = str(Path(zentrova_sdk.__file__).parent.parent)
    env = {**os.environ, "PYTHONPATH": package_root}
    if "site-packages" not in package_root:  # a development layout, not an installed package
        env["MYPYPATH"] = package_root
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, timeout=300)


def test_stubs_match_runtime():
    result = run_mypy("mypy.stubtest", "zentrova_sdk.models", "zentrova_sdk.client", "zentrova_sdk.cli",
                      "--allowlist", str(HERE / "stubtest_allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_type_check_typical_use():
    result = run_mypy("mypy", "--strict", "--no-incremental", str(HERE / "usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_reject_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text("from zentrova_sdk import VORAClient\nVORAClient().execute(qasm=1)\n")
    result = run_mypy("mypy", "--no-incremental", str(misuse))
    assert result.returncode == 1 and 'incompatible type "int"' in result.stdout
