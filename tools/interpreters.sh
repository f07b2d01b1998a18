# Sourced by .ci/run and the wheel scripts: the supported CPython versions and
# where each is found.
#   python_for 3.12   -> the newest 3.12.x under pyenv, or a failure naming it
# shellcheck shell=bash

supported_versions=(3.11 3.12 3.13)
pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions

# The newest patch release of CPython $1 that pyenv holds (no dev, rc or
# free-threaded builds). Fails loudly when there is none: a missing
# interpreter is never skipped.
python_for() {
  local best="" dir
  for dir in "$pyenv_versions/$1".*; do
    [[ $dir =~ /$1\.[0-9]+$ && -x $dir/bin/python3 ]] || continue
    if [ -z "$best" ] || [ "$(printf '%s\n%s\n' "$best" "$dir" | sort -V | tail -1)" = "$dir" ]; then best=$dir; fi
  done
  [ -n "$best" ] || { echo "CPython $1 is not installed under $pyenv_versions" >&2; return 1; }
  echo "$best/bin/python3"
}
