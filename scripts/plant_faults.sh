#!/usr/bin/env bash
# Plants the faults listed in scripts/planted_faults.txt one at a time (each is one changed line of
# the program's own sources), rebuilds, runs the tests and names those that fail. A fault that no
# test catches shows a blind spot of the suite. The source file is put back after every run, also
# when the script is interrupted, and the build is brought back to the clean sources at the end.
#
#   scripts/plant_faults.sh [-b BUILD_DIR] [-L LABELS] [-t SECONDS] [ID...]
#
#   -b  configured build directory (default: build)
#   -L  ctest label expression, e.g. 'unit|integration' (default: every test)
#   -t  time limit of one whole test run in seconds (default: 1200); each test has 120 s
#   ID  the faults to plant (default: all of them, in the order of the file)
#
# Needs root, like the netns and end-to-end tests. The build and ctest output of each run is kept
# in BUILD_DIR/planted-faults/ID.log. Exits with 1 when a fault was not caught or did not build.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build labels='' limit=1200
while getopts b:L:t: opt; do
  case $opt in
    b) build=$OPTARG ;;
    L) labels=$OPTARG ;;
    t) limit=$OPTARG ;;
    *) sed -n '7,12p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[[ -f $build/CMakeCache.txt ]] || { echo "no configured build in $build" >&2; exit 2; }

# fault ids | fault get ID FIELD | fault find ID | fault replace ID PATH
fault() {
  python3 - "$@" <<'EOF'
import os, sys

def faults():
    blocks, block = [], {}
    for line in open("scripts/planted_faults.txt", encoding="utf-8", errors="surrogateescape").read().split("\n") + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if block:
                blocks.append(block)
            block = {}
            continue
        key, _, value = line.partition(": ")
        block[key] = value
    return {b["id"]: b for b in blocks}

def find(f):
    found = []
    for top, dirs, files in os.walk("."):
        dirs[:] = [d for d in dirs if not (d.startswith((".", "build")) or d == "tests")]
        found += [os.path.normpath(os.path.join(top, f["file"]))] if f["file"] in files else []
    if len(found) != 1:
        sys.exit(f"{f['id']}: {len(found)} files named {f['file']}: {found}")
    lines = open(found[0], encoding="utf-8", errors="surrogateescape").read().split("\n")
    if lines.count(f["was"]) != 1:
        sys.exit(f"{f['id']}: the line occurs {lines.count(f['was'])} times in {found[0]}, not once")
    return found[0], lines

command, args, table = sys.argv[1], sys.argv[2:], faults()
if command == "ids":
    print("\n".join(table))
    sys.exit()
if args[0] not in table:
    sys.exit(f"no fault {args[0]} in scripts/planted_faults.txt")
f = table[args[0]]
if command == "get":
    print(f[args[1]])
elif command == "find":
    print(find(f)[0])
elif command == "replace":
    path, lines = find(f)
    lines[lines.index(f["was"])] = f["now"]
    open(path, "w", encoding="utf-8", errors="surrogateescape").write("\n".join(lines))
EOF
}

logs=$build/planted-faults
backup=$(mktemp)
planted='' ctest_group=''

# Ends a test run: INT first, on which pytest still removes its network namespaces.
stop_tests() {
  local signal
  [[ -n $ctest_group ]] || return 0
  for signal in INT TERM KILL; do
    kill -"$signal" -- "-$ctest_group" 2>/dev/null || break
    for _ in {1..20}; do
      kill -0 -- "-$ctest_group" 2>/dev/null || break 2
      sleep 1
    done
  done
  ctest_group=''
}
restore() {
  if [[ -n $planted ]]; then
    cat "$backup" >"$planted"
    planted=''
  fi
}
finish() {
  trap - INT TERM
  restore
  stop_tests
  rm -f "$backup"
  echo "rebuilding $build from the clean sources ..."
  nice -n 19 cmake --build "$build" -j2 >/dev/null 2>&1 || echo "warning: the clean rebuild failed" >&2
}
trap finish EXIT
trap 'exit 130' INT TERM

# Runs ctest in its own process group, so that the whole run can be ended, appending to $1.
run_tests() {
  local args=(--test-dir "$build" -j2 --timeout 120 --output-on-failure) deadline=$((SECONDS + limit))
  [[ -n $labels ]] && args+=(-L "$labels")
  (trap - INT; exec setsid nice -n 19 ctest "${args[@]}") >>"$1" 2>&1 &
  ctest_group=$!
  while kill -0 "$ctest_group" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      echo "*** run ended after the time limit of $limit s" | tee -a "$1"
      stop_tests
      break
    fi
    sleep 2
  done
  ctest_group=''
}

# The names of the tests that failed, timed out or crashed, from ctest's progress lines.
failing_tests() {
  sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*(Failed|Timeout|Exception).*/\1/p' "$1" | sort
}
# The failing pytest cases of the end-to-end tests, from their failure headers.
failing_cases() {
  sed -nE 's/^_{3,} (test_[^ ]+) _{3,}$/\1/p' "$1" | sort -u | tr '\n' ' '
}

if (($# > 0)); then ids=("$@"); else mapfile -t ids < <(fault ids); fi
mkdir -p "$logs"
missed=0
for id in "${ids[@]}"; do
  what=$(fault get "$id" what)
  path=$(fault find "$id")
  log=$logs/$id.log
  echo "== $id ($path): $what"
  cp "$path" "$backup"
  planted=$path
  fault replace "$id" "$path"
  if ! nice -n 19 cmake --build "$build" -j2 >"$log" 2>&1; then
    echo "   BUILD FAILED (see $log)"
    missed=1
    restore
    continue
  fi
  run_tests "$log"
  restore
  mapfile -t failed < <(failing_tests "$log")
  if ((${#failed[@]} == 0)); then
    echo "   NOT CAUGHT"
    missed=1
    continue
  fi
  echo "   ${#failed[@]} failing tests:"
  printf '     %s\n' "${failed[@]}"
  cases=$(failing_cases "$log")
  [[ -z $cases ]] || echo "   failing end-to-end cases: $cases"
done
exit "$missed"
