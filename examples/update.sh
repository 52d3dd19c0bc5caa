#!/bin/sh
# update.sh [ADAPTER [N]]: every radio gets fw.bin (from the working directory)
# as its default program, N radios at once (default 16), two more passes 60 s
# apart for those that fail; the report goes to update.jsonl. ADAPTER is an
# adapter's Id or interface name (default: the simulated segment's interface,
# else eth1). Needs jq.
adapter=${1:-${ORVEX_SIM_INTERFACE:-eth1}}
parallel=${2:-16}
# From the top of the source tree the built program, elsewhere the installed one.
orvexterm=build/orvexterm
[ -x "$orvexterm" ] || orvexterm=orvexterm
# The program's own lines go to update.log: each radio's steps after its name
# and serial number, so that `grep '^North-Ridge (' update.log` tells one radio.
"$orvexterm" --exit-status --report update.jsonl -c "$adapter" -f --parallel "$parallel" \
    -u "fw.bin#main.bin#2#2#60000" >update.log
status=$?
case $status in
  0) echo "all radios updated" ;;
  1) echo "not updated:"
     jq -r 'select(.result? and .result != "ok") | "\(.name) \(.serial): \(.last_error)"' update.jsonl ;;
  3) echo "no adapter or no radio on $adapter" ;;
  5) echo "stopped by the operator" ;;
  *) echo "update failed (exit status $status)" ;;
esac
exit $status
