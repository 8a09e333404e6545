#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30). Inputs that ever crashed a target are kept in
# tests/fuzz/regressions/<target>/ and replayed first on every run; a new
# crash is saved there and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCALLERFS_FUZZ=ON -DCALLERFS_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target mount_paths_fuzz registry_fuzz

status=0
for target in mount_paths_fuzz registry_fuzz; do
  regressions=tests/fuzz/regressions/$target
  seeds=tests/fuzz/corpus/$target
  mkdir -p "$regressions"
  shopt -s nullglob
  kept=("$regressions"/*)
  shopt -u nullglob
  if [ ${#kept[@]} -gt 0 ]; then
    echo "== $target: replaying ${#kept[@]} kept input(s)" >&2
    "$build/tests/fuzz/$target" "${kept[@]}" || status=1
  fi
  corpus=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "== $target: fuzzing for ${seconds}s" >&2
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -artifact_prefix="$regressions/" \
      -print_final_stats=1 "$corpus" 2>"$corpus.log"; then
    tail -n 40 "$corpus.log" >&2
    echo "$target: crash kept in $regressions/" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$corpus.log" | tail -n 2 >&2 || true
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $status
