#!/usr/bin/env bash
# The proxy of this tree against the proxy of revision REV, in alternating
# rounds of one run, with nginx and the mock reached directly measured in
# each round too: requests/s, latency p50/p99 and CPU per proxied call at 1
# and 32 connections, each figure the median over the rounds. The setup is
# run.sh's (recording, daily, tag, hourly and monthly budgets, cache off);
# each binary gets a fresh ledger every round. With --limits instead of a
# revision, this tree's proxy runs without and with rate limits configured
# (rpm, tpm and max_parallel, all set high enough never to refuse a call of
# the run, so that every call pays for them), in the same alternating rounds.
#
#   bench/paired_load.sh REV|--limits [BUILD]      BENCH_ROUNDS (default 3), BENCH_SECONDS (default 5),
#                                                   BENCH_CACHE=exact (every call after the first a cache hit),
#                                                   BENCH_DELAY_MS (a wait between the calls of each connection)
set -euo pipefail
REV=${1:?usage: bench/paired_load.sh REV|--limits [BUILD]}
BUILD=${2:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=${BENCH_ROUNDS:-3}
DUR=${BENCH_SECONDS:-5}
if [ "$REV" = --limits ]; then unset BENCH_LIMITS; else . "$ROOT/bench/rev_build.sh"; fi
WORK=$(mktemp -d /tmp/tokentally-paired.XXXXXX)
P_MOCK=19301 P_NGINX=19302 P_TT=19303
NGINX_PROCESSES="worker_processes 2;"
. "$ROOT/bench/setup.sh"
if [ "$REV" = --limits ]; then
  RUNS=(plain limited)
  declare -A BIN_OF=([plain]="$BIN/tokentally" [limited]="$BIN/tokentally")
  declare -A HOME_OF=([plain]="$WORK/home" [limited]="$WORK/home-limited")
  home_with "$WORK/home-limited" "$LIMITS_TOML"
  AGAINST="this tree without rate limits ('plain') and with rpm, tpm and max_parallel set ('limited')"
else
  RUNS=(before after)
  declare -A BIN_OF=([before]="$OLD_BIN" [after]="$BIN/tokentally")
  declare -A HOME_OF=([before]="$WORK/home" [after]="$WORK/home")
  AGAINST="this tree against $REV"
fi

nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" & NGINX_PID=$!; pids+=($NGINX_PID)
wait_for_ports $P_MOCK $P_NGINX

cpu_ticks() {  # user + system ticks of a process and its children
  local total=0 p
  for p in $1 $(pgrep -P "$1" || true); do total=$(( total + $(awk '{print $14 + $15}' "/proc/$p/stat") )); done
  echo $total
}
to_us() { awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000; else if (v ~ /s$/) print n * 1e6; else print n }'; }

declare -A SAMPLES  # name,conns,figure -> values, one per round
measure() {  # name port conns [pid]
  local before=0 out n
  [ -z "${4:-}" ] || before=$(cpu_ticks "$4")
  out=$(wrk -t$(( $3 > 1 ? 2 : 1 )) -c"$3" -d"${DUR}s" --latency -s "$WORK/post.lua" "http://127.0.0.1:$2/v1/chat/completions")
  n=$(echo "$out" | awk '/requests in/ {print $1}')
  SAMPLES[$1,$3,rps]+="$(echo "$out" | awk '/Requests\/sec/ {print $2}') "
  SAMPLES[$1,$3,p50]+="$(to_us "$(echo "$out" | awk '$1 == "50%" {print $2}')") "
  SAMPLES[$1,$3,p99]+="$(to_us "$(echo "$out" | awk '$1 == "99%" {print $2}')") "
  [ -z "${4:-}" ] || SAMPLES[$1,$3,cpu]+="$(awk -v t=$(( $(cpu_ticks "$4") - before )) -v hz="$(getconf CLK_TCK)" \
    -v n="$n" 'BEGIN { printf "%.1f", t / hz * 1e6 / n }') "
}

for round in $(seq "$ROUNDS"); do
  for c in 1 32; do measure direct $P_MOCK $c; measure nginx $P_NGINX $c $NGINX_PID; done
  for which in "${RUNS[@]}"; do
    rm -rf "$WORK/data" && mkdir -p "$WORK/data"
    HOME="${HOME_OF[$which]}" TOKENTALLY_DATA_DIR="$WORK/data" "${BIN_OF[$which]}" serve --port $P_TT --workers 2 \
      >"$WORK/$which.log" 2>&1 & TT_PID=$!
    wait_for_ports $P_TT
    wrk -t1 -c1 -d1s -s "$WORK/post.lua" "http://127.0.0.1:$P_TT/v1/chat/completions" >/dev/null
    for c in 1 32; do measure "$which" $P_TT $c $TT_PID; done
    kill $TT_PID; wait $TT_PID 2>/dev/null || true
  done
  echo "round $round done" >&2
done

median() { tr ' ' '\n' | { grep -v '^$' || true; } | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
fig() { echo -n "${SAMPLES[$1,$2,$3]:-}" | median; }
echo "### Paired load $(date -u '+%Y-%m-%d %H:%M UTC'): $AGAINST, $ROUNDS rounds of ${DUR}s, medians${BENCH_CACHE:+, X-Tokentally-Cache: $BENCH_CACHE}${BENCH_DELAY_MS:+, each connection waiting $BENCH_DELAY_MS ms between calls}"
echo
echo "| path | conns | req/s | p50 µs | p99 µs | added p50 µs | CPU µs per call | CPU / nginx |"
echo "|---|---|---|---|---|---|---|---|"
for c in 1 32; do
  for n in direct nginx "${RUNS[@]}"; do
    cpu=$(fig $n $c cpu)
    echo "| $n | $c | $(fig $n $c rps) | $(fig $n $c p50) | $(fig $n $c p99) |" \
      "$(awk -v a="$(fig $n $c p50)" -v b="$(fig direct $c p50)" 'BEGIN { printf "%.0f", a - b }') |" \
      "${cpu:--} | $([ -n "$cpu" ] && awk -v a="$cpu" -v b="$(fig nginx $c cpu)" 'BEGIN { printf "%.2f", a / b }' || echo -) |"
  done
done
