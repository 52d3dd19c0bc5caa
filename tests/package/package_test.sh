#!/usr/bin/env bash
# What installing OrvexTerm gives a user.
#   package_test.sh pages [BUILD_DIR]  the manual pages lint clean, and the
#                                    bash completion offers every option they
#                                    list; the simulator's page and completion
#                                    have every option and radio item of its
#                                    --help (BUILD_DIR/orvex-radiosim)
#   package_test.sh deb BUILD_DIR    (root) the Debian package of BUILD_DIR
#                                    installs, runs for a user who is not root,
#                                    and purges without a trace
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The options the OPTIONS section of a manual page lists, one a line.
page_options() {
  sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/{/^\.B/p}' "$1" | sed 's/\\-/-/g' |
    grep -oE '(^\.[BIR]+ |[" ])--?[A-Za-z][A-Za-z-]*' | sed -E 's/^(\.[BIR]+ |[" ])//'
}

# What the completion in FILE offers for the line LINE (up to its end).
complete_line() {
  bash -c 'source "$1"; COMP_LINE=$2 COMP_POINT=${#2}; read -r program _ <<<"$2"
           $(complete -p "$program" | sed -E "s/.* -F ([^ ]+) .*/\1/"); printf "%s\n" "${COMPREPLY[@]}"' _ "$1" "$2"
}

# The simulator's options (OPTIONS) or radio items (RADIO) as its --help lists them.
help_list() {
  local help
  help=$("$1" --help) || fail "$1 --help failed"
  if [ "$2" = OPTIONS ]; then
    sed -n '/^Options:/,/^RADIO is/{/^ *-/p}' <<<"$help" | sed -E 's/^ +//; s/  .*//' | grep -oE -- '-{1,2}[a-z][a-z-]*'
  else
    sed -n '/^RADIO is/,/^Example/p' <<<"$help" | grep -oE '^  [a-z][a-z-]*' | sed 's/^  //'
  fi
}

# The radio items the RADIOS section of the simulator's page lists.
page_items() {
  sed -n '/^\.SH RADIOS/,/^\.SH [^R]/{/^\.B/p}' "$1" | sed 's/\\-/-/g' | grep -oE '^\.B[IR]* [a-z][a-z-]*' |
    sed 's/.* //'
}

# The page and completion of orvex-radiosim name exactly what its --help does.
simulator_lists() {
  local simulator=$1/orvex-radiosim page=$src/doc/orvex-radiosim.1 completion=$src/completion/orvexterm
  [ -x "$simulator" ] || fail "$simulator is missing (build first)"
  local kind listed documented offered item
  for kind in OPTIONS RADIO; do
    listed=$(help_list "$simulator" $kind | sort -u)
    if [ $kind = OPTIONS ]; then
      documented=$(page_options "$page" | sort -u)
      offered=$(complete_line "$completion" "orvex-radiosim -")
    else
      documented=$(page_items "$page" | sort -u)
      offered=$(complete_line "$completion" "orvex-radiosim -r " | sed 's/=$//')
    fi
    [ -n "$listed" ] || fail "no $kind found in orvex-radiosim --help"
    [ "$listed" = "$documented" ] ||
      fail "orvex-radiosim --help and its page differ in $kind:"$'\n'"$(diff <(echo "$listed") <(echo "$documented"))"
    for item in $listed; do
      grep -qxe "$item" <<<"$offered" || fail "the completion of orvex-radiosim does not offer $item"
    done
  done
}

