#!/usr/bin/env bash
# Load report: the same mock provider reached directly, through nginx as a
# plain reverse proxy, and through tokentally (recording every call, with
# hourly, daily, monthly and tag budgets configured), at 1 and 32 connections,
# in one run so that every figure is a ratio against the others; then the
# same tokentally with [ledger] synchronous = "full" (each commit waits for
# the disk), to show what that setting costs per call. Then the
# Google Benchmark micro-benchmarks, the shared ledger, the dashboard open and
# instructions per call. What it prints is also appended to
# bench/results/DATE-make-bench.md.
set -euo pipefail
BUILD=${1:-build}
DUR=${BENCH_SECONDS:-10}
WORK=$(mktemp -d /tmp/tokentally-load.XXXXXX)
P_MOCK=19101 P_NGINX=19102 P_TT=19103 P_TT_FULL=19104
NGINX_PROCESSES="worker_processes 2;"
. "$(dirname "$0")/setup.sh"

nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" & NGINX_PID=$!; pids+=($NGINX_PID)
HOME="$WORK/home" TOKENTALLY_DATA_DIR="$WORK/data" "$BIN/tokentally" serve --port $P_TT --workers 2 \
  >"$WORK/tokentally.log" 2>&1 & TT_PID=$!; pids+=($TT_PID)
wait_for_ports $P_MOCK $P_NGINX $P_TT
IDLE_RSS=$(awk '/VmRSS/ {print $2}' /proc/$TT_PID/status)

# wrk's "Latency Distribution" prints values such as 85.00us, 1.20ms or 2.01s.
to_us() { awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000; else if (v ~ /s$/) print n * 1e6; else print n }'; }

# CPU time (user + system, in clock ticks) of a process and its children
# (nginx's workers), from /proc.
cpu_ticks() {
  local total=0 p
  for p in $1 $(pgrep -P "$1" || true); do total=$(( total + $(awk '{print $14 + $15}' "/proc/$p/stat") )); done
  echo $total
}
declare -A PID_OF=([nginx]=$NGINX_PID [tokentally]=$TT_PID)

declare -A RPS P50 P99 REQS CPU
run_wrk() {  # name port connections
  local out threads=$(( $3 > 1 ? 2 : 1 )) pid=${PID_OF[$1]:-} before=0
  [ -z "$pid" ] || before=$(cpu_ticks "$pid")
  out=$(wrk -t$threads -c$3 -d${DUR}s --latency -s "$WORK/post.lua" "http://127.0.0.1:$2/v1/chat/completions")
  # CPU per proxied call, in µs, over the timed run.
  [ -z "$pid" ] || CPU[$1,$3]=$(awk -v t=$(( $(cpu_ticks "$pid") - before )) -v hz="$(getconf CLK_TCK)" \
    -v n="$(echo "$out" | awk '/requests in/ {print $1}')" 'BEGIN { printf "%.1f", t / hz * 1e6 / n }')
  RPS[$1,$3]=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
  P50[$1,$3]=$(to_us "$(echo "$out" | awk '$1 == "50%" {print $2}')")
  P99[$1,$3]=$(to_us "$(echo "$out" | awk '$1 == "99%" {print $2}')")
  REQS[$1,$3]=$(echo "$out" | awk '/requests in/ {print $1}')
  local errs; errs=$(echo "$out" | awk '/Non-2xx/ {print $NF}')
  [ -z "$errs" ] || echo "warning: $1 at $3 connections: $errs non-2xx answers" >&2
}
for c in 1 32; do
  run_wrk direct $P_MOCK $c
  run_wrk nginx $P_NGINX $c
  run_wrk tokentally $P_TT $c
done
PEAK_RSS=$(awk '/VmHWM/ {print $2}' /proc/$TT_PID/status)

# The same proxy with [ledger] synchronous = "full" (every commit waits for
# the disk), on a ledger of its own, right after: what that setting costs.
mkdir -p "$WORK/data-full"
home_with "$WORK/home-full" "$FULL_TOML"
HOME="$WORK/home-full" TOKENTALLY_DATA_DIR="$WORK/data-full" "$BIN/tokentally" serve --port $P_TT_FULL --workers 2 \
  >"$WORK/tokentally-full.log" 2>&1 & FULL_PID=$!; pids+=($FULL_PID)
