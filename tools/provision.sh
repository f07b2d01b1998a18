#!/usr/bin/env bash
# Provisions the interpreters that pyenv does not hold, outside the checkout,
# once: later runs find them and reuse them (delete the directory to start
# afresh).
#   tools/provision.sh            (into $ZENTROVA_INTERPRETERS, by default
#                                   ~/.cache/zentrova-sdk/interpreters)
#
# - CPython 3.14 and 3.15: Debian's unstable distribution packages both, with
#   their headers and venv, so they come in a minimal root of it made with
#   debootstrap, together with the compiler that builds the modules for them.
#   Commands run in that root through tools/in_root.sh, which mounts what they
#   need in a mount namespace of their own, so no mount outlives them.
# - The free-threaded CPython 3.14 (3.14t): no registry packages one, so it is
#   built from the CPython source release (ZENTROVA_CPYTHON_SOURCE, or
#   cpython-3.14.*-src.tar.xz in a shared/cpython folder beside the checkout or
#   in /work/shared/cpython).
# Needs root (debootstrap, chroot), debootstrap itself (installed with apt when
# missing), a C compiler and make, and network access to Debian's mirror and
# PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/interpreters.sh
mirror=${ZENTROVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
mkdir -p "$interpreters"
exec 8>"$interpreters/.lock"
flock 8

provision_root() {
  local packages=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
                  g++ make cmake ninja-build binutils)
  if [ -f "$sid_root/.provisioned" ]; then
    echo "Debian unstable root: reused, $sid_root"
    return
  fi
  command -v debootstrap >/dev/null || apt-get install -y -q debootstrap
  rm -rf "$sid_root"
  export ZENTROVA_PROVISIONING=1
  debootstrap --variant=minbase sid "$sid_root" "$mirror"
  # The distribution's Release file may be past its Valid-Until date between
  # publications; the packages are still signed.
  echo 'Acquire::Check-Valid-Until "false";' >"$sid_root/etc/apt/apt.conf.d/99no-valid-until"
  cp /etc/resolv.conf "$sid_root/etc/resolv.conf"
  tools/in_root.sh apt-get update -q
  DEBIAN_FRONTEND=noninteractive tools/in_root.sh apt-get install -y -q --no-install-recommends "${packages[@]}"
  tools/in_root.sh apt-get clean
  # pip in the root trusts what the host trusts (the host may reach PyPI
  # through a proxy with its own certificate authority). After the packages,
  # which may have written a bundle of their own.
  mkdir -p "$sid_root/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$sid_root/etc/ssl/certs/ca-certificates.crt"
  touch "$sid_root/.provisioned"
}

provision_free_threaded() {
  local source build
  if "$free_threaded_prefix/bin/python3.14t" -c 'import sys; assert not sys._is_gil_enabled()' 2>/dev/null; then
    echo "free-threaded CPython 3.14: reused, $free_threaded_prefix"
    return
  fi
  source=$(cpython_source)
  build=$(mktemp -d)
  tar -xJf "$source" -C "$build" --strip-components=1
  rm -rf "$free_threaded_prefix"
  (cd "$build" && ./configure -q --disable-gil --prefix="$free_threaded_prefix" --with-ensurepip=install >/dev/null &&
    make -s -j"$(nproc)" >/dev/null && make -s install >/dev/null)
  rm -rf "$build"
  "$free_threaded_prefix/bin/python3.14t" -c 'import sys; assert not sys._is_gil_enabled(); print(sys.version)'
}

cpython_source() {
  local candidate
  for candidate in "${ZENTROVA_CPYTHON_SOURCE:-}" ../shared/cpython/cpython-3.14.*-src.tar.xz \
    /work/shared/cpython/cpython-3.14.*-src.tar.xz; do
    [ -n "$candidate" ] && [ -f "$candidate" ] && { realpath "$candidate"; return; }
  done
  echo "no CPython 3.14 source release found: set ZENTROVA_CPYTHON_SOURCE" >&2
  return 1
}

started=$SECONDS
provision_root
provision_free_threaded
echo "interpreters ready in $((SECONDS - started)) s:"
for v in "${all_versions[@]}"; do echo "  $v: $(python_for "$v")"; done
