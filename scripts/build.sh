#!/usr/bin/env bash
# Configures and builds korvel into build/ (or into $1 with extra CMake
# arguments after it).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
