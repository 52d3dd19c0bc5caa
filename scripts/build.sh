#!/usr/bin/env bash
# Builds OrvexTerm into build/ (or the directory and sanitizer given), all of
# it or only the targets named.
#   scripts/build.sh [BUILD_DIR [address|thread|fuzz|"" [TARGET...]]]
# fuzz: the libFuzzer targets of tests/fuzz, built by clang under ASan and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
sanitize=${2:-}
targets=("${@:3}")
if [ "$sanitize" = fuzz ]; then
  cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DORVEX_FUZZ=ON >/dev/null
  exec cmake --build "$dir" -j"${ORVEX_JOBS:-2}" --target fuzz-targets
fi
cmake -S . -B "$dir" -DORVEX_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"${ORVEX_JOBS:-2}" ${targets[@]+--target "${targets[@]}"}
