# Shared by the scripts here that start a proxy, sourced once BUILD, WORK,
# P_MOCK, P_NGINX, P_TT and NGINX_PROCESSES (nginx's process directives) are
# set: starts the mock provider and writes nginx's configuration, the budgets of
# the tokentally under test ($WORK/home) and wrk's request script. Whatever
# is started and added to `pids` is stopped on exit.
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
BIN="$ROOT/$BUILD/bin"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

"$BIN/mock_provider" $P_MOCK 1 & pids+=($!)

mkdir -p "$WORK/nginx/logs"
cat > "$WORK/nginx/nginx.conf" <<CONF
$NGINX_PROCESSES
daemon off;
error_log $WORK/nginx/logs/error.log warn;
pid $WORK/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  upstream mock { server 127.0.0.1:$P_MOCK; keepalive 64; }
  server {
    listen 127.0.0.1:$P_NGINX;
    location / {
      proxy_pass http://mock;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_buffering off;
    }
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
# Rate limits high enough never to refuse a call of a run, so that every call
# pays for them: appended with BENCH_LIMITS=1 (`make bench` with limits), and
# what paired_load.sh --limits compares against none.
LIMITS_TOML=$'[limits]\nrpm = 100000000\ntpm = 1000000000000\nmax_parallel = 10000\n'
[ -z "${BENCH_LIMITS:-}" ] || printf '%s' "$LIMITS_TOML" >> "$WORK/home/.tokentally.toml"
# A home of its own at DIR whose configuration is the one above plus TEXT.
home_with() {  # dir text
  mkdir -p "$1"
  { cat "$WORK/home/.tokentally.toml"; printf '%s' "$2"; } > "$1/.tokentally.toml"
}
FULL_TOML=$'[ledger]\nsynchronous = "full"\n'

# BENCH_CACHE=exact measures the exact cache's hits instead (every call after
# the first asks the same question). BENCH_DELAY_MS makes each connection wait
# that long between its calls, so that two proxies are compared at one offered
# load (latency at full load mostly measures how much each one serves).
cat > "$WORK/post.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"model": "gpt-4o-mini", "messages": [{"role": "user", "content": "Say hello."}]}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer sk-bench"
wrk.headers["X-Tokentally-Target"] = "http://127.0.0.1:$P_MOCK"
wrk.headers["X-Tokentally-Tag"] = "bench"
wrk.headers["X-Tokentally-Cache"] = "${BENCH_CACHE:-off}"
LUA
[ -z "${BENCH_DELAY_MS:-}" ] || printf 'function delay() return %d end\n' "$BENCH_DELAY_MS" >> "$WORK/post.lua"

# The commit measured, and whether the tree differs from it. Files under
# bench/results/ do not count: appending a run there changes no binary.
revision() {
  local r
  r=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null) || { echo unknown; return; }
  git -C "$ROOT" diff --quiet HEAD -- . ':(exclude)bench/results' 2>/dev/null || r+=" with uncommitted changes"
  echo "$r"
}

# A run's tables also go to a dated file under bench/results/, one per UTC
# day and script, each run appended under a header naming its time, revision
# and machine, so that a figure can be traced to what produced it. run.sh
# hands its own file to the scripts it runs through BENCH_RESULTS; set by
# hand for another script, it sends that script's tables there, headerless.
results_open() {  # slug title: sets RESULTS
  if [ -n "${BENCH_RESULTS:-}" ]; then RESULTS=$BENCH_RESULTS; return; fi
  RESULTS="$HERE/results/$(date -u +%F)-$1.md"
  mkdir -p "$HERE/results"
  [ -s "$RESULTS" ] || printf '# %s, %s\n' "$2" "$(date -u +%F)" >"$RESULTS"
  printf '\n## %s, %s, revision %s, %s cores (nproc)\n\n' "$2" "$(date -u '+%Y-%m-%d %H:%M UTC')" \
    "$(revision)" "$(nproc)" >>"$RESULTS"
}

# Until each port answers (any status).
wait_for_ports() {
  for p in "$@"; do
    for _ in $(seq 100); do curl -s -o /dev/null "127.0.0.1:$p/" && break; sleep 0.1; done
  done
}
