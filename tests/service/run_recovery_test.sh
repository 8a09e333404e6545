#!/usr/bin/env bash
# ./run.sh after a killed run: the daemon killed with SIGKILL leaves a dead
# mount at ./mnt, and the next ./run.sh must detach it and mount again.
set -euo pipefail

if [ ! -w /dev/fuse ] || [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root and /dev/fuse"
  exit 77
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
mnt=$root/mnt
log=$(mktemp /tmp/callerfs-run-XXXXXX)
pid=

fail() { echo "FAIL: $*" >&2; cat "$log" >&2; exit 1; }
# Opening a directory always asks the daemon; a stat may be answered from
# the kernel's cache, even after the daemon died.
serving() { ls "$mnt/etc" >/dev/null 2>&1; }
mounted() { awk -v m="$mnt" '$5 == m { found = 1 } END { exit !found }' /proc/self/mountinfo; }
# Gone or a zombie (no command substitution: its subshell would run the EXIT trap).
ended() { local state; { read -r _ _ state _ <"/proc/$pid/stat"; } 2>/dev/null || return 0; [ "$state" = Z ]; }
until_true() { for _ in $(seq 100); do if "$@"; then return 0; fi; sleep 0.1; done; return 1; }
cleanup() {
  if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if mounted; then fusermount -uz "$mnt"; fi
  rm -f "$log"
}
if mounted; then echo "skipped: $mnt is in use"; exit 77; fi
trap cleanup EXIT

# run.sh ends in exec: its process becomes the daemon.
start() {
  "$root/run.sh" >"$log" 2>&1 &
  pid=$!
  # Not "mounted": a dead mount still counts as one.
  until_true serving || fail "$1: ./run.sh did not mount the host's tree"
}

start "first run"
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
pid=
[[ $(LC_ALL=C stat "$mnt" 2>&1) == *"not connected"* ]] || fail "no dead mount after the kill"
start "run after the kill"
kill -TERM "$pid"  # as Ctrl-C would (a background job ignores SIGINT)
until_true ended || fail "the daemon did not end on SIGTERM"
wait "$pid" || fail "the daemon ended with status $?"
pid=
mounted && fail "SIGTERM left the mount behind"
echo "run.sh recovers from a killed run: ok"
