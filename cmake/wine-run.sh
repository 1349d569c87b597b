#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix (created on first use).
# CORVALE_WINEPREFIX overrides the prefix; it defaults to a folder beside the build's programs.
set -euo pipefail
# On a machine that cannot execute 32-bit x86 code Wine cannot start: say why and report the test
# as skipped (CTest's SKIP_RETURN_CODE), so that nobody takes it for a pass or for a broken Wine.
if ! reason=$("$(dirname "$0")/can-run-i386.sh"); then
  echo "SKIPPED: $reason" >&2
  exit 77
fi
prefix=${CORVALE_WINEPREFIX:-${WINEPREFIX:-$(cd "$(dirname "$1")" && pwd)/wineprefix}}
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  # One initialisation at a time: ctest may start several tests together.
  exec 9>"$prefix.lock"
  flock 9
  [ -f "$prefix/system.reg" ] || wineboot -i >/dev/null 2>&1
  wineserver -w
  flock -u 9
fi
# Start the server ourselves so that its own output goes to a log, not into the caller's: it prints
# a dump of its objects when a serial device it holds hangs up, as test pseudo-terminals do.
wineserver 2>>"$prefix/wineserver.log" || true
exec wine "$@"
