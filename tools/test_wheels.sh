#!/usr/bin/env bash
# Tests the wheels in dist/ (or the directory given) as a user gets them: for
# each supported CPython (or the versions named), a fresh venv, the wheel and
# everything the tests need installed with --only-binary=:all: (nothing is
# compiled), then the README's quick start and the tests of what only the
# release build can get wrong.
#   tools/test_wheels.sh [dist [3.11 3.12 ... 3.14t]]
#
# The wheel holds the same code, built by the same compiler with the same
# flags, as the install that the whole suite has just tested on that
# interpreter; what differs is the way there (sdist, wheel, auditwheel
# repair, install). So each wheel repeats the tests of that: the modules'
# exports and the libraries they need, the type stubs, every attribute of
# every module (which imports and touches all of them), and the console
# scripts, alone and end to end against the emulator.
#
# The free-threaded wheel is installed without the emulator, whose simulator
# has no free-threaded build: its quick start runs the command from that
# wheel against the emulator of the cp311 wheel, and its import must leave
# the GIL off.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/interpreters.sh
dist=$(realpath "${1:-dist}")
shift || true
versions=("${@:-${all_versions[@]}}")
[ ${#versions[@]} -gt 0 ] || versions=("${all_versions[@]}")
wheel_tests=(tests/test_linkage.py tests/test_stubs.py tests/test_surface.py tests/test_cli.py)
end_to_end=(tests/e2e/test_command_line.py)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

wheel_for() {
  local v=$1 python_tag abi_tag wheels
  python_tag=cp${v//[.t]/}
  abi_tag=cp${v/./}
  wheels=("$dist"/zentrova_sdk-*-"$python_tag"-"$abi_tag"-*manylinux*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "no single manylinux $abi_tag wheel in $dist" >&2; return 1; }
  echo "${wheels[0]}"
}

# An emulator for the quick start of wheels installed without one.
emulator_bin() {
  if [ ! -x "$scratch/emulator/bin/vora-emulator" ]; then
    "$(python_for 3.11)" -m venv "$scratch/emulator"
    "$scratch/emulator/bin/pip" install --quiet --only-binary=:all: "$(wheel_for 3.11)[emulator]"
  fi
  mkdir -p "$scratch/emulator-only"
  ln -sf "$scratch/emulator/bin/vora-emulator" "$scratch/emulator-only/vora-emulator"
  echo "$scratch/emulator-only"
}

for v in "${versions[@]}"; do
  wheel=$(wheel_for "$v")
  venv=$scratch/venv-$v
  run_for "$v" "$(python_for "$v")" -m venv "$venv"
  path="$venv/bin:$PATH"
  gil=()
  if [[ $v == *t ]]; then
    gil=(PYTHON_GIL=0)
    run_for "$v" "$venv/bin/pip" install --quiet --only-binary=:all: "$wheel[test-sdk]"
    "$venv/bin/python" -W error -c \
      "import sys, zentrova_sdk.models, zentrova_sdk.client, zentrova_sdk.cli; assert not sys._is_gil_enabled()"
    path="$(emulator_bin):$venv/bin:$PATH"
    tests=("${wheel_tests[@]}")
  else
    run_for "$v" "$venv/bin/pip" install --quiet --only-binary=:all: "$wheel[test]"
    tests=("${wheel_tests[@]}" "${end_to_end[@]}")
  fi
  run_for "$v" "$venv/bin/python" -c 'import zentrova_sdk.client, sys; assert "site-packages" in zentrova_sdk.client.__file__'

  echo "==== $(basename "$wheel"): quick start"
  result=$(run_for "$v" env PATH="$path" examples/quickstart.sh)
  python3 -c '
import json, sys
document = json.loads(sys.argv[1])
assert document["status"] == "completed" and set(document["counts"]) == {"00", "11"}, document
print("counts", document["counts"])' "$result"

  echo "==== $(basename "$wheel"): tests of the release build"
  run_for "$v" env PATH="$path" "${gil[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"
  rm -rf "$venv"
done
