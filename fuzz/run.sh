#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# the given number of seconds (default 60). Any crash, sanitizer report,
# broken property, leak or hang fails the run; the input that caused it is
# left in build-fuzz/artifacts/. New inputs found go to build-fuzz/corpus/,
# never into the committed seeds under fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${1:-60}"
BUILD="${FUZZ_BUILD_DIR:-build-fuzz}"
JOBS="${JOBS:-$(nproc)}"
TARGETS=(fuzz_json fuzz_config fuzz_usage_cache_key fuzz_decode_body fuzz_ndjson fuzz_sse fuzz_client_answer)
CXX_CLANG="${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14)}"

cmake -S . -B "$BUILD" -DTOKENTALLY_FUZZ=ON -DCMAKE_CXX_COMPILER="$CXX_CLANG" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"

# Halting on the first report is what turns a sanitizer finding into a
# failed run; the libraries' own SQLite and logger singletons are not leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

mkdir -p "$BUILD/artifacts"
status=0
for t in "${TARGETS[@]}"; do
  mkdir -p "$BUILD/corpus/$t"
  log="$BUILD/$t.log"
  echo "== $t: ${SECONDS_PER_TARGET}s"
  if "$BUILD/bin/$t" "$BUILD/corpus/$t" "fuzz/corpus/$t" \
      -dict="fuzz/$t.dict" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t-" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" | tail -n 2 || true
  else
    status=1
    echo "!! $t failed; log: $log" >&2
    tail -n 40 "$log" >&2
  fi
done
exit $status
