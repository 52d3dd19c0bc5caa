#!/usr/bin/env bash
# Creates a simulated Ethernet segment with three radios, runs a command on the
# program's end of it, and removes the segment again (also on Ctrl+C).
#
#   scripts/sim_segment.sh [COMMAND [ARG]...]
#
# The segment is two network namespaces joined by a veth pair: orvex-radiosim
# plays the radios on one end, COMMAND runs on the other, in the program's
# namespace, with the interface's name in ORVEX_SIM_INTERFACE (the only
# Ethernet interface there), in the directory the script was started from.
# Without a command the segment stays until Ctrl+C.
#
# Radios:  North-Ridge   02:7A:41:00:2C:11  level 2  firmware OR-2.4.1
#          Harbour-Mast  02:7A:41:00:2C:12  level 1  firmware OR-1.9.7
#          Old-Quarry    02:7A:41:00:2C:13  level 0  firmware OR-0.8.3
#
# Environment: ORVEX_SEGMENT_PREFIX names the namespaces and interfaces
# (default "orvex": orvex-host, orvex-radios, orvexh0, orvexr0);
# ORVEX_SIM_STORE is where the radios store downloaded files and the
# simulator's log (default build/sim-store); ORVEX_BUILD_DIR (default build).
#
# Installed (PREFIX/share/orvexterm/sim_segment.sh, no source tree around it),
# the script plays the radios with PREFIX/bin/orvex-radiosim, and the store is
# a new temporary folder, removed again at the end, unless ORVEX_SIM_STORE
# names one.
set -euo pipefail
origin=$PWD
cd "$(dirname "$0")/.."
installed_simulator=
if [ ! -f CMakeLists.txt ]; then
  installed_simulator=$(cd .. && pwd)/bin/orvex-radiosim
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "sim_segment.sh needs root: it creates network namespaces and the simulated radios send raw frames." >&2
  echo "Run it as root, e.g. sudo $0 $*" >&2
  exit 1
fi

prefix=${ORVEX_SEGMENT_PREFIX:-orvex}
if ! [[ $prefix =~ ^[a-z0-9][a-z0-9-]{0,12}$ ]]; then
  echo "sim_segment.sh: ORVEX_SEGMENT_PREFIX must be 1 to 13 of a-z, 0-9 and '-'" >&2
  exit 1
fi
build_dir=${ORVEX_BUILD_DIR:-build}
simulator=${installed_simulator:-$build_dir/orvex-radiosim}
store=${ORVEX_SIM_STORE:-$build_dir/sim-store}
host_ns=$prefix-host
radio_ns=$prefix-radios
host_if=${prefix}h0
radio_if=${prefix}r0

if [ ! -x "$simulator" ]; then
  if [ -n "$installed_simulator" ]; then
    echo "sim_segment.sh: $simulator is missing; reinstall the orvexterm package" >&2
  else
    echo "sim_segment.sh: $simulator is missing; build first (scripts/build.sh)" >&2
  fi
  exit 1
fi
for ns in "$host_ns" "$radio_ns"; do
  if ip netns list | grep -qw -- "$ns"; then
    echo "sim_segment.sh: network namespace $ns exists already: another segment is running," >&2
    echo "or one was left behind (remove it with: ip netns del $ns)" >&2
    exit 1
  fi
done

sim_pid=
created=()
temp_store=
cleanup() {
  trap - EXIT INT TERM HUP
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  for ns in "${created[@]}"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  # A store of our own making would pile up in /tmp run after run; once the
  # simulator has stopped nothing writes to it any more.
  if [ -n "$temp_store" ]; then
    rm -rf -- "$temp_store"
  fi
  if [ ${#created[@]} -gt 0 ]; then
    echo "Simulated segment removed."
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if [ -n "$installed_simulator" ] && [ -z "${ORVEX_SIM_STORE:-}" ]; then
  temp_store=$(mktemp -d -t orvex-sim-store.XXXXXX)
  store=$temp_store
fi
mkdir -p "$store"
store=$(cd "$store" && pwd)
log=$store/radiosim.log

for ns in "$host_ns" "$radio_ns"; do
  ip netns add "$ns"
  created+=("$ns")
  ip -n "$ns" link set lo up
done
ip link add "$host_if" netns "$host_ns" type veth peer name "$radio_if" netns "$radio_ns"
for pair in "$host_ns $host_if" "$radio_ns $radio_if"; do
  read -r ns ifname <<<"$pair"
  # Only the protocol's frames on the link: no IPv6 neighbour chatter.
  ip netns exec "$ns" sysctl -qw "net.ipv6.conf.$ifname.disable_ipv6=1" || true
  ip -n "$ns" link set "$ifname" up
done

ip netns exec "$radio_ns" "$simulator" -q -i "$radio_if" -s "$store" -l "$log" \
  -r mac=02:7A:41:00:2C:11,name=North-Ridge,level=2,firmware=OR-2.4.1 \
  -r mac=02:7A:41:00:2C:12,name=Harbour-Mast,level=1,firmware=OR-1.9.7 \
  -r mac=02:7A:41:00:2C:13,name=Old-Quarry,level=0,firmware=OR-0.8.3 &
sim_pid=$!
for _ in $(seq 50); do
  if grep -q "started on" "$log" 2>/dev/null; then break; fi
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    sim_pid=
    echo "sim_segment.sh: the radio simulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done

echo "Simulated segment ready: three radios behind $host_if in namespace $host_ns."
echo "Downloads and the simulator's log: $store${temp_store:+ (removed with the segment)}"
if [ $# -eq 0 ]; then
  echo "Run a program there with: ip netns exec $host_ns PROGRAM"
  echo "Press Ctrl+C to remove the segment."
  wait "$sim_pid" || true
  sim_pid=
  exit 0
fi

status=0
cd "$origin"
ip netns exec "$host_ns" env ORVEX_SIM_INTERFACE="$host_if" "$@" || status=$?
exit "$status"
