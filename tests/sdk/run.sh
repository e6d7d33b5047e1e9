#!/bin/sh
# The SDK checks, or exit 77 (skipped) where node or the SDKs are missing:
# CI has no npm registry, so `make sdk-deps` is run by hand where there is one.
here=$(dirname "$0")
command -v node >/dev/null 2>&1 || { echo "node is not installed: skipped"; exit 77; }
[ -d "$here/node_modules" ] || { echo "SDKs not installed (run \`make sdk-deps\`): skipped"; exit 77; }
exec node "$here/run.mjs"
