#!/usr/bin/env bash
# Installs what is missing, builds, and mounts the host's whole tree at ./mnt in
# the foreground. Extra arguments go to callerfs (e.g. -o allow_other).
# Ctrl-C unmounts.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target callerfs >/dev/null
# A mount left behind by a killed run ("Transport endpoint is not connected")
# makes the mount point unusable, even for mkdir: detach it first.
if grep -q " $PWD/mnt fuse" /proc/mounts; then fusermount -uz "$PWD/mnt"; fi
mkdir -p mnt
echo "mounting / at $PWD/mnt (Ctrl-C unmounts)" >&2
exec build/callerfs -f "$@" "$PWD/mnt"
