#!/usr/bin/env bash
# Builds the Debian package of qel into build/: installs what is missing, builds qel, and
# has CPack write build/qel_<version>_<architecture>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target qel
(cd build && cpack -G DEB)
