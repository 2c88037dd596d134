#!/usr/bin/env bash
# Builds qel and runs it against the local stand-in service: installs what is missing,
# builds into build/, starts the stand-in on a free port, and runs real qel commands with a
# temporary HOME so the user's own configuration is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target qel

work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

python3 tests/e2e/fake_service.py --port-file "$work/port" >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  sleep 0.1
done
[ -s "$work/port" ] || { echo "the stand-in service did not start" >&2; cat "$work/service.log" >&2; exit 1; }

mkdir -p "$work/home"
export HOME="$work/home"
unset XDG_CONFIG_HOME ALL_PROXY all_proxy HTTPS_PROXY https_proxy HTTP_PROXY http_proxy
export QEL_API_URL="http://127.0.0.1:$(cat "$work/port")/api/v1"
# No key from the environment: the account is connected by a device-code sign-in, which
# the stand-in approves after one pending poll; the token is saved in the temporary HOME.
unset QEL_API_KEY QEL_LANG

run() {
  echo "\$ qel $*"
  build/qel "$@"
  echo
}

# A small folder to send, end-to-end encrypted: the key travels only in the printed link.
mkdir -p "$work/Holiday/2024"
printf 'Day one: the sea.\n' >"$work/Holiday/notes.txt"
head -c 300000 /dev/urandom >"$work/Holiday/2024/beach.jpg"

run login
run whoami
run send "$work/Holiday" --title "Holiday"
run list
