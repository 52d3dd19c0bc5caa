#!/usr/bin/env bash
# Builds OrvexTerm into build/ (or the directory and sanitizer given).
#   scripts/build.sh [BUILD_DIR [address|thread]]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
sanitize=${2:-}
cmake -S . -B "$dir" -DORVEX_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"${ORVEX_JOBS:-2}"
