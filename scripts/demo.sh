#!/usr/bin/env bash
# Sets everything up, builds, and shows OrvexTerm's world on a simulated
# Ethernet segment with three radios (scripts/sim_segment.sh; needs root).
#
# Until the program's driver can run a session, the demonstration uses the
# small link probe in its place: it lists the radios that answer discovery and,
# on a terminal, opens a session to North-Ridge (try "help", "version",
# "sdp fw.bin"; "logout" or Ctrl+] ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
echo "Built build/orvexterm."

probe=tests/e2e/link_probe.py
if [ -t 0 ]; then
  exec scripts/sim_segment.sh sh -c \
    "python3 $probe discover && python3 $probe chat 02:7A:41:00:2C:11"
fi
exec scripts/sim_segment.sh python3 "$probe" discover