pages() {
  command -v mandoc >/dev/null || fail "mandoc is missing (scripts/setup.sh installs it)"
  local lint program offered option
  lint=$(mandoc -T lint "$src"/doc/*.1 2>&1) || fail "mandoc -T lint:"$'\n'"$lint"
  [ -z "$lint" ] || fail "mandoc -T lint:"$'\n'"$lint"
  for program in orvexterm orvex-radiosim orvex-scan; do
    offered=$(complete_line "$src/completion/orvexterm" "$program -")
    for option in $(page_options "$src/doc/$program.1"); do
      grep -qxe "$option" <<<"$offered" || fail "the completion of $program does not offer $option"
    done
  done
  [ "$(complete_line "$src/completion/orvexterm" "orvexterm -i $src/doc/orvexterm.")" = "$src/doc/orvexterm.1" ] ||
    fail "orvexterm -i does not complete a file name"
  complete_line "$src/completion/orvexterm" "orvex-scan -i l" | grep -qx lo ||
    fail "orvex-scan -i does not complete an interface name"
  simulator_lists "$1"
  echo "manual pages and completion: OK"
}

deb() {
  local build=$1
  if [ "$(id -u)" -ne 0 ]; then
    echo "needs root (dpkg and network namespaces): skipped"
    exit 77
  fi
  if dpkg-query -W -f='${Status}' orvexterm 2>/dev/null | grep -q ' installed'; then
    echo "orvexterm is installed on this machine: left alone, test skipped"
    exit 77
  fi
  work=$(mktemp -d)
  chmod 755 "$work"
  prefix=oxk$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')
  trap 'dpkg --purge orvexterm >/dev/null 2>&1 || true; ip netns del "$prefix-host" 2>/dev/null || true
        ip netns del "$prefix-radios" 2>/dev/null || true; rm -rf "$work"' EXIT
  trap 'exit 130' INT TERM HUP

  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
  local package depends
  package=$(echo "$work"/pkg/orvexterm_*.deb)
  depends=$(dpkg-deb -f "$package" Depends)
  [[ $depends == *libpcap0.8* && $depends == *libcap2-bin* ]] || fail "Depends: $depends"
  dpkg -i "$package" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"

  local files programs=() program
  files=$(dpkg -L orvexterm)
  for program in $(grep '^/usr/bin/' <<<"$files"); do programs+=("${program#/usr/bin/}"); done
  [[ " ${programs[*]} " == *" orvexterm "* && " ${programs[*]} " == *" orvex-radiosim "* ]] ||
    fail "programs installed: ${programs[*]}"
  for program in "${programs[@]}"; do
    [ "$(getcap "/usr/bin/$program")" = "/usr/bin/$program cap_net_raw=ep" ] ||
      fail "capability of $program: $(getcap "/usr/bin/$program")"
    [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
    bash -c 'source /usr/share/bash-completion/bash_completion && __load_completion "$1" && complete -p "$1"' \
      _ "$program" >/dev/null || fail "bash-completion does not load a completion for $program"
  done
  [ "$(complete_line "/usr/share/bash-completion/completions/orvexterm" "orvexterm --exit")" = --exit-status ] ||
    fail "the installed completion does not complete --exit-status"
  local doc=/usr/share/doc/orvexterm name
  for name in copyright changelog.gz README.md.gz examples/update.sh; do
    [ -s "$doc/$name" ] || fail "$doc/$name is missing"
  done
  zcat "$doc/changelog.gz" >"$work/changelog"
  [ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$(dpkg-deb -f "$package" Version)" ] ||
    fail "the changelog's version is not the package's"
  if [ -f "$src/tools/wireshark/orvex.lua" ]; then
    local plugins
    plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
    cmp -s "$src/tools/wireshark/orvex.lua" "$plugins/orvex.lua" || fail "the dissector is not in $plugins"
    tshark -G plugins 2>/dev/null | grep -q 'orvex\.lua' || fail "tshark does not load the dissector"
  fi

  # A user who is not root, on a simulated segment: with the capability the
  # installed program talks to a radio; a copy without it says how to get it.
  printf 'version\nlogout\n' >"$work/commands.txt"
  cp /usr/bin/orvexterm /usr/bin/orvex-radiosim "$work/"  # a copy has no capability
  # The store is the script's own temporary folder, which it removes again.
  mkdir "$work/tmp"
  (cd "$work" && ORVEX_SEGMENT_PREFIX=$prefix TMPDIR=$work/tmp /usr/share/orvexterm/sim_segment.sh \
    bash -c 'user=(timeout 60 setpriv --reuid=nobody --regid=nogroup --clear-groups)
      "${user[@]}" orvexterm -r North-Ridge -i commands.txt </dev/null >installed.txt 2>&1; echo $? >>installed.txt
      "${user[@]}" ./orvexterm -r North-Ridge -i commands.txt </dev/null >copy.txt 2>&1
      "${user[@]}" ./orvex-radiosim -q -i "$ORVEX_SIM_INTERFACE" 2>simulator.txt; true' >"$work/segment.log" 2>&1) ||
    fail "sim_segment.sh: $(cat "$work/segment.log")"
  grep -q "^Downloads and the simulator's log: $work/tmp/" "$work/segment.log" ||
    fail "the store is not a temporary folder:"$'\n'"$(cat "$work/segment.log")"
  [ -z "$(ls -A "$work/tmp")" ] || fail "sim_segment.sh left its store: $(ls "$work/tmp")"
  local hint="which gives it, or run as root: setcap cap_net_raw+ep $work"
  grep -q "^North-Ridge> version" "$work/installed.txt" &&
    [ "$(tail -2 "$work/installed.txt")" = $'Connection with device terminated\n0' ] ||
    fail "the installed orvexterm as nobody:"$'\n'"$(cat "$work/installed.txt")"
  local refusal=$'needs root or the CAP_NET_RAW capability.\nInstall the orvexterm package, '"$hint/orvexterm"$'\n'
  # The advice is the last word: nothing after it says there were no adapters.
  [[ $(<"$work/copy.txt") == *"${refusal%$'\n'}" ]] ||
    fail "orvexterm without the capability:"$'\n'"$(cat "$work/copy.txt")"
  [ "$(tail -1 "$work/simulator.txt")" = "orvex-radiosim: install the orvexterm package, $hint/orvex-radiosim" ] ||
    fail "orvex-radiosim without the capability:"$'\n'"$(cat "$work/simulator.txt")"

  dpkg --purge orvexterm >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.log")"
  local status path
  status=$(dpkg-query -W -f='${Status}' orvexterm 2>/dev/null || true)
  [[ -z $status || $status == *not-installed ]] || fail "dpkg still has orvexterm: $status"
  while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after the purge"
  done <<<"$files"
  [ ! -e /usr/share/orvexterm ] || fail "/usr/share/orvexterm is left after the purge"
  echo "package ${package##*/}: OK (${programs[*]})"
}

case ${1:-} in
  pages) pages "${2:-$src/build}" ;;
  deb) deb "${2:?build directory}" ;;
  *) fail "usage: $0 pages [BUILD_DIR] | deb BUILD_DIR" ;;
esac
