#!/usr/bin/env bash
# Soak: SENDS sends (default 200) of small folders, and every 40th of a 17 MiB file, in one
# process built with AddressSanitizer and UBSan, against the stand-in service on 127.0.0.1.
# Fails on a leak (LeakSanitizer at exit), on open descriptors that grow between the first
# and the last send, on a send or transfer gone wrong, and when connections are not reused.
# Builds the soak driver in build-asan (the sanitizer build of scripts/test.sh) first.
#
#   scripts/soak.sh [SENDS]
set -euo pipefail
cd "$(dirname "$0")/.."

sends=${1:-200}
case $sends in
  '' | *[!0-9]*) echo "usage: scripts/soak.sh [SENDS]" >&2; exit 2 ;;
esac

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_WERROR=ON \
  -DQEL_SANITIZE=address,undefined -DQEL_E2E=OFF >/dev/null
cmake --build build-asan -j "${QEL_JOBS:-4}" --target qel_soak

ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  python3 tests/soak/soak.py --sends "$sends" build-asan/qel_soak
