#!/usr/bin/env bash
# The shared ledger's cost: the same tokentally (recording every call, with
# the budgets of setup.sh) on ledger.db and on a PostgreSQL database of a
# throw-away cluster (Unix socket, the server's default durability), in
# alternating wrk runs of one invocation, reported as PostgreSQL / SQLite
# ratios: req/s at 32 connections and added latency at 1 connection; and
# PostgreSQL again with [ledger] synchronous = "full" (synchronous_commit on).
# Appended to a dated file under bench/results/ (setup.sh's results_open).
# Skipped where the server binaries are missing.
set -euo pipefail
BUILD=${1:-build}
DUR=${BENCH_SECONDS:-10}
ROUNDS=${BENCH_PG_ROUNDS:-2}
PG_BIN=${TOKENTALLY_PG_BINDIR:-/usr/lib/postgresql/15/bin}
if [ ! -x "$PG_BIN/initdb" ]; then echo "pg_ledger: no PostgreSQL server in $PG_BIN, skipped"; exit 0; fi
WORK=$(mktemp -d /tmp/tt-pgbench.XXXXXX)
P_MOCK=19311 P_NGINX=19312 P_TT=19313 P_PG=19314 P_PG_FULL=19315
NGINX_PROCESSES="worker_processes 1;"
. "$(dirname "$0")/setup.sh"

# The server refuses to run as root: the cluster then belongs to nobody.
AS=""
if [ "$(id -u)" -eq 0 ]; then chown nobody "$WORK"; AS="runuser -u nobody --"; fi
$AS "$PG_BIN/initdb" -D "$WORK/pg" -U tokentally --auth=trust --no-sync >/dev/null
printf "listen_addresses = ''\nunix_socket_directories = '%s'\nmax_connections = 100\n" "$WORK" >> "$WORK/pg/postgresql.conf"
$AS "$PG_BIN/pg_ctl" -D "$WORK/pg" -l "$WORK/pg.log" -w start >/dev/null
stop_pg() { $AS "$PG_BIN/pg_ctl" -D "$WORK/pg" -m fast stop >/dev/null 2>&1 || true; }
trap 'cleanup; stop_pg' EXIT
URL="postgresql://tokentally@/postgres?host=$WORK"

serve() {  # port data-dir [ledger URL [home]]
  HOME="${4:-$WORK/home}" TOKENTALLY_DATA_DIR="$2" TOKENTALLY_LEDGER_URL="${3:-}" "$BIN/tokentally" serve --port "$1" \
    --workers 2 >"$WORK/serve-$1.log" 2>&1 & pids+=($!)
}
home_with "$WORK/home-full" "$FULL_TOML"
serve $P_TT "$WORK/data-sqlite"
serve $P_PG "$WORK/data-pg" "$URL"
serve $P_PG_FULL "$WORK/data-pg-full" "$URL" "$WORK/home-full"
wait_for_ports $P_MOCK $P_TT $P_PG $P_PG_FULL

to_us() { awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000; else if (v ~ /s$/) print n * 1e6; else print n }'; }
declare -A RPS P50 P99
run_wrk() {  # name port connections: figures summed over the rounds
  local out threads=$(( $3 > 1 ? 2 : 1 ))
  out=$(wrk -t$threads -c$3 -d${DUR}s --latency -s "$WORK/post.lua" "http://127.0.0.1:$2/v1/chat/completions")
  RPS[$1,$3]=$(awk -v a="${RPS[$1,$3]:-0}" -v b="$(echo "$out" | awk '/Requests\/sec/ {print $2}')" 'BEGIN {print a + b}')
  P50[$1,$3]=$(awk -v a="${P50[$1,$3]:-0}" -v b="$(to_us "$(echo "$out" | awk '$1 == "50%" {print $2}')")" 'BEGIN {print a + b}')
  P99[$1,$3]=$(awk -v a="${P99[$1,$3]:-0}" -v b="$(to_us "$(echo "$out" | awk '$1 == "99%" {print $2}')")" 'BEGIN {print a + b}')
  local errs; errs=$(echo "$out" | awk '/Non-2xx/ {print $NF}')
  [ -z "$errs" ] || echo "warning: $1 at $3 connections: $errs non-2xx answers" >&2
}
for _ in $(seq "$ROUNDS"); do
  for c in 1 32; do
    run_wrk direct $P_MOCK $c
    run_wrk sqlite $P_TT $c
    run_wrk postgresql $P_PG $c
    run_wrk postgresql-full $P_PG_FULL $c
  done
done
ROWS_PG=$("$PG_BIN/psql" -X -A -t -d "$URL" -c "SELECT count(*) FROM calls")

avg() { awk -v a="$1" -v n="$ROUNDS" 'BEGIN { printf "%.0f", a / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
added() { awk -v a="$1" -v b="$2" -v n="$ROUNDS" 'BEGIN { printf "%.0f", (a - b) / n }'; }
REPORT="$WORK/report.md"
{
  echo "### Shared ledger run $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
  echo
  echo "The same tokentally serve on ledger.db and on PostgreSQL 15 (local Unix socket), wrk ${DUR}s per cell, $ROUNDS alternating rounds, means:"
  echo
  echo "| ledger | conns | req/s | p50 µs | p99 µs | added p50 µs | added p99 µs |"
  echo "|---|---|---|---|---|---|---|"
  for c in 1 32; do
    for n in sqlite postgresql postgresql-full; do
      echo "| $n | $c | $(avg ${RPS[$n,$c]}) | $(avg ${P50[$n,$c]}) | $(avg ${P99[$n,$c]}) | $(added ${P50[$n,$c]} ${P50[direct,$c]}) | $(added ${P99[$n,$c]} ${P99[direct,$c]}) |"
    done
  done
  echo
  echo "- PostgreSQL / SQLite req/s at 32 connections: $(ratio ${RPS[postgresql,32]} ${RPS[sqlite,32]})"
  echo "- PostgreSQL / SQLite added p50 at 1 connection: $(ratio $(added ${P50[postgresql,1]} ${P50[direct,1]}) $(added ${P50[sqlite,1]} ${P50[direct,1]}))"
  echo "- PostgreSQL with synchronous \"full\" / \"normal\": req/s at 32 connections $(ratio ${RPS[postgresql-full,32]} ${RPS[postgresql,32]}), added p50 at 1 connection $(ratio $(added ${P50[postgresql-full,1]} ${P50[direct,1]}) $(added ${P50[postgresql,1]} ${P50[direct,1]}))"
  echo "- rows in the shared ledger: $ROWS_PG"
  echo
} > "$REPORT"
cat "$REPORT"
results_open pg-ledger "Shared ledger runs"
cat "$REPORT" >> "$RESULTS"
echo "appended to ${RESULTS#"$ROOT"/}"