PID_OF[full]=$FULL_PID
wait_for_ports $P_TT_FULL
for c in 1 32; do run_wrk full $P_TT_FULL $c; done
kill $FULL_PID

# Soak (BENCH_SOAK_REQUESTS, e.g. 1000000; off by default): RSS once the
# first ~10k requests have gone through and again after the given number, at
# 32 connections, to show that memory does not grow with the requests served.
SOAK=${BENCH_SOAK_REQUESTS:-0}
SOAK_LINE=""
if [ "$SOAK" -gt 0 ]; then
  rss_now() { awk '/VmRSS/ {print $2}' /proc/$TT_PID/status; }
  soak_run() { wrk -t2 -c32 -d"$1" -s "$WORK/post.lua" "http://127.0.0.1:$P_TT/v1/chat/completions" | awk '/requests in/ {print $1}'; }
  served=$(soak_run 2s)
  RSS_EARLY=$(rss_now) EARLY=$served
  while [ "$served" -lt "$SOAK" ]; do served=$(( served + $(soak_run 10s) )); done
  RSS_LATE=$(rss_now)
  SOAK_LINE="- RSS after $EARLY requests ${RSS_EARLY} kB, after $served requests ${RSS_LATE} kB (ratio $(awk -v a="$RSS_LATE" -v b="$RSS_EARLY" 'BEGIN { printf "%.3f", a / b }'))"
  SENT_SOAK=$served
fi
ROWS=$(sqlite3 -cmd ".timeout 5000" "$WORK/data/ledger.db" "SELECT COUNT(*) FROM calls")
SENT=$(( ${REQS[tokentally,1]} + ${REQS[tokentally,32]} + ${SENT_SOAK:-0} ))

ttfb() {  # url [headers...]: median time to first byte of a streamed answer, in microseconds
  local url=$1; shift
  for _ in $(seq 21); do
    curl -s -o /dev/null -w '%{time_starttransfer}\n' -X POST "$url" -H 'Content-Type: application/json' "$@" \
      -d '{"model": "gpt-4o-mini", "stream": true, "messages": [{"role": "user", "content": "hi"}]}'
  done | sort -n | awk '{a[NR] = $1} END {printf "%.0f", a[int((NR + 1) / 2)] * 1e6}'
}
TTFB_DIRECT=$(ttfb "http://127.0.0.1:$P_MOCK/v1/chat/completions")
TTFB_TT=$(ttfb "http://127.0.0.1:$P_TT/v1/chat/completions" -H "X-Tokentally-Target: http://127.0.0.1:$P_MOCK")

# Streamed answers with the usage in them read ([accounting] stream_usage =
# "read") against not read, in alternating rounds of the same run: time to
# first event and the lag of each of 40 paced events (stamped by the mock as
# they leave) on the way to the client. The configuration is re-read per call.
cp "$WORK/home/.tokentally.toml" "$WORK/budgets.toml"
accounting() {  # off | read
  cp "$WORK/budgets.toml" "$WORK/home/.tokentally.toml"
  [ "$1" = off ] || printf '[accounting]\nstream_usage = "%s"\n' "$1" >> "$WORK/home/.tokentally.toml"
}
LAG_ROUNDS=${BENCH_LAG_ROUNDS:-3}
declare -A LAG
lag_round() {  # name port [header]
  local out; out=$("$BIN/stream_lag" "$2" /timed/v1/chat/completions 10 ${3:+"$3"})
  LAG[$1]+="$out"$'\n'
}
for _ in $(seq "$LAG_ROUNDS"); do
  lag_round direct $P_MOCK
  for mode in off read; do
    accounting $mode
    lag_round $mode $P_TT "X-Tokentally-Target: http://127.0.0.1:$P_MOCK"
  done
