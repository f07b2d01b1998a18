"""What each extension module shows the dynamic linker: its PyInit_ function
and nothing else, whatever the interpreter and the build (the C++ runtime
linked into a release build stays private too)."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess

import pytest


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("name", ["models", "client", "cli"])
def test_module_exports_only_its_init_function(name):
    path = importlib.util.find_spec(f"zentrova_sdk.{name}").origin
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [f"PyInit_{name}"]
