#!/usr/bin/env bash
# The systemd unit, played by hand (no systemd needed): installs BUILD_DIR under
# a staging prefix, checks the installed unit with systemd-analyze verify, then
# runs the unit's own Exec lines as systemd would, with its source in a
# temporary directory and an instance file (read in place of
# /etc/callerfs/INSTANCE.conf) that sets the mount point there and an fsname
# each mount must show: a start; the daemon killed (its unmount
# helper clears the mount) and a restart; daemon and helper killed while a
# process keeps the dead mount busy, and a restart; a stop. Every start's
# clean-up step is silent, and after it the mount must be there at once and work.
# Usage: restart_test.sh BUILD_DIR
set -euo pipefail

if [ ! -w /dev/fuse ] || [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root and /dev/fuse"
  exit 77
fi
build=$(realpath "$1")
work=$(mktemp -d /tmp/callerfs-service-XXXXXX)
src=$work/src
mnt=$work/mnt  # made by the unit's ExecStartPre
mkdir "$src"
# Every process the test starts carries this in its environment; nothing else does.
marker="CALLERFS_SERVICE_TEST=$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
ours() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    if grep -qzxF "$marker" "$environ" 2>/dev/null; then environ=${environ#/proc/}; echo "${environ%/environ}"; fi
  done
}
named() { local pid; for pid in $(ours); do [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != "$1" ] || echo "$pid"; done; }
mounted() { awk -v m="$mnt" '$5 == m { found = 1 } END { exit !found }' /proc/self/mountinfo; }
until_true() { for _ in $(seq 100); do if "$@"; then return 0; fi; sleep 0.1; done; return 1; }
none_left() { [ -z "$(ours)" ]; }
cleanup() {
  local pid
  for pid in $(ours); do kill -9 "$pid" 2>/dev/null || true; done
  if mounted; then fusermount -u "$mnt" 2>/dev/null || fusermount -uz "$mnt"; fi
  if ! mounted; then rm -rf "$work"; fi
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
unit=$work/prefix/lib/systemd/system/callerfs@.service
complaints=$(MANPATH=$work/prefix/share/man systemd-analyze verify "$unit" 2>&1) || fail "$complaints"
[ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"

# The unit's variables: its defaults, then the instance file, as systemd
# reads them.
grep -qx 'EnvironmentFile=-/etc/callerfs/%i.conf' "$unit" || fail "no instance file in the unit"
instance=$work/instance.conf
printf 'MOUNTPOINT=%s\nOPTIONS=allow_other,default_permissions,fsname=from-instance-file\n' "$mnt" >"$instance"
declare -A variables
while IFS='=' read -r name value; do
  variables[$name]=$value
done < <(sed -n 's/^Environment=//p' "$unit" | tr ' ' '\n'; cat "$instance")

# Runs the unit's lines for one key; a failure of a line marked "-" is ignored.
play() {
  local line argv ignore name
  while read -r line; do
    ignore=false
    if [[ $line == -* ]]; then ignore=true; line=${line#-}; fi
    for name in "${!variables[@]}"; do line=${line//"\${$name}"/${variables[$name]}}; done
    read -ra argv <<<"$line"
    timeout 60 env "$marker" "${argv[@]}" || $ignore || fail "$1=$line"
  done < <(sed -n "s/^$1=//p" "$unit" | sed "s|/%I|$src|g")
}
source_of() { awk -v m="$mnt" '$5 == m { print $(NF - 1) }' /proc/self/mountinfo; }
start() {
  local said
  # The clean-up before a start says nothing, whether there was a mount to clear or not.
  said=$(play ExecStartPre 2>&1) || fail "$said"
  [ -z "$said" ] || fail "$1: ExecStartPre said: $said"
  play ExecStart
  mounted || fail "$1: ExecStart returned before the mount was there"
  [ "$(source_of)" = from-instance-file ] || fail "$1: not mounted with the instance file's options"
  echo "$1" >"$mnt/probe" && [ "$(cat "$src/probe")" = "$1" ] || fail "$1: the mount does not work"
  [ "$(named callerfs | wc -l)" -eq 1 ] || fail "$1: not one daemon: $(named callerfs)"
}

start "first start"

kill -9 "$(named callerfs)"
until_true none_left || fail "processes left after the daemon was killed: $(ours)"
mounted && fail "the unmount helper left the mount behind"
play ExecStop
start "restart after the daemon was killed"

(cd "$mnt" && exec env "$marker" sleep infinity) &
busy=$!
kill -9 "$(named fusermount)"
until_true eval '[ -z "$(named fusermount)" ]' || fail "the unmount helper did not end"
kill -9 "$(named callerfs)"
until_true eval '[ "$(ours)" = "$busy" ]' || fail "the daemon did not end"
[[ $(LC_ALL=C stat "$mnt" 2>&1) == *"not connected"* ]] || fail "no dead mount after the kill"
play ExecStop
start "restart over a dead, busy mount"
{ kill -9 "$busy" && wait "$busy"; } 2>/dev/null || true

play ExecStop
for pid in $(ours); do kill -TERM "$pid" 2>/dev/null || true; done  # what systemd sends next
until_true none_left || fail "processes left after the stop: $(ours)"
until_true eval '! mounted' || fail "the mount stayed after the stop"
echo "service start, crash, restart and stop: ok"
