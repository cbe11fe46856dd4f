#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them over a seed corpus: for the
# source targets the test scripts and examples, with the dictionary
# tests/fuzz/kor.dict; for the workbook target (fuzz_xlsx) the workbooks that
# the Excel script tests write and those of tests/fuzz/seeds, each as a list
# of its parts, with the dictionary tests/fuzz/xlsx.dict.
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
rm -rf "$out/seeds" "$out/seeds-xlsx" "$out/books"
mkdir -p "$out/seeds" "$out/seeds-xlsx" "$out/books" "$out/findings"
while IFS= read -r f; do
  cp "$f" "$out/seeds/$(echo "$f" | tr '/' '_')"
done < <(find tests/scripts examples -name '*.kor' | sort)
cp tests/fuzz/seeds/*.parts "$out/seeds-xlsx/"
for script in tests/scripts/excel/*.kor; do
  name=$(basename "$script" .kor)
  mkdir -p "$out/books/$name"
  (cd "$out/books/$name" && ASAN_OPTIONS=detect_leaks=0 timeout 60 "$out/korvel" "$OLDPWD/$script" \
     >/dev/null 2>&1 </dev/null || true)
done
python3 - "$out/books" "$out/seeds-xlsx" <<'PY'
import pathlib, sys, zipfile
books, seeds = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
for book in sorted(books.glob("*/*.xlsx")):
    if not zipfile.is_zipfile(book):
        continue  # a script's file that is no workbook
    with zipfile.ZipFile(book) as z:
        parts = b"".join(b"=== " + n.encode() + b"\n" + z.read(n) + b"\n" for n in z.namelist())
    (seeds / (book.parent.name + "_" + book.stem + ".parts")).write_bytes(parts)
PY
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
common=(-timeout=10 -rss_limit_mb=4096 -max_len=16384 -print_final_stats=1)
# each target's dictionary and seeds
dict() { if [ "$1" = xlsx ]; then echo "$PWD/tests/fuzz/xlsx.dict"; else echo "$PWD/tests/fuzz/kor.dict"; fi; }
seeds() { if [ "$1" = xlsx ]; then echo "$out/seeds-xlsx"; else echo "$out/seeds"; fi; }
targets=(decode parse run xlsx)
if [ "${1:-}" = smoke ]; then
  for t in "${targets[@]}"; do
    # the seeds once, then mutations of them, in a corpus that starts empty
    rm -rf "$out/smoke-$t" && mkdir -p "$out/smoke-$t"
    "$out/tests/fuzz/fuzz_$t" "${common[@]}" -dict="$(dict "$t")" -runs=3000 -seed=1 \
      -artifact_prefix="$out/findings/$t-" "$out/smoke-$t" "$(seeds "$t")" 2>"$out/smoke-$t.log" ||
      { tail -n 60 "$out/smoke-$t.log"; exit 1; }
    grep -h "stat::number_of_executed_units" "$out/smoke-$t.log" | sed "s/^/fuzz_$t /"
  done
  exit 0
fi
runs="${1:-1000000}"
jobs="${2:-2}"
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus-$t"
  per=$(( (runs + jobs - 1) / jobs ))
  "$out/tests/fuzz/fuzz_$t" "${common[@]}" -dict="$(dict "$t")" -runs="$per" -jobs="$jobs" -workers="$jobs" \
    -artifact_prefix="$out/findings/$t-" "$out/corpus-$t" "$(seeds "$t")" \
    >"$out/campaign-$t.log" 2>&1 || echo "fuzz_$t stopped with a finding: see $out/findings/"
done
