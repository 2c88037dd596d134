#!/usr/bin/env bash
# Installs the Debian packages that building and testing qel need.
# Safe to run again: only what is missing is installed.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  python3 python3-pytest python3-cryptography ca-certificates
  liblnk-utils
)
# The upload benchmark (bench/run.sh) also needs a fast HTTP sink and the tools it compares with.
if [ "${1:-}" = "--bench" ]; then
  packages+=(nginx-light curl openssl time)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
