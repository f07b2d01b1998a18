#!/usr/bin/env bash
# Tests the wheels in dist/ (or the directory given) as a user gets them: for
# each supported CPython (or the versions named), a fresh venv, the wheel and
# everything the tests need installed with --only-binary=:all: (nothing is
# compiled), then the README's quick start and the tests of what only the
# release build can get wrong.
#   tools/test_wheels.sh [dist [3.11 3.12 ...]]
#
# The wheel holds the same code, built by the same compiler with the same
# flags, as the install that the whole suite has just tested on that
# interpreter; what differs is the way there (sdist, wheel, auditwheel
# repair, install). So each wheel repeats the tests of that: the modules'
# exports and the libraries they need, the type stubs, every attribute of
# every module (which imports and touches all of them), and the console
# scripts, alone and end to end against the emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/interpreters.sh
dist=$(realpath "${1:-dist}")
shift || true
versions=("${@:-${supported_versions[@]}}")
[ ${#versions[@]} -gt 0 ] || versions=("${supported_versions[@]}")
wheel_tests=(tests/test_linkage.py tests/test_stubs.py tests/test_surface.py tests/test_cli.py
             tests/e2e/test_command_line.py)

for v in "${versions[@]}"; do
  tag=cp${v/./}
  wheels=("$dist"/zentrova_sdk-*-"$tag"-"$tag"-*manylinux*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "no single manylinux $tag wheel in $dist" >&2; exit 1; }
  venv=$(mktemp -d)/venv
  run_for "$v" "$(python_for "$v")" -m venv "$venv"
  run_for "$v" "$venv/bin/pip" install --quiet --only-binary=:all: "${wheels[0]}[test]"
  run_for "$v" "$venv/bin/python" -c 'import zentrova_sdk.client, sys; assert "site-packages" in zentrova_sdk.client.__file__'

  echo "==== $tag wheel: quick start"
  result=$(run_for "$v" env PATH="$venv/bin:$PATH" examples/quickstart.sh)
  python3 -c '
import json, sys
document = json.loads(sys.argv[1])
assert document["status"] == "completed" and set(document["counts"]) == {"00", "11"}, document
print("counts", document["counts"])' "$result"

  echo "==== $tag wheel: tests of the release build"
  run_for "$v" env PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider "${wheel_tests[@]}"
  rm -rf "$(dirname "$venv")"
done
