#!/usr/bin/env bash
# Runs the local stand-in service in the foreground, for trying qel by hand: it listens on a
# free port of 127.0.0.1 (or the one given with --port), prints the lines that point qel at
# it, and stops on Ctrl-C. It needs only python3; nothing is built or installed.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 tests/e2e/fake_service.py "$@"
