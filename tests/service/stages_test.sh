#!/usr/bin/env bash
# ./test.sh's stages with stub bodies: a failing stage stops at its first
# failing command, every later stage still runs, the summary names each
# stage's result and the status is 1; with no failure it is 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../test.sh
source "$root/test.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

stage_ok() { echo "ok ran"; }
stage_broken() { false; echo "after the failure"; }
stage_skipped() { exit 77; }

stages=("first:stage_ok" "second:stage_broken" "third:stage_ok" "fourth:stage_skipped")
status=0
output=$(run_stages 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "status $status with a failed stage: $output"
[[ $output != *"after the failure"* ]] || fail "a failing stage went on: $output"
[ "$(grep -c '^ok ran$' <<<"$output")" -eq 2 ] || fail "the stages after the failure did not all run: $output"
summary=${output#*== summary}
for line in "first  *passed" "second  *FAILED  (exit 1" "third  *passed" "fourth  *skipped" "some stages failed"; do
  grep -q "^$line" <<<"$summary" || fail "no '$line' in the summary: $summary"
done

stages=("first:stage_ok" "fourth:stage_skipped")
output=$(run_stages 2>&1) || fail "status $? with no failed stage: $output"
grep -q "^all stages passed$" <<<"$output" || fail "no success line: $output"
echo "stages: ok"
