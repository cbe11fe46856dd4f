#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them over a seed corpus made of the
# test scripts and examples, with the dictionary tests/fuzz/kor.dict.
#
#   scripts/fuzz.sh smoke            each target a short fixed number of runs
#                                    (the test suite's regression check)
#   scripts/fuzz.sh [RUNS] [JOBS]    a campaign: RUNS executions per target
#                                    (default 1000000) in JOBS parallel jobs
#                                    (default 2); findings go to
#                                    build-fuzz/findings/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_FUZZ=ON
out="$PWD/build-fuzz"
rm -rf "$out/seeds"
mkdir -p "$out/seeds" "$out/findings"
while IFS= read -r f; do
  cp "$f" "$out/seeds/$(echo "$f" | tr '/' '_')"
done < <(find tests/scripts examples -name '*.kor' | sort)
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
common=(-dict="$PWD/tests/fuzz/kor.dict" -timeout=10 -rss_limit_mb=4096 -max_len=16384
        -print_final_stats=1)
if [ "${1:-}" = smoke ]; then
  for t in decode parse run; do
    # the seeds once, then mutations of them, in a corpus that starts empty
    rm -rf "$out/smoke-$t" && mkdir -p "$out/smoke-$t"
    "$out/tests/fuzz/fuzz_$t" "${common[@]}" -runs=3000 -seed=1 \
      -artifact_prefix="$out/findings/$t-" "$out/smoke-$t" "$out/seeds" 2>"$out/smoke-$t.log" ||
      { tail -n 60 "$out/smoke-$t.log"; exit 1; }
    grep -h "stat::number_of_executed_units" "$out/smoke-$t.log" | sed "s/^/fuzz_$t /"
  done
  exit 0
fi
runs="${1:-1000000}"
jobs="${2:-2}"
for t in decode parse run; do
  mkdir -p "$out/corpus-$t"
  per=$(( (runs + jobs - 1) / jobs ))
  "$out/tests/fuzz/fuzz_$t" "${common[@]}" -runs="$per" -jobs="$jobs" -workers="$jobs" \
    -artifact_prefix="$out/findings/$t-" "$out/corpus-$t" "$out/seeds" \
    >"$out/campaign-$t.log" 2>&1 || echo "fuzz_$t stopped with a finding: see $out/findings/"
done
