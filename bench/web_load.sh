#!/usr/bin/env bash
# The proxy's figures with the web dashboard open and without, in paired
# rounds of one run: wrk at 1 and 32 connections against `tokentally serve`,
# alone, then while a poller reads the page's six API routes every 5 seconds
# as the page does. Prints one table (median of the rounds).
set -euo pipefail
BUILD=${1:-build}
DUR=${BENCH_SECONDS:-10}
ROUNDS=${BENCH_WEB_ROUNDS:-3}
WORK=$(mktemp -d /tmp/tokentally-web.XXXXXX)
P_MOCK=19111 P_NGINX=19112 P_TT=19113
NGINX_PROCESSES="worker_processes 1;"
. "$(dirname "$0")/setup.sh"

HOME="$WORK/home" TOKENTALLY_DATA_DIR="$WORK/data" "$BIN/tokentally" serve --port $P_TT --workers 2 \
  >"$WORK/tokentally.log" 2>&1 & pids+=($!)
wait_for_ports $P_MOCK $P_TT

# What one open page asks every 5 seconds. Each round of asking leaves a
# mark, so that a timed run starts once the page has caught up with the
# calls of the run before it (an open page reads each call once).
poll_page() {
  while :; do
    for r in summary series sessions "recent?n=50" "alerts?n=50" advice; do
      curl -s -o /dev/null "http://127.0.0.1:$P_TT/dashboard/api/$r"
    done
    touch "$WORK/polled"
    sleep 5
  done
}

declare -A OUT
run() {  # name connections
  local out threads=$(( $2 > 1 ? 2 : 1 ))
  out=$(wrk -t$threads -c$2 -d${DUR}s --latency -s "$WORK/post.lua" "http://127.0.0.1:$P_TT/v1/chat/completions")
  OUT[$1,$2]+="$(echo "$out" | awk '/Requests\/sec/ {r=$2} $1 == "50%" {p=$2} $1 == "99%" {q=$2} END {print r, p, q}')"$'\n'
}
for _ in $(seq "$ROUNDS"); do
  for c in 1 32; do
    run alone $c
    rm -f "$WORK/polled"
    poll_page & POLL=$!
    until [ -e "$WORK/polled" ]; do sleep 0.1; done
    run page $c
    kill $POLL; wait $POLL 2>/dev/null || true
  done
done

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
echo "| dashboard | conns | req/s | p50 | p99 |"
echo "|---|---|---|---|---|"
for c in 1 32; do
  for n in alone page; do
    col() { echo -n "${OUT[$n,$c]}" | awk -v f="$1" '{print $f}' | median; }
    echo "| $([ $n = page ] && echo "open, polling every 5 s" || echo "not open") | $c | $(col 1) | $(col 2) | $(col 3) |"
  done
done
echo
# What noise is on this machine: the closed rounds' spread against the open
# page's effect, round by round.
for c in 1 32; do
  paste <(echo -n "${OUT[alone,$c]}" | awk '{print $1}') <(echo -n "${OUT[page,$c]}" | awk '{print $1}') |
    awk -v c=$c '{r = r sprintf(" %+.0f %%", ($2 / $1 - 1) * 100); if (NR == 1 || $1 < lo) lo = $1; if ($1 > hi) hi = $1}
      END {printf "- %d connection%s: open against not open, round by round:%s; not open alone spread %.0f %% between its rounds\n", c, (c > 1 ? "s" : ""), r, (hi / lo - 1) * 100}'
done
