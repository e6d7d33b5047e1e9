#!/usr/bin/env bash
# Instructions per proxied call, counted by callgrind: nginx as a plain
# reverse proxy and tokentally serve (recording, budgets as in run.sh), each
# in front of the same mock provider, one connection, in one invocation.
# Wall-clock figures on a shared virtual machine move by 15 % within minutes;
# instruction counts move by a few per cent, so a lever worth 5 % shows here
# when it is lost in the load run's noise. User space only: system calls
# count as the instructions that issue them.
set -euo pipefail
BUILD=${1:-build}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
BIN="$ROOT/$BUILD/bin"
DUR=${BENCH_INSTR_SECONDS:-6}
WORK=$(mktemp -d /tmp/tokentally-instr.XXXXXX)
P_MOCK=19111 P_NGINX=19112 P_TT=19113
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

"$BIN/mock_provider" $P_MOCK 1 & pids+=($!)

mkdir -p "$WORK/nginx/logs"
cat > "$WORK/nginx/nginx.conf" <<CONF
master_process off;
daemon off;
worker_processes 1;
error_log $WORK/nginx/logs/error.log warn;
pid $WORK/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  upstream mock { server 127.0.0.1:$P_MOCK; keepalive 8; }
  server {
    listen 127.0.0.1:$P_NGINX;
    location / { proxy_pass http://mock; proxy_http_version 1.1; proxy_set_header Connection ""; proxy_buffering off; }
  }
}
CONF
mkdir -p "$WORK/home" "$WORK/data"
cat > "$WORK/home/.tokentally.toml" <<CONF
[budgets]
hourly = 100000.0
daily = 100000.0
monthly = 1000000.0
[budgets.tags.bench]
daily = 100000.0
CONF
cat > "$WORK/post.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"model": "gpt-4o-mini", "messages": [{"role": "user", "content": "Say hello."}]}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer sk-bench"
wrk.headers["X-Tokentally-Target"] = "http://127.0.0.1:$P_MOCK"
wrk.headers["X-Tokentally-Tag"] = "bench"
wrk.headers["X-Tokentally-Cache"] = "off"
LUA

CG=(valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$WORK/cg.%p")
"${CG[@]}" nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" 2>"$WORK/nginx.vg" & NGINX_PID=$!; pids+=($NGINX_PID)
HOME="$WORK/home" TOKENTALLY_DATA_DIR="$WORK/data" "${CG[@]}" "$BIN/tokentally" serve --port $P_TT --workers 2 \
  >"$WORK/tokentally.log" 2>&1 & TT_PID=$!; pids+=($TT_PID)

declare -A IR CALLS
measure() {  # name pid port
  local url="http://127.0.0.1:$3/v1/chat/completions" out
  for _ in $(seq 100); do curl -s -o /dev/null "127.0.0.1:$3/" && break; sleep 0.2; done
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
{ echo; cat "$REPORT"; } >>"$HERE/README.md"
