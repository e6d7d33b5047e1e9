#!/usr/bin/env bash
# The --json output of every read command, from this tree's binary and from
# an earlier revision's, on one seeded ledger: they must be byte-identical.
#
#   bench/compare_json.sh REV [BUILD]
#
# REV is built (Release, target `tokentally` only) from `git archive` in a
# directory of its own under /tmp, kept for later runs of the same commit.
# BUILD is this tree's build directory (default build). The ledger holds
# 3,000 calls over 40 days (models with and without prices, no model, empty
# and named tags, errors, streams, calls without cost or tokens), swapped
# calls, cached-token counts and alerts, none of them within ten minutes of a
# window's edge, so both binaries see the same windows when run one after
# the other. Every command runs under two configurations: the defaults, and
# cache pricing with the router on (which add columns to summary and recent).
# Training runs once per binary on its own copy and the bundles are compared
# without their time; predict and report then read one bundle. Prints each
# comparison and exits 1 when any differs.
set -euo pipefail
REV=${1:?usage: bench/compare_json.sh REV [BUILD]}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
NEW_BIN="$ROOT/${2:-build}/bin/tokentally"
[ -x "$NEW_BIN" ] || { echo "no binary at $NEW_BIN: build this tree first" >&2; exit 2; }
. "$ROOT/bench/rev_build.sh"

WORK=$(mktemp -d /tmp/tokentally-compare.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/home" "$WORK/data"
export HOME="$WORK/home" TOKENTALLY_DATA_DIR="$WORK/data"
LEDGER="$WORK/data/ledger.db"

# The tables as the old binary makes them, then the rows.
"$OLD_BIN" recent --json >/dev/null
"$OLD_BIN" alerts --json >/dev/null
awk -v now="$(date +%s.%N)" 'BEGIN {
  srand(16)
  split("openai/gpt-4o openai/gpt-4o-mini anthropic/claude-sonnet-4 google/gemini-2.0-flash acme/unpriced ollama/llama3", models, " ")
  split("default web batch", tags, " ")
  edges[1] = 3600; edges[2] = 86400; edges[3] = 168 * 3600; edges[4] = 720 * 3600
  print "BEGIN;"
  print "CREATE TABLE IF NOT EXISTS call_routing (call_id INTEGER PRIMARY KEY, requested_model TEXT NOT NULL);"
  print "CREATE TABLE IF NOT EXISTS call_cache_tokens (call_id INTEGER PRIMARY KEY, cache_read_tokens INTEGER, " \
        "cache_write_tokens INTEGER, cache_write_1h_tokens INTEGER);"
  n = 0
  while (n < 3000) {
    age = 120 + rand() * 40 * 86400
    near = 0
    for (e in edges) if (age > edges[e] - 600 && age < edges[e] + 600) near = 1
    if (near) continue
    n++
    r = rand()
    model = r < 0.04 ? "NULL" : "\x27" models[1 + int(rand() * 6)] "\x27"
    tag = rand() < 0.05 ? "\x27\x27" : "\x27" tags[1 + int(rand() * 3)] "\x27"
    session = "\x27s-" int(rand() * 30) "\x27"
    prompt = rand() < 0.1 ? "NULL" : int(rand() * 5000)
    completion = rand() < 0.1 ? "NULL" : int(rand() * 900)
    c = rand(); cost = c < 0.15 ? "NULL" : c < 0.25 ? "0.0" : sprintf("%.9f", rand() * 0.05)
    s = rand(); status = s < 0.85 ? 200 : s < 0.9 ? 429 : s < 0.95 ? 500 : 499
    printf "INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, cost_usd, " \
           "elapsed_s, status, streamed) VALUES (%.6f, %s, %s, %s, %s, %s, %s, %.4f, %d, %d);\n",
           now - age, model, tag, session, prompt, completion, cost, rand() * 4, status, rand() < 0.3
    if (rand() < 0.05)
      printf "INSERT INTO call_routing VALUES (last_insert_rowid(), \x27openai/gpt-4o\x27);\n"
    else if (rand() < 0.1)
      printf "INSERT INTO call_cache_tokens VALUES (last_insert_rowid(), %d, %s, 0);\n", int(rand() * 3000),
             rand() < 0.5 ? "NULL" : int(rand() * 500)
  }
  split("hourly daily monthly tag:web tag:batch", scopes, " ")
  for (i = 0; i < 12; i++)
    printf "INSERT INTO alerts (ts, level, scope, spent, budget, message, seen) VALUES " \
           "(%.6f, \x27%s\x27, \x27%s\x27, %.4f, 5.0, \x27alert %d\x27, %d);\n",
           now - 7200 - i * 4000, i % 3 ? "warn" : "critical", scopes[1 + i % 5], 4 + rand() * 3, i, i % 2
  print "COMMIT;"
}' | sqlite3 -cmd ".timeout 5000" "$LEDGER"

