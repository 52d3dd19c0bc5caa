#!/usr/bin/env bash
# Builds the fuzz targets into build-fuzz and fuzzes each for SECONDS from its
# corpus and regressions; prints per target the executions, libFuzzer's
# coverage (cov: code edges, ft: features) and the findings. A finding's input
# is kept in tests/fuzz/regressions/TARGET/ and the exit status is then 1.
#   scripts/fuzz.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS}
scripts/build.sh build-fuzz fuzz >/dev/null
status=0
printf '%-9s %11s %6s %7s  %s\n' target executions cov ft findings
for target in frames text radiosim; do
  # Absolute paths: a target works in a scratch directory of its own.
  run=$PWD/build-fuzz/fuzz-run/$target
  regressions=$PWD/tests/fuzz/regressions/$target
  rm -rf "$run" && mkdir -p "$run" "$regressions"
  # New inputs go to the run's folder: the committed corpus only seeds it.
  if build-fuzz/tests/fuzz/orvex_fuzz_$target -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$regressions/" "$run" "$PWD/tests/fuzz/corpus/$target" "$regressions" >"$run.log" 2>&1; then
    found=none
  else
    found="$(sed -n 's/.*Test unit written to //p' "$run.log" | tr '\n' ' ')(log: $run.log)"
    status=1
  fi
  executions=$(grep -o '^#[0-9][0-9]*' "$run.log" | tail -n 1 | tr -d '#' || true)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$run.log" | tail -n 1 || true)
  read -r _ cov _ ft <<<"${coverage:-cov: - ft: -}"
  printf '%-9s %11s %6s %7s  %s\n' "$target" "${executions:-0}" "$cov" "$ft" "$found"
done
exit $status
