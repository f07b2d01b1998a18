#!/usr/bin/env bash
# Runs a command in the Debian unstable root that tools/provision.sh made, in
# the current directory. The checkout, the current directory, /tmp, /dev and
# /proc are mounted there at their own paths, in a mount namespace of the
# command's own: the mounts end with it, whatever way it ends.
#   tools/in_root.sh python3.15 -m venv .venv315
set -euo pipefail
source "$(dirname "$0")/interpreters.sh"
[ -f "$sid_root/.provisioned" ] || [ -n "${ZENTROVA_PROVISIONING:-}" ] ||
  { echo "no Debian unstable root at $sid_root: run tools/provision.sh" >&2; exit 1; }
exec unshare --mount --propagation private -- bash -c '
  set -e
  root=$1 top=$2 here=$3
  shift 3
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  for dir in /tmp "$top" "$here"; do
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
  done
  exec chroot "$root" /usr/bin/env -u PIP_FIND_LINKS -C "$here" PATH="$PATH:/usr/sbin:/usr/bin:/sbin:/bin" "$@"
' in_root "$sid_root" "$(cd "$tools_dir/.." && pwd -P)" "$(pwd -P)" "$@"
