#!/usr/bin/env bash
# Installs the Debian packages tokentally needs to build, test and benchmark,
# only those that are missing. Idempotent; runs as root or through sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git ca-certificates openssl
  libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
  libssl-dev libsqlitecpp-dev libsqlite3-dev sqlite3
  libtomlplusplus-dev libspdlog-dev libfmt-dev
  libxgboost-dev libfinal-dev libgpm-dev libcli11-dev
  zlib1g-dev libbrotli-dev libjemalloc-dev
  libpq-dev postgresql-15
  libgtest-dev libgmock-dev libbenchmark-dev
  wrk nginx valgrind tmux curl clang libclang-rt-14-dev ccache
  prometheus-cpp-dev libjs-chart.js chromium prometheus
  # make package (dpkg-shlibdeps) and the check of the user unit (systemd-analyze)
  dpkg-dev systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
