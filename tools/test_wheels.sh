#!/usr/bin/env bash
# Tests the wheels in dist/ (or the directory given) as a user gets them: for
# each supported CPython (or the versions named), a fresh venv, the wheel and
# everything the tests need installed with --only-binary=:all: (nothing is
# compiled), then the README's quick start and the whole test suite against
# that install.
#   tools/test_wheels.sh [dist [3.11 3.12 ...]]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/interpreters.sh
dist=$(realpath "${1:-dist}")
shift || true
versions=("${@:-${supported_versions[@]}}")
[ ${#versions[@]} -gt 0 ] || versions=("${supported_versions[@]}")

for v in "${versions[@]}"; do
  tag=cp${v/./}
  wheels=("$dist"/zentrova_sdk-*-"$tag"-"$tag"-*manylinux*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "no single manylinux $tag wheel in $dist" >&2; exit 1; }
  venv=$(mktemp -d)/venv
  "$(python_for "$v")" -m venv "$venv"
  "$venv/bin/pip" install --quiet --only-binary=:all: "${wheels[0]}[test]"
  "$venv/bin/python" -c 'import zentrova_sdk.client, sys; assert "site-packages" in zentrova_sdk.client.__file__'

  echo "==== $tag wheel: quick start"
  result=$(PATH="$venv/bin:$PATH" examples/quickstart.sh)
  "$venv/bin/python" -c '
import json, sys
document = json.loads(sys.argv[1])
assert document["status"] == "completed" and set(document["counts"]) == {"00", "11"}, document
print("counts", document["counts"])' "$result"

  echo "==== $tag wheel: test suite"
  PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider
  rm -rf "$(dirname "$venv")"
done
