#!/usr/bin/env bash
# Installs what is missing, builds qel, and runs every test: unit and end-to-end tests on a
# normal build, then the unit tests again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_WERROR=ON \
  -DQEL_SANITIZE=address,undefined -DQEL_E2E=OFF
cmake --build build-asan -j "$jobs" --target qel_unit_tests
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
