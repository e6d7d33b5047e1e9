#!/usr/bin/env bash
# A long run at 32 connections: RSS of `tokentally serve` and requests/s at
# about 100k, 1M and BENCH_SOAK_REQUESTS (default 3M) calls (the median of
# the three 10 s runs that reach each point), once with a
# fresh session per call (no X-Tokentally-Session: the proxy names each call
# a session of its own) and once with one fixed session. The web dashboard
# is open meanwhile (its six routes read every 5 s, as the page does). At
# the end of the first run each route is read once more for 24 hours: its
# time, and RSS before the read and 10 s after it. Prints markdown.
#
#   bench/soak.sh [BUILD]
set -euo pipefail
BUILD=${1:-build}
TOTAL=${BENCH_SOAK_REQUESTS:-3000000}
WORK=$(mktemp -d /tmp/tokentally-soak.XXXXXX)
P_MOCK=19141 P_NGINX=19142 P_TT=19143
NGINX_PROCESSES="worker_processes 1;"
. "$(dirname "$0")/setup.sh"

sed 's/^wrk.headers\["X-Tokentally-Tag"\].*/&\nwrk.headers["X-Tokentally-Session"] = "one-session"/' "$WORK/post.lua" \
  > "$WORK/post_fixed.lua"
rss_kb() { awk '/VmRSS/ {print $2}' /proc/$TT/status; }
ROUTES=(summary series sessions "recent?n=50" "alerts?n=50" advice)

page_open() {  # reads the page's routes every 5 s until killed
  while :; do
    for r in "${ROUTES[@]}"; do curl -s -o /dev/null "http://127.0.0.1:$P_TT/dashboard/api/$r"; done
    sleep 5
  done
}

soak() {  # name script
  local data="$WORK/data-$1" served=0 n out rps
  mkdir -p "$data"
  HOME="$WORK/home" TOKENTALLY_DATA_DIR="$data" "$BIN/tokentally" serve --port $P_TT --workers 2 \
    >"$WORK/tokentally-$1.log" 2>&1 &
  TT=$!
  pids+=($TT)
  wait_for_ports $P_TT
  page_open & PAGE=$!
  pids+=($PAGE)
  echo "| $1 | calls | RSS MB | req/s, median of three 10 s runs |"
  echo "|---|---|---|---|"
  local rates=()
  for point in 100000 1000000 "$TOTAL"; do
    # Up to the point, and at least three runs since the last: one 10 s run
    # on this machine moves by 10-20 % from the next.
    while [ "$served" -lt "$point" ] || [ "${#rates[@]}" -lt 3 ]; do
      out=$(wrk -t2 -c32 -d10s -s "$2" "http://127.0.0.1:$P_TT/v1/chat/completions")
      n=$(echo "$out" | awk '/requests in/ {print $1}')
      rates+=("$(echo "$out" | awk '/Requests\/sec/ {printf "%.0f", $2}')")
      served=$((served + n))
    done
    rps=$(printf '%s\n' "${rates[@]: -3}" | sort -n | sed -n 2p)
    echo "| | $served | $(( $(rss_kb) / 1024 )) | $rps |"
    rates=()
  done
  kill "$PAGE" 2>/dev/null || true
  wait "$PAGE" 2>/dev/null || true
}

stop_serve() { kill "$TT"; wait "$TT" 2>/dev/null || true; }

soak "a session per call" "$WORK/post.lua"
echo
echo "| route, 24h | read ms | RSS MB before | RSS MB 10 s after |"
echo "|---|---|---|---|"
for r in "${ROUTES[@]}"; do
  before=$(rss_kb)
  t=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$P_TT/dashboard/api/$r")
  sleep 10
  echo "| ${r%%\?*} | $(awk -v s="$t" 'BEGIN { printf "%.1f", s * 1000 }') | $((before / 1024)) | $(( $(rss_kb) / 1024 )) |"
done
SESSIONS=$(curl -s -D - -o /dev/null "http://127.0.0.1:$P_TT/dashboard/api/sessions?n=1" |
  awk -F': ' 'tolower($1) == "x-total-count" {print $2}' | tr -d '\r')
echo
echo "Sessions in the last 24 hours: $SESSIONS."
stop_serve
echo
soak "one session" "$WORK/post_fixed.lua"
stop_serve
