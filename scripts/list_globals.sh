#!/usr/bin/env bash
# Lists the program's process-wide mutable variables: the objects of its
# modules (a build directory, default build/) whose writable data (.data,
# .bss and their thread-local kin; not .rodata or .data.rel.ro) holds a named
# variable. Only os/terminal.cpp is expected, for the signal path.
#   scripts/list_globals.sh [BUILD_DIR]
set -euo pipefail
dir=${1:-build}
cd "$(dirname "$0")/.."
for src in $(git ls-files 'base/*.cpp' 'os/*.cpp' 'console/*.cpp' 'wire/*.cpp' 'link/*.cpp' 'engine/*.cpp' \
                          'ui/*.cpp' 'batch/*.cpp' 'app/*.cpp' 'tools/*.cpp'); do
  case $src in
    tools/*) obj=$(find "$dir/$(dirname "$src")" -name "$(basename "$src").o" -print -quit) ;;
    *) obj=$(find "$dir" -path "*/${src}.o" -print -quit) ;;
  esac
  [ -n "$obj" ] || { echo "list_globals: no object for $src in $dir" >&2; exit 2; }
  objdump -t -C "$obj" | awk -v src="$src" '
    $0 ~ / O / && ($4 ~ /^\.(data|bss|tdata|tbss)(\.|$)/) && $4 !~ /^\.data\.rel\.ro/ {
      name = ""; for (i = 6; i <= NF; ++i) name = name (i > 6 ? " " : "") $i
      if (name !~ /^(guard variable|vtable|typeinfo|\.hidden DW\.ref\.)/) print src ": " name
    }'
done
