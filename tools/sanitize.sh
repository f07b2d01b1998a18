#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite against that build.
#   tools/sanitize.sh [pytest arguments]
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded; leak detection is off because the interpreter keeps its
# allocations until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-.venv/bin/python}
pkg=$(ZENTROVA_SANITIZE=ON PYTHON="$py" tools/devbuild.sh)
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so) $(g++ -print-file-name=libstdc++.so)"
export ZENTROVA_SANITIZED=1
LD_PRELOAD="$preload" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$PWD/$pkg${PYTHONPATH:+:$PYTHONPATH}" \
  "$py" -m pytest -p no:cacheprovider "$@"
