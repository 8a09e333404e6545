#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite in stages:
# the suite in a plain build, ./run.sh's recovery from a killed run, the
# suite with AddressSanitizer and UndefinedBehaviorSanitizer, the unit and
# stress tests with ThreadSanitizer, each fuzz target for a bounded time
# (FUZZ_SECONDS, default 30), and the Debian package's check. Every stage
# runs whatever happened in the ones before it; a summary of each stage's
# result ends the output, and the exit status is non-zero if any failed.
# Sourced (as the summary's own test does), it only defines the stages.
set -euo pipefail

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

stage_plain() {
  build build
  suite build
}
# ./run.sh uses the plain build: it recovers from a run killed with SIGKILL.
stage_recovery() { tests/service/run_recovery_test.sh; }
stage_asan() {
  build build-asan -DSANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
    UBSAN_OPTIONS=print_stacktrace=1 suite build-asan
}
stage_tsan() {
  build build-tsan -DSANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1 suite build-tsan -L unit
  # The stress test runs the daemon from the same build, so the daemon's own
  # threads are checked under load too.
  TSAN_OPTIONS=halt_on_error=1 suite build-tsan -R StressTest
}
stage_fuzz() { scripts/fuzz.sh; }
stage_package() { scripts/check-package.sh build; }

# Stage names and the functions that run them, in order.
stages=(
  "plain suite:stage_plain"
  "run.sh recovery:stage_recovery"
  "ASan+UBSan suite:stage_asan"
  "TSan unit+stress:stage_tsan"
  "fuzzing:stage_fuzz"
  "package:stage_package"
)

# Runs every stage, prints the summary and returns 1 if any stage failed.
# Each stage runs in a bash of its own with errexit in force: in a function
# called from a condition, or after || or &&, bash ignores errexit, and so it
# would in a subshell there. Exit status 77 means skipped.
run_stages() {
  local entry name status failed=0 started
  local -a summary=()
  # shellcheck disable=SC2046  # one word per function name
  export -f $(compgen -A function)
  export jobs
  for entry in "${stages[@]}"; do
    name=${entry%%:*}
    echo "== stage: $name" >&2
    started=$SECONDS
    status=0
    bash -euo pipefail -c "${entry#*:}" || status=$?
    case $status in
      0) summary+=("$(printf '%-18s passed  (%d s)' "$name" $((SECONDS - started)))") ;;
      77) summary+=("$(printf '%-18s skipped' "$name")") ;;
      *) summary+=("$(printf '%-18s FAILED  (exit %d, %d s)' "$name" "$status" $((SECONDS - started)))")
         failed=1 ;;
    esac
  done
  echo "== summary" >&2
  printf '%s\n' "${summary[@]}" >&2
  if [ $failed -ne 0 ]; then
    echo "some stages failed" >&2
    return 1
  fi
  echo "all stages passed" >&2
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  cd "$(dirname "$0")"
  scripts/install-deps.sh
  run_stages
fi