FAILED=0
same() {  # label file-a file-b
  if cmp -s "$2" "$3"; then echo "same       $1 ($(wc -c <"$2") bytes)"
  else echo "DIFFERENT  $1"; diff <(head -c 2000 "$2") <(head -c 2000 "$3") | head -20 || true; FAILED=1; fi
}
both() {  # label args...: the two binaries one right after the other
  local label=$1; shift
  "$OLD_BIN" "$@" >"$WORK/old.out" 2>&1 || true
  "$NEW_BIN" "$@" >"$WORK/new.out" 2>&1 || true
  same "$label" "$WORK/old.out" "$WORK/new.out"
}
read_commands() {  # configuration label
  for args in "summary --json" "summary --tag web --json" "summary --tag default --json" "summary --hours 200 --json" \
              "recent -n 50 --json" "recent -n 0 --json" "spend --json" "spend --tag web --json" \
              "spend --days 1 --json" "history --json" "history --days 60 --json" "sessions --json" \
              "sessions --hours 1000 --json" "session s-3 --json" "session s-3 -n 500 --json" \
              "session nobody --json" "alerts -n 50 --json" "advise --json" "advise --hours 24 --json"; do
    # shellcheck disable=SC2086
    both "$1: $args" $args
  done
}

read_commands "defaults"
printf '[accounting]\ncache_pricing = true\n[router]\nmode = "warn"\n' >"$HOME/.tokentally.toml"
read_commands "cache pricing, router on"
rm "$HOME/.tokentally.toml"

# Commands that write: each binary on its own copy of the ledger.
cp -r "$WORK/data" "$WORK/old-data" && cp -r "$WORK/data" "$WORK/new-data"
TOKENTALLY_DATA_DIR="$WORK/old-data" "$OLD_BIN" alerts --unseen --json >"$WORK/old.out"
TOKENTALLY_DATA_DIR="$WORK/new-data" "$NEW_BIN" alerts --unseen --json >"$WORK/new.out"
same "alerts --unseen --json" "$WORK/old.out" "$WORK/new.out"
TOKENTALLY_DATA_DIR="$WORK/old-data" "$OLD_BIN" train >/dev/null 2>&1
TOKENTALLY_DATA_DIR="$WORK/new-data" "$NEW_BIN" train >/dev/null 2>&1
for side in old new; do sed -E 's/"trained_at": [0-9.eE+-]+//' "$WORK/$side-data/cost_predictor.pkl" >"$WORK/$side.out"; done
same "train: the bundle but its time" "$WORK/old.out" "$WORK/new.out"
cp "$WORK/old-data/cost_predictor.pkl" "$WORK/data/"
both "report --json" report --json
both "predict --json" predict --model openai/gpt-4o --tag web --ts 1700000000 --json "Say hello to the team."
both "predict" predict --model anthropic/claude-sonnet-4 "A longer prompt about nothing in particular."

[ "$FAILED" = 0 ] && echo "all outputs byte-identical" || echo "outputs differ"
exit "$FAILED"