done
accounting off
lag_median() {  # name field: the median over the rounds
  echo -n "${LAG[$1]}" | tr ' ' '\n' | awk -F= -v f="$2" '$1 == f {print $2}' | sort -n |
    awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
added() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", a - b }'; }

REPORT="$WORK/report.md"
{
  echo "### Load run $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
  echo
  echo "wrk ${DUR}s per cell, POST of an OpenAI-style chat body, mock provider answering at once."
  echo
  echo "| path | conns | req/s | p50 µs | p99 µs | added p50 µs | added p99 µs |"
  echo "|---|---|---|---|---|---|---|"
  for c in 1 32; do
    for n in direct nginx tokentally full; do
      label=$n; [ $n = full ] && label='tokentally, synchronous "full"'
      echo "| $label | $c | ${RPS[$n,$c]} | ${P50[$n,$c]} | ${P99[$n,$c]} | $(added ${P50[$n,$c]} ${P50[direct,$c]}) | $(added ${P99[$n,$c]} ${P99[direct,$c]}) |"
    done
  done
  echo
  echo "- tokentally / nginx req/s at 32 connections: $(ratio ${RPS[tokentally,32]} ${RPS[nginx,32]})"
  echo "- CPU per proxied call (user + system over the timed run): nginx ${CPU[nginx,1]} µs at 1 connection, ${CPU[nginx,32]} µs at 32; tokentally ${CPU[tokentally,1]} µs, ${CPU[tokentally,32]} µs; tokentally / nginx at 32 connections: $(ratio ${CPU[tokentally,32]} ${CPU[nginx,32]})"
  echo "- [ledger] synchronous \"full\" against \"normal\": CPU per call ${CPU[full,1]} against ${CPU[tokentally,1]} µs at 1 connection, ${CPU[full,32]} against ${CPU[tokentally,32]} µs at 32; added p50 $(added ${P50[full,1]} ${P50[direct,1]}) against $(added ${P50[tokentally,1]} ${P50[direct,1]}) µs at 1 connection; req/s at 32 connections $(ratio ${RPS[full,32]} ${RPS[tokentally,32]}) of normal's"
  echo "- added p50 at 1 connection, tokentally / nginx: $(ratio $(added ${P50[tokentally,1]} ${P50[direct,1]}) $(added ${P50[nginx,1]} ${P50[direct,1]}))"
  echo "- rows recorded: $ROWS for $SENT requests answered"
  echo "- RSS of tokentally serve: idle $((IDLE_RSS / 1024)) MB, peak $((PEAK_RSS / 1024)) MB"
  [ -z "$SOAK_LINE" ] || echo "$SOAK_LINE"
  echo "- time to first byte of a streamed answer (median of 21): direct ${TTFB_DIRECT} µs, through tokentally ${TTFB_TT} µs"
  echo
  echo "Paced streams (40 events 5 ms apart, each stamped as it leaves the mock), $LAG_ROUNDS alternating rounds of 10 calls; medians over the rounds:"
  echo
  echo "| path | first event µs | event lag p50 µs | event lag p99 µs |"
  echo "|---|---|---|---|"
  for n in direct off read; do
    label=$n; [ $n = off ] && label='tokentally, stream_usage "off"'; [ $n = read ] && label='tokentally, stream_usage "read"'
    echo "| $label | $(lag_median $n first_event_us) | $(lag_median $n lag_p50_us) | $(lag_median $n lag_p99_us) |"
  done
  echo
} > "$REPORT"
cat "$REPORT"

MICRO="$WORK/micro.txt"
for b in "$BIN"/bench_*; do
  [ -x "$b" ] || continue
  echo "#### $(basename "$b")" >> "$MICRO"
  echo '```' >> "$MICRO"
  "$b" --benchmark_min_time=0.5 2>/dev/null | grep -E '^(BM_|-|Benchmark)' >> "$MICRO" || true
  echo '```' >> "$MICRO"
done
cat "$MICRO"
unset BENCH_RESULTS
results_open make-bench "make bench"
export BENCH_RESULTS=$RESULTS
{ cat "$REPORT"; cat "$MICRO"; echo; } >> "$RESULTS"
echo "appended to ${RESULTS#"$ROOT"/}"

# The same proxy on a shared PostgreSQL ledger against ledger.db.
"$HERE/pg_ledger.sh" "$BUILD"

# The proxy's figures with the web dashboard open and without.
{
  echo "### Dashboard open run $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
  echo
  echo "wrk ${DUR}s per cell, alone and while a poller reads the page's six API routes every 5 s as the page does, ${BENCH_WEB_ROUNDS:-3} paired rounds, medians:"
  echo
  "$HERE/web_load.sh" "$BUILD"
  echo
} | tee -a "$RESULTS"

# Instructions per call under callgrind (steadier than wall-clock figures on
# a shared machine); skipped where valgrind is not installed.
if command -v valgrind >/dev/null 2>&1; then "$HERE/instructions.sh" "$BUILD"; fi
