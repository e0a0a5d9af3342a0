#!/usr/bin/env bash
# Installs the Debian packages tapgate needs (build, tests and their loopback peers) and builds it.
# Usage: ./setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")"

packages=(
  g++ cmake make pkg-config ccache
  libssl-dev nlohmann-json3-dev libpaho-mqtt-dev libpaho-mqttpp-dev libcurl4-openssl-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  mosquitto mosquitto-clients lrzsz python3-pyftpdlib python3-openssl openssl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" "$@"
cmake --build "$build" -j "$(nproc)"
