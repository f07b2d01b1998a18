"""What each extension module shows the dynamic linker: its PyInit_ function
and nothing else, whatever the interpreter and the build; and, built without
C++ exceptions, no library but the C library to load (no unwinder, no C++
runtime)."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess

import pytest

NAMES = ["models", "client", "cli"]


def tool_output(*command: str) -> str:
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("name", NAMES)
def test_module_exports_only_its_init_function(name):
    path = importlib.util.find_spec(f"zentrova_sdk.{name}").origin
    listing = tool_output("nm", "-D", "--defined-only", path)
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [f"PyInit_{name}"]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils' readelf")
@pytest.mark.parametrize("name", NAMES)
def test_module_loads_only_the_c_library(name):
    path = importlib.util.find_spec(f"zentrova_sdk.{name}").origin
    needed = [line.split("[")[1].rstrip("]") for line in tool_output("readelf", "-d", path).splitlines()
              if "(NEEDED)" in line]
    if any(library.startswith(("libasan", "libubsan")) for library in needed):
        pytest.skip("the sanitizer runtimes bring the C++ runtime with them")
    assert needed == ["libc.so.6"]
