#!/usr/bin/env bash
# Upload benchmark: qel send against a local nginx sink, beside curl and openssl speed.
# Not a test: it prints tables of medians over several runs; the README's Performance
# section shows them and bench/README.md explains them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --bench
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target qel
exec /usr/bin/python3 bench/bench.py --qel build/qel "$@"
