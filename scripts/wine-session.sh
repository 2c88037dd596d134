#!/usr/bin/env bash
# Runs Windows test programs under Wine in one prefix with one long-lived wineserver.
#
# Started cold, Wine takes about half a second per program, and the background services the
# first program starts inherit its standard streams: when a caller captures standard error
# (CTest, pytest) every later run then waits about 2.5 s for those services to let go of the
# pipe. So the session starts the wineserver as persistent and boots the prefix's services
# with their streams on /dev/null, once; after that a run takes about 50 ms.
#
#   wine-session.sh [--default-prefix DIR] start              create/boot the prefix, start the session
#   wine-session.sh [--default-prefix DIR] run PROGRAM [ARG]  start if needed, then run PROGRAM
#   wine-session.sh [--default-prefix DIR] stop               end the session
#   wine-session.sh [--default-prefix DIR] prefix             print the prefix folder
#
# The prefix is $QEL_WINEPREFIX, else DIR, else build-windows/wineprefix in this checkout.
# An idle session ends by itself after $QEL_WINE_IDLE_SECONDS (default 600), so nothing is
# left running for long after the tests; the next run starts it again.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
default_prefix=$repo/build-windows/wineprefix
if [ "${1:-}" = "--default-prefix" ]; then
  default_prefix=$2
  shift 2
fi
prefix=${QEL_WINEPREFIX:-$default_prefix}
idle=${QEL_WINE_IDLE_SECONDS:-600}

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# Without a UTF-8 locale Wine turns non-ASCII arguments, variables and file names into '?'.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
  *.UTF-8 | *.utf8 | *.UTF8 | *.utf-8) ;;
  *) export LC_CTYPE=C.UTF-8 ;;
esac

die() { printf 'wine-session: %s\n' "$*" >&2; exit 1; }

ensure_session() {
  mkdir -p "$prefix"
  # Parallel callers (ctest -j) wait here while the first one boots the prefix.
  exec 9>"$prefix/.qel-session.lock"
  flock 9
  local status=0
  # Neither the server nor the services may inherit the lock (9>&-), or it is never released.
  wineserver -p"$idle" </dev/null >/dev/null 2>&1 9>&- || status=$?
  case $status in
    0)  # A new server: boot the prefix (created on first use) with its services on /dev/null.
        if ! WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i </dev/null >/dev/null 2>&1 9>&-; then
          wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
          die "wineboot failed in $prefix"
        fi ;;
    2)  ;;  # Already running.
    *)  die "wineserver could not start for $prefix (status $status)" ;;
  esac
  exec 9>&-
}

command -v wine >/dev/null && command -v wineserver >/dev/null ||
  die "wine is missing (scripts/setup.sh installs it)"

case "${1:-}" in
  start)
    ensure_session ;;
  run)
    [ $# -ge 2 ] || die "usage: wine-session.sh run PROGRAM [ARGS...]"
    shift
    ensure_session
    exec wine "$@" ;;
  stop)
    if [ -d "$prefix" ]; then wineserver -k </dev/null >/dev/null 2>&1 || true; fi ;;
  prefix)
    echo "$prefix" ;;
  *)
    die "usage: wine-session.sh [--default-prefix DIR] start|run PROGRAM [ARGS...]|stop|prefix" ;;
esac
