#!/usr/bin/env bash
# Installs the Debian packages that building and testing qel need, for Linux and for Windows.
# Safe to run again: only what is missing is installed.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  python3 python3-pytest python3-cryptography ca-certificates
  liblnk-utils
  # The Debian package's dependencies are read from the binary with these (scripts/package.sh).
  dpkg-dev file
  # The Windows build: MinGW-w64 cross compiler, zlib for it, Wine to run the tests, and
  # what building OpenSSL, libcurl and GoogleTest from Debian's sources takes.
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 make perl googletest
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

[ ${#missing[@]} -gt 0 ] || exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "These Debian packages are missing: ${missing[*]}" >&2
    echo "Installing them needs root, and sudo is not available. As root, run:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    echo "then run this again." >&2
    exit 1
  fi
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
