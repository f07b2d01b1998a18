# Sourced by .ci/run and the tools: the supported CPython versions and where
# each is found.
#   python_for 3.12    -> the newest 3.12.x under pyenv, or a failure naming it
#   python_for 3.15    -> CPython 3.15 of the Debian unstable root that
#                         tools/provision.sh made; run it through run_for
#   python_for 3.14t   -> the free-threaded CPython 3.14 that it built
#   run_for 3.15 CMD   -> CMD run where that interpreter lives
# shellcheck shell=bash

supported_versions=(3.11 3.12 3.13 3.14 3.15)
free_threaded_versions=(3.14t)
all_versions=("${supported_versions[@]}" "${free_threaded_versions[@]}")
pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
interpreters=${ZENTROVA_INTERPRETERS:-$HOME/.cache/zentrova-sdk/interpreters}
sid_root=$interpreters/debian-sid
free_threaded_prefix=$interpreters/cpython-3.14t
tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Fails loudly when the interpreter is missing: it is never skipped.
python_for() {
  case $1 in
    3.14t)
      [ -x "$free_threaded_prefix/bin/python3.14t" ] || { missing "$1"; return 1; }
      echo "$free_threaded_prefix/bin/python3.14t" ;;
    3.14 | 3.15)
      [ -x "$sid_root/usr/bin/python$1" ] || { missing "$1"; return 1; }
      echo "/usr/bin/python$1" ;;
    *) pyenv_python "$1" ;;
  esac
}

# Runs a command with the interpreter of version $1 reachable at the path that
# python_for gives, and the current directory, the checkout and /tmp at their
# own paths.
run_for() {
  case $1 in
    3.14 | 3.15) shift; "$tools_dir/in_root.sh" "$@" ;;
    *) shift; "$@" ;;
  esac
}

missing() {
  echo "CPython $1 is not installed (pyenv holds 3.11 to 3.13 under $pyenv_versions;" \
    "tools/provision.sh makes the others under $interpreters)" >&2
}

# The newest patch release of CPython $1 that pyenv holds (no dev, rc or
# free-threaded builds).
pyenv_python() {
  local best="" dir
  for dir in "$pyenv_versions/$1".*; do
    [[ $dir =~ /$1\.[0-9]+$ && -x $dir/bin/python3 ]] || continue
    if [ -z "$best" ] || [ "$(printf '%s\n%s\n' "$best" "$dir" | sort -V | tail -1)" = "$dir" ]; then best=$dir; fi
  done
  [ -n "$best" ] || { missing "$1"; return 1; }
  echo "$best/bin/python3"
}
