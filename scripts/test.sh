#!/usr/bin/env bash
# Installs what is missing, builds qel, and runs every test: unit, end-to-end and TLS tests
# on a normal build, then the unit tests again and a short soak under AddressSanitizer and
# UBSan, the upload under ThreadSanitizer, every fuzz target for 20 seconds, and last the
# Windows build's unit, end-to-end and TLS tests under Wine.
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
# A short soak in the same build: 30 sends in one process, no leak, no descriptor growth.
QEL_JOBS=$jobs bash scripts/soak.sh 30

# ThreadSanitizer: the upload's unit tests and one parallel upload end to end.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON \
  -DQEL_SANITIZE=thread -DQEL_E2E=OFF
cmake --build build-tsan -j "$jobs" --target qel qel_unit_tests
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
build-tsan/tests/qel_unit_tests \
  --gtest_filter='ChunkArithmetic.*:RetryLoop.*:ChunkWorker.*:Upload.*:Progress.*'
tsan_qel="$PWD/build-tsan/qel"
(cd tests/e2e && QEL_BINARY="$tsan_qel" /usr/bin/python3 -m pytest -q \
  -p no:cacheprovider test_send_upload.py -k test_round_trip_decrypts_every_file_byte_for_byte)
unset TSAN_OPTIONS

# The fuzz targets, side by side, 20 seconds each on their seed corpora.
QEL_BUILD_JOBS="$jobs" bash scripts/fuzz.sh 20

# Windows: qel.exe and the unit tests cross-built with MinGW-w64, the unit tests and the
# end-to-end tests run under Wine, each in one prefix with one wineserver
# (scripts/wine-session.sh), ended when this script ends.
stop_wine() {
  scripts/wine-session.sh --default-prefix "$PWD/build-windows/wineprefix" stop
  QEL_WINEPREFIX="$PWD/build-windows/wineprefix-e2e" scripts/wine-session.sh stop
}
trap stop_wine EXIT
QEL_JOBS=$jobs bash scripts/build-windows.sh -DQEL_WERROR=ON
ctest --test-dir build-windows --output-on-failure -j "$jobs"
