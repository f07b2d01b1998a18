#!/usr/bin/env bash
# Incremental developer build without reinstalling: compiles the modules into
# build/dev-cpXY and lays out an importable package in build/devpkg-cpXY, one
# pair per interpreter (cp311, cp312, ...), so that builds for several
# interpreters live side by side. Prints the package directory.
#   tools/devbuild.sh && PYTHONPATH=build/devpkg-cp311 .venv/bin/python -m pytest
#   PYTHON=.venv313/bin/python tools/devbuild.sh   # build/devpkg-cp313
# (cp314t for the free-threaded 3.14.) build/devpkg is a link to the package of the latest build without sanitizers.
# ZENTROVA_SANITIZE=ON builds into build/dev-cpXY-asan / build/devpkg-cpXY-asan instead.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/bin/python}
tag=$("$py" -c 'import sys; print("cp%d%d%s" % (*sys.version_info[:2], sys.abiflags))')
suffix="-$tag"
[ "${ZENTROVA_SANITIZE:-OFF}" = ON ] && suffix="$suffix-asan"
build=build/dev$suffix
pkg=build/devpkg$suffix
exec 9>/tmp/zentrova-devbuild.lock
flock 9
# Prefer the build tools installed next to the interpreter.
bin=$(dirname "$py")
cmake=cmake
[ -x "$bin/cmake" ] && cmake="$bin/cmake"
[ -x "$bin/ninja" ] && export PATH="$(realpath "$bin"):$PATH"
if [ ! -f "$build/build.ninja" ]; then
  "$cmake" -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(realpath "$py")" \
    -DZENTROVA_SANITIZE="${ZENTROVA_SANITIZE:-OFF}" >/dev/null
fi
"$cmake" --build "$build" >"$build/last-build.log" 2>&1 || { cat "$build/last-build.log"; exit 1; }
mkdir -p "$pkg"
for top in package/*/; do
  name=$(basename "$top")
  rm -rf "$pkg/$name"
  mkdir -p "$pkg/$name"
  cp -rs "$PWD/$top." "$pkg/$name/"
done
for so in "$build"/*.so; do ln -sf "$PWD/$so" "$pkg/zentrova_sdk/"; done
if [ "${ZENTROVA_SANITIZE:-OFF}" != ON ]; then
  # Replaces the single package directory of earlier layouts, which would
  # otherwise go on holding modules that are no longer rebuilt.
  [ -L build/devpkg ] || rm -rf build/devpkg build/dev
  ln -sfn "devpkg$suffix" build/devpkg
fi
echo "$pkg"
