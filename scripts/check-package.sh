#!/usr/bin/env bash
# Builds the Debian package from BUILD_DIR with cpack and checks its control
# fields and contents: version, dependencies, the daemon in /usr/sbin, the man
# page and the systemd unit naming that daemon and that version, the license,
# copyright and changelog; then lintian, which must report no error and no
# hardening tag, and hardening-check on the packaged daemon.
# Usage: check-package.sh BUILD_DIR
set -euo pipefail

build=$(realpath "$1")
out=$(mktemp -d /tmp/callerfs-package-XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
version+=-$(sed -n 's/^CALLERFS_DEBIAN_REVISION:STRING=//p' "$build/CMakeCache.txt")
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(echo "$out"/callerfs_"$version"_*.deb)
[ -f "$deb" ] || fail "cpack made no callerfs_${version}_*.deb: $(ls "$out")"

info=$(dpkg-deb --info "$deb")
field() { sed -n "s/^ $1: //p" <<<"$info"; }
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Recommends)" = fuse ] || fail "Recommends: $(field Recommends)"
depends=", $(field Depends),"
[[ $depends == *", libfuse2"[,\ ]* ]] || fail "Depends lacks libfuse2: $depends"
[[ $depends == *", fuse | fuse3,"* ]] || fail "Depends lacks fuse | fuse3: $depends"

contents=$(dpkg-deb --contents "$deb")
for wanted in "-rwxr-xr-x root/root .* ./usr/sbin/callerfs" "./usr/share/man/man8/callerfs.8.gz" \
    "./lib/systemd/system/callerfs@.service" "./usr/share/doc/callerfs/LICENSE" \
    "./usr/share/doc/callerfs/copyright" "./usr/share/doc/callerfs/changelog.Debian.gz"; do
  grep -q -- "$wanted\$" <<<"$contents" || fail "no $wanted in: $contents"
done
packaged() { dpkg-deb --fsys-tarfile "$deb" | tar -xO "$1"; }
grep -q '^ExecStart=/usr/sbin/callerfs ' <<<"$(packaged ./lib/systemd/system/callerfs@.service)" ||
  fail "the unit does not start /usr/sbin/callerfs"
grep -q "^\.TH CALLERFS 8 .*\"callerfs ${version%-*}\"" <<<"$(packaged ./usr/share/man/man8/callerfs.8.gz | zcat)" ||
  fail "the man page does not show version ${version%-*}"
# Run as root, lintian says it should not be; that line is all it adds.
# Its hardening tags are only informational (-I shows them), so they are
# looked for by name: the daemon runs as root and must have none.
report=$(lintian -I --fail-on error "$deb" 2>&1) || fail "lintian: $report"
! grep -q ' hardening-' <<<"$report" || fail "lintian: $(grep ' hardening-' <<<"$report")"
# hardening-check reads the binary itself: PIE, stack protector, checked
# C library functions, read-only relocations, immediate binding. Not the
# control-flow mark: the linker sets it only when every object has it, and
# Debian 12's C start files (Scrt1.o, crti.o) do not.
packaged ./usr/sbin/callerfs >"$out/callerfs"
report=$(hardening-check --nocfprotection "$out/callerfs" 2>&1) || fail "hardening-check: $report"
echo "package $(basename "$deb"): ok"
