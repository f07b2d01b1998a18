#!/usr/bin/env bash
# Incremental developer build without reinstalling: compiles the modules into
# build/dev and lays out an importable package in build/devpkg.
#   tools/devbuild.sh && PYTHONPATH=build/devpkg .venv/bin/python -m pytest
# ZENTROVA_SANITIZE=ON builds into build/dev-asan / build/devpkg-asan instead.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/bin/python}
suffix=""
[ "${ZENTROVA_SANITIZE:-OFF}" = ON ] && suffix="-asan"
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
echo "$pkg"
