#!/usr/bin/env bash
# What one refresh of the web dashboard costs `tokentally serve` in CPU, per
# route: wrk sends calls at 32 connections for a few seconds (about what the
# page's 5-second refresh finds new), then the route alone is read once and
# the CPU the process used for it is taken from its threads' schedstat
# (nanoseconds). Each route is measured after its own burst of calls, so the
# first read's fold of the new calls is counted where it happens. Prints one
# table (median of the rounds).
set -euo pipefail
BUILD=${1:-build}
BURST=${BENCH_BURST_SECONDS:-5}
ROUNDS=${BENCH_WEB_ROUNDS:-3}
WORK=$(mktemp -d /tmp/tokentally-web.XXXXXX)
P_MOCK=19121 P_NGINX=19122 P_TT=19123
NGINX_PROCESSES="worker_processes 1;"
. "$(dirname "$0")/setup.sh"

HOME="$WORK/home" TOKENTALLY_DATA_DIR="$WORK/data" "$BIN/tokentally" serve --port $P_TT --workers 2 \
  >"$WORK/tokentally.log" 2>&1 & TT=$!; pids+=($TT)

wait_for_ports $P_MOCK $P_TT

cpu_ns() { cat /proc/$TT/task/*/schedstat | awk '{s += $1} END {printf "%.0f\n", s}'; }

ROUTES=(summary series sessions "recent?n=50" "alerts?n=50" advice)
declare -A MS
for _ in $(seq "$ROUNDS"); do
  for r in "${ROUTES[@]}"; do
    wrk -t2 -c32 -d${BURST}s -s "$WORK/post.lua" "http://127.0.0.1:$P_TT/v1/chat/completions" >/dev/null
    before=$(cpu_ns)
    curl -s -o /dev/null "http://127.0.0.1:$P_TT/dashboard/api/$r"
    after=$(cpu_ns)
    again=$(cpu_ns)
    curl -s -o /dev/null "http://127.0.0.1:$P_TT/dashboard/api/$r"
    last=$(cpu_ns)
    MS[$r]+="$(( (after - before) / 1000 )) $(( (last - again) / 1000 ))"$'\n'
  done
done
rows=$(curl -s "http://127.0.0.1:$P_TT/dashboard/api/summary" | grep -o "\"calls\": [0-9]*" | head -1 | cut -d" " -f2)

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
echo "ledger after the run: $rows calls in 24 h"
echo "| route | CPU µs, first read after ${BURST} s of calls | CPU µs, read again |"
echo "|---|---|---|"
for r in "${ROUTES[@]}"; do
  col() { echo -n "${MS[$r]}" | awk -v f="$1" '{print $f}' | median; }
  echo "| ${r%%\?*} | $(col 1) | $(col 2) |"
done
