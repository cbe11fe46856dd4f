#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build in build/ and the
# AddressSanitizer/UndefinedBehaviorSanitizer build in build-asan/, then a
# short run of each fuzzing target (clang, build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
(cd build && ctest --output-on-failure -j "$(nproc)")
scripts/build.sh build-asan -DKORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$(nproc)")
# the fuzzing targets (clang, build-fuzz/): a short fixed run over the seeds
scripts/fuzz.sh smoke
