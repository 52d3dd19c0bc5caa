#!/usr/bin/env bash
# Sets everything up, builds, and runs OrvexTerm on a simulated Ethernet
# segment with three radios (scripts/sim_segment.sh; needs root). The segment
# is removed again when the program ends.
#
# On a terminal the program runs as an operator uses it: choose a radio by its
# node number, type to it ("help", "version", "download fw.bin fw.bin"), F1
# shows the keys, F4 chooses another radio, F3 leaves, and "logout" makes the
# radio end the session. Without a terminal it sends a few commands to
# North-Ridge from an input file instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
echo "Built build/orvexterm."

# Something for the radios to download, served from the program's directory.
mkdir -p build/demo
head -c 50000 /dev/urandom >build/demo/fw.bin
cd build/demo

if [ -t 0 ] && [ -t 1 ]; then
  exec ../../scripts/sim_segment.sh ../orvexterm
fi
printf 'version\n.delay 1\nhelp\n.delay 1\nlogout\n' >commands.txt
exec ../../scripts/sim_segment.sh ../orvexterm -r North-Ridge -i commands.txt
