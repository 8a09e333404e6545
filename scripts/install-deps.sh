#!/usr/bin/env bash
# Installs what building, testing and running callerfs need on Debian 12,
# skipping what is already there. Needs root when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libfuse-dev fuse            # the FUSE 2 library, fusermount and ulockmgr_server
  libgtest-dev libgmock-dev   # tests
  libsqlite3-dev              # tests: a database written on the host and through the mount
  clang libclang-rt-14-dev    # fuzzing and clang's sanitizer runtimes
  attr acl                    # getfattr/setfattr and setfacl, used by the tests
  dpkg-dev lintian            # dpkg-shlibdeps for cpack's Debian package; its check
  devscripts                  # hardening-check of the packaged daemon
  systemd man-db              # systemd-analyze verify of the unit (it looks up the man page)
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  [[ "$package" == \#* ]] && continue
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: need root to install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
