#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: once in a
# plain build, once with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the unit tests once more with ThreadSanitizer, then each fuzz target for a
# bounded time (FUZZ_SECONDS, default 30), then builds the Debian package and
# checks it. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=$(nproc)
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}
suite() {
  local dir=$1
  shift
  echo "== tests in $dir" >&2
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"
}

build build
suite build
# ./run.sh uses the plain build: it recovers from a run killed with SIGKILL.
tests/service/run_recovery_test.sh || [ $? -eq 77 ]

build build-asan -DSANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  UBSAN_OPTIONS=print_stacktrace=1 suite build-asan

build build-tsan -DSANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 suite build-tsan -L unit
# The stress test runs the daemon from the same build, so the daemon's own
# threads are checked under load too.
TSAN_OPTIONS=halt_on_error=1 suite build-tsan -R StressTest

echo "== fuzzing" >&2
scripts/fuzz.sh

echo "== package" >&2
scripts/check-package.sh build

echo "all test suites passed" >&2
