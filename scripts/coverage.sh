#!/usr/bin/env bash
# Measures the line and branch coverage of OrvexTerm's own code: builds
# build-coverage/ with gcov counting, runs every test there (end-to-end
# included; needs root), then prints the summary and writes
# build-coverage/coverage.txt and build-coverage/html/index.html.
# Counted: every source folder except tests/, tools/, bench/ and build*/.
#   scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-coverage

if ! command -v gcovr >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcovr >/dev/null
fi

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DORVEX_COVERAGE=ON >/dev/null
cmake --build "$dir" -j"${ORVEX_JOBS:-2}"

# Counts from an earlier run would add up with this one.
find "$dir" -name '*.gcda' -delete
tests=0
ctest --test-dir "$dir" --output-on-failure || tests=$?

# Exception paths make up most of C++'s branches; they are left out.
mkdir -p "$dir/html"
gcovr --root . --exclude '(tests|tools|bench|build[^/]*)/' \
  --exclude-throw-branches --exclude-unreachable-branches -j"${ORVEX_JOBS:-2}" \
  --txt "$dir/coverage.txt" --html-details "$dir/html/index.html" --print-summary "$dir"

if [ "$tests" -ne 0 ]; then
  echo "Some tests failed (see above): the figures leave out what they did not reach." >&2
  exit "$tests"
fi
