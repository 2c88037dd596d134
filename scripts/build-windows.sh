#!/usr/bin/env bash
# Cross-builds the Windows qel.exe and its unit tests into build-windows/: static OpenSSL and
# libcurl come from scripts/build-windows-deps.sh (built once, then cached), qel.exe is
# stripped and packed with its README into build-windows/qel-<version>-windows-x86_64.zip
# (scripts/package-windows.sh). Extra arguments go to CMake's configure step (e.g.
# -DQEL_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${QEL_JOBS:-4}
deps=$(QEL_JOBS=$jobs bash scripts/build-windows-deps.sh)

# The end-to-end tests run qel.exe under Wine in a prefix of their own (tests/e2e/conftest.py);
# the TLS tests run a test copy of qel.exe (qel_tls_test.exe).
cmake -S . -B build-windows -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DQEL_WINDOWS_DEPS="$deps" \
  -DQEL_E2E=ON \
  -DQEL_TLS_TESTS=ON \
  "$@"
# The unit tests are listed by running them under Wine right after they are linked: boot the
# prefix first, so that listing does not also pay for creating it.
scripts/wine-session.sh --default-prefix "$PWD/build-windows/wineprefix" start
cmake --build build-windows -j "$jobs" --target qel qel_unit_tests qel_tls_test qel_test_launch
x86_64-w64-mingw32-strip build-windows/qel.exe
echo "qel.exe: $PWD/build-windows/qel.exe"

bash scripts/package-windows.sh build-windows
