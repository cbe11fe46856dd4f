#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages.
# Packages already installed are skipped, so repeated runs are fast.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  antlr4 libantlr4-runtime-dev
  qtbase5-dev libqscintilla2-qt5-dev
  libgtest-dev
  libzip-dev zlib1g-dev libpugixml-dev libpcre2-dev
  python3 python3-openpyxl lua5.4
  xvfb xauth xdotool
  clang libclang-rt-14-dev libfuzzer-14-dev
)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
