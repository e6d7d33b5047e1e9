# Sourced with REV and ROOT set: builds revision REV (Release, target
# tokentally) from `git archive` in a directory of its own
# under /tmp, kept for later runs of the same commit, and sets OLD_TREE and
# OLD_BIN (its tokentally binary).
HASH=$(git -C "$ROOT" rev-parse --verify "$REV^{commit}")
OLD_TREE=/tmp/tokentally-rev-$HASH
OLD_BIN="$OLD_TREE/build/bin/tokentally"
if [ ! -x "$OLD_BIN" ]; then
  echo "building $REV ($HASH) in $OLD_TREE ..." >&2
  rm -rf "$OLD_TREE" && mkdir -p "$OLD_TREE"
  git -C "$ROOT" archive "$HASH" | tar -x -C "$OLD_TREE"
  CCACHE_BASEDIR="$OLD_TREE" cmake -S "$OLD_TREE" -B "$OLD_TREE/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$OLD_TREE.log" 2>&1
  CCACHE_BASEDIR="$OLD_TREE" cmake --build "$OLD_TREE/build" -j "$(nproc)" --target tokentally >>"$OLD_TREE.log" 2>&1
fi
