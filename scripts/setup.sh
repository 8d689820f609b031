#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, then configures and
# builds into build/ (or the folder given as $1, with extra CMake arguments).
# The windows speak Chinese: without a Chinese font Linux shows boxes.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build qtbase5-dev libspdlog-dev nginx-light libnginx-mod-stream curl python3 strace e2fsprogs fonts-wqy-microhei clang-14 libfuzzer-14-dev libsodium-dev libzstd-dev libdivsufsort-dev libssl-dev pkg-config squid apache2-utils xvfb xauth)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build"
