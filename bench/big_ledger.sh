#!/usr/bin/env bash
# The read side at a busy team's scale: a ledger of 10M calls over 36 days
# (seed_team; built once under /tmp/tokentally-bench and reused), read
# through `tokentally serve`. The rollups are folded once before timing (as
# on a proxy that has been serving); then serve is started afresh and each
# dashboard API route is read for 24 hours, 7 days and 30 days: the first
# read after the start, then the median of five more. Also the first
# budget check after the start (the spend of the budget windows loaded into
# memory). Prints a markdown table.
#
#   bench/big_ledger.sh [BUILD]      BENCH_BIG_ROWS (default 10000000), BENCH_BIG_DAYS (36)
set -euo pipefail
BUILD=${1:-build}
ROWS=${BENCH_BIG_ROWS:-10000000}
DAYS=${BENCH_BIG_DAYS:-36}
WORK=$(mktemp -d /tmp/tokentally-big.XXXXXX)
P_MOCK=19131 P_NGINX=19132 P_TT=19133
NGINX_PROCESSES="worker_processes 1;"
. "$(dirname "$0")/setup.sh"

SEED_DIR=/tmp/tokentally-bench/team_${ROWS}_${DAYS}d
if [ ! -f "$SEED_DIR/ledger.db" ]; then
  mkdir -p "$SEED_DIR"
  echo "seeding $ROWS calls over $DAYS days into $SEED_DIR ..." >&2
  start=$(date +%s)
  "$BIN/seed_team" "$ROWS" "$DAYS" "$SEED_DIR/ledger.db"
  echo "seeded in $(( $(date +%s) - start )) s" >&2
fi

serve() {
  HOME="$WORK/home" TOKENTALLY_DATA_DIR="$SEED_DIR" "$BIN/tokentally" serve --port $P_TT --workers 2 \
    >>"$WORK/tokentally.log" 2>&1 &
  TT=$!
  pids+=($TT)
  wait_for_ports $P_TT
}
seconds() { curl -s -o /dev/null -w '%{time_total}\n' "$@"; }
median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }

# Folds whatever calls the rollups do not hold yet (all of them the first time).
serve
start=$(date +%s)
seconds "http://127.0.0.1:$P_TT/dashboard/api/summary?range=30d" >/dev/null
seconds "http://127.0.0.1:$P_TT/dashboard/api/sessions?range=30d" >/dev/null
FOLD=$(( $(date +%s) - start ))
kill "$TT"; wait "$TT" 2>/dev/null || true

serve
RSS_START=$(awk '/VmRSS/ {print $2}' /proc/$TT/status)
CHECK=$(curl -s -o /dev/null -w '%{time_total}' -X POST "http://127.0.0.1:$P_TT/v1/chat/completions" \
  -H 'Content-Type: application/json' -H "X-Tokentally-Target: http://127.0.0.1:$P_MOCK" -H 'X-Tokentally-Tag: bench' \
  -d '{"model": "gpt-4o-mini", "messages": [{"role": "user", "content": "hi"}]}')
declare -A FIRST AGAIN
for range in 24h 7d 30d; do
  for route in summary series sessions recent alerts advice; do
    url="http://127.0.0.1:$P_TT/dashboard/api/$route?range=$range"
    FIRST[$route,$range]=$(seconds "$url")
    AGAIN[$route,$range]=$(for _ in 1 2 3 4 5; do seconds "$url"; done | median)
  done
done
RSS_END=$(awk '/VmRSS/ {print $2}' /proc/$TT/status)
CALLS=$(sqlite3 "$SEED_DIR/ledger.db" "SELECT COUNT(*) FROM calls")
SESSIONS=$(curl -s -D - -o /dev/null "http://127.0.0.1:$P_TT/dashboard/api/sessions?range=30d&n=1" |
  awk -F': ' 'tolower($1) == "x-total-count" {print $2}' | tr -d '\r')

echo "Ledger: $CALLS calls over $DAYS days ($SESSIONS sessions in 30 days); rollups folded from scratch in ${FOLD} s."
echo "First budget check after serve starts (the spend of 720 h loaded into memory): $(ms "$CHECK") ms."
echo "RSS of serve: $((RSS_START / 1024)) MB at start, $((RSS_END / 1024)) MB after the reads."
echo
echo "| route | 24h first ms | 24h again ms | 7d first ms | 7d again ms | 30d first ms | 30d again ms |"
echo "|---|---|---|---|---|---|---|"
for route in summary series sessions recent alerts advice; do
  line="| $route"
  for range in 24h 7d 30d; do line+=" | $(ms "${FIRST[$route,$range]}") | $(ms "${AGAIN[$route,$range]}")"; done
  echo "$line |"
done
