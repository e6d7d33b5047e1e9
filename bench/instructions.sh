#!/usr/bin/env bash
# Instructions per proxied call, counted by callgrind: nginx as a plain
# reverse proxy and tokentally serve (recording, budgets as in run.sh), each
# in front of the same mock provider, one connection, in one invocation.
# Wall-clock figures on a shared virtual machine move by 15 % within minutes;
# instruction counts move by a few per cent, so a lever worth 5 % shows here
# when it is lost in the load run's noise. User space only: system calls
# count as the instructions that issue them. Appended to a dated file under
# bench/results/ (setup.sh's results_open).
set -euo pipefail
BUILD=${1:-build}
DUR=${BENCH_INSTR_SECONDS:-6}
WORK=$(mktemp -d /tmp/tokentally-instr.XXXXXX)
P_MOCK=19111 P_NGINX=19112 P_TT=19113
# One process, so that one callgrind counts all of nginx's work.
NGINX_PROCESSES="master_process off; worker_processes 1;"
. "$(dirname "$0")/setup.sh"

CG=(valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$WORK/cg.%p")
"${CG[@]}" nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" 2>"$WORK/nginx.vg" & NGINX_PID=$!; pids+=($NGINX_PID)
HOME="$WORK/home" TOKENTALLY_DATA_DIR="$WORK/data" "${CG[@]}" "$BIN/tokentally" serve --port $P_TT --workers 2 \
  >"$WORK/tokentally.log" 2>&1 & TT_PID=$!; pids+=($TT_PID)

declare -A IR CALLS
measure() {  # name pid port
  local url="http://127.0.0.1:$3/v1/chat/completions" out
  wait_for_ports "$3"
  wrk -t1 -c1 -d2s -s "$WORK/post.lua" "$url" >/dev/null  # warm: connections, schema, caches
  callgrind_control -z "$2" >/dev/null
  callgrind_control -i on "$2" >/dev/null
  out=$(wrk -t1 -c1 -d${DUR}s -s "$WORK/post.lua" "$url")
  callgrind_control -i off "$2" >/dev/null
  callgrind_control -d "$2" >/dev/null
  CALLS[$1]=$(echo "$out" | awk '/requests in/ {print $1}')
  local dump; dump=$(ls -t "$WORK"/cg."$2"* | head -1)
  IR[$1]=$(callgrind_annotate "$dump" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  LAST_DUMP=$dump
}
measure nginx $NGINX_PID $P_NGINX
measure tokentally $TT_PID $P_TT

per() { awk -v i="$1" -v n="$2" 'BEGIN { printf "%.0f", i / n }'; }
REPORT="$WORK/report.md"
{
  echo "### Instructions per call $(date -u '+%Y-%m-%d %H:%M UTC') (callgrind, 1 connection, ${DUR}s)"
  echo
  echo "| path | calls | instructions per call |"
  echo "|---|---|---|"
  for n in nginx tokentally; do echo "| $n | ${CALLS[$n]} | $(per ${IR[$n]} ${CALLS[$n]}) |"; done
  echo
  echo "- tokentally / nginx: $(awk -v a="$(per ${IR[tokentally]} ${CALLS[tokentally]})" -v b="$(per ${IR[nginx]} ${CALLS[nginx]})" 'BEGIN { printf "%.1f", a / b }')"
  echo "- tokentally by library (own instructions per call):"
  callgrind_annotate "$LAST_DUMP" 2>/dev/null | awk -v n="${CALLS[tokentally]}" '
    $1 ~ /^[0-9,]+$/ && match($0, /\[[^]]*\]$/) {
      x = $1; gsub(",", "", x); k = substr($0, RSTART + 1, RLENGTH - 2); sub(/.*\//, "", k); s[k] += x }
    END { for (k in s) if (s[k] / n >= 1000) printf "  %s %.0f\n", k, s[k] / n }' | sort -k2 -rn |
    awk '{printf "  - %s: %s\n", $1, $2}'
} >"$REPORT"
cat "$REPORT"
results_open instructions "Instructions per call"
{ echo; cat "$REPORT"; } >>"$RESULTS"
