#!/usr/bin/env bash
# Sets everything up and runs the whole suite: the unit and engine tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, the engine tests under
# ThreadSanitizer, a short run of every fuzz target, then every test
# (end-to-end included) on the plain build, the long run last.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check_layers.sh
scripts/check_cycles.sh

scripts/build.sh build-asan address
ctest --test-dir build-asan -L 'unit|engine' --output-on-failure -j2

# Only the engine tests run there.
scripts/build.sh build-tsan thread orvex_engine_tests
# ThreadSanitizer needs the address layout it knows: run without randomisation.
setarch "$(uname -m)" -R ctest --test-dir build-tsan -L engine --output-on-failure -j2

# The fuzz targets (clang, libFuzzer): their corpora and regressions, then 20 s of fuzzing each.
scripts/build.sh build-fuzz fuzz
ctest --test-dir build-fuzz -L fuzz --output-on-failure -j2

scripts/build.sh build
# Process-wide mutable state lives only where the signal path needs it.
if scripts/list_globals.sh build | grep -v '^os/terminal.cpp: '; then
  echo "globals: mutable process-wide variables outside os/terminal.cpp (above)" >&2
  exit 1
fi
# Two at a time: the end-to-end tests spend most of their time waiting on the radios' pauses.
ctest --test-dir build --output-on-failure -LE longrun -j2
# The long run once, with its figures (descriptors, threads, memory) shown.
ctest --test-dir build --output-on-failure -L longrun -V
