#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build in build/ and the
# AddressSanitizer/UndefinedBehaviorSanitizer build in build-asan/, then a
# short run of each fuzzing target (clang, build-fuzz/). The tests run on an
# Xvfb display, which the window tests need.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
# the window tests need an X display: Xvfb
XVFB=(xvfb-run -a -s "-screen 0 1280x1024x24")
(cd build && "${XVFB[@]}" ctest --output-on-failure -j "$(nproc)")
scripts/build.sh build-asan -DKORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 "${XVFB[@]}" ctest --output-on-failure -j "$(nproc)")
# the fuzzing targets (clang, build-fuzz/): a short fixed run over the seeds
scripts/fuzz.sh smoke
