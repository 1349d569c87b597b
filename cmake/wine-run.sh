#!/usr/bin/env bash
# Runs a Windows program, or a program Wine itself provides (`sc`, `reg`, `net`, `cmd`), under Wine
# in the project's private prefix (created on first use), with the loader that fits: 32-bit Wine
# for the shipped 32-bit build, 64-bit Wine (`wine64`) for its 64-bit twin. The kind is read from
# the program's PE header, else from CORVALE_WINE_ARCH (win32 or win64), else from the prefix.
# CORVALE_WINEPREFIX overrides the prefix; it defaults to a folder beside the program.
# Where the loader cannot run here, the reason is printed and the exit code is 77 (CTest's
# SKIP_RETURN_CODE), so that nobody takes a test that did not run for a pass or for a broken Wine.
# `wine-run.sh --can-run PROGRAM` only says so: exit 0, or 77 with the reason, nothing started.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*" >&2; exit 77; }

# win32 or win64 from a PE file's machine field; nothing for anything else.
pe_kind() {
  local offset signature machine
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 0
  signature=$(od -An -tx1 -j"$offset" -N4 "$1" 2>/dev/null | tr -d ' ')
  [ "$signature" = 50450000 ] || return 0
  machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  case "$machine" in
    014c) echo win32 ;;
    8664) echo win64 ;;
  esac
}

check_only=false
if [ "${1:-}" = --can-run ]; then
  check_only=true
  shift
fi
program=${1:-}
arch=
[ -f "$program" ] && arch=$(pe_kind "$program")
arch=${arch:-${CORVALE_WINE_ARCH:-}}
if [ -n "${CORVALE_WINEPREFIX:-}" ]; then
  prefix=$CORVALE_WINEPREFIX
elif [ -n "${WINEPREFIX:-}" ]; then
  prefix=$WINEPREFIX
elif [ -f "$program" ]; then
  prefix=$(cd "$(dirname "$program")" && pwd)/wineprefix
elif $check_only; then
  prefix=/nonexistent
else
  echo "wine-run.sh: no prefix for '$program': set CORVALE_WINEPREFIX" >&2
  exit 2
fi
[ -n "$arch" ] || arch=$(sed -n 's/^#arch=//p' "$prefix/system.reg" 2>/dev/null | head -1)
arch=${arch:-win32}

case "$arch" in
  win32)
    if ! reason=$("$here/can-run-i386.sh"); then
      skip "$reason"
    fi
    loader=/usr/lib/wine/wine
    [ -x "$loader" ] ||
      skip "32-bit Wine is not installed (wine32:i386); the 64-bit twin runs these tests: make windows64"
    ;;
  win64)
    loader=/usr/lib/wine/wine64
    [ -x "$loader" ] || skip "64-bit Wine is not installed (wine64)"
    # What Wine starts for the program's own children, as Debian's wine does without wine32.
    export WINELOADER=$loader
    ;;
  *) echo "wine-run.sh: unknown CORVALE_WINE_ARCH '$arch'" >&2; exit 2 ;;
esac
$check_only && exit 0

export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  # One initialisation at a time: ctest may start several tests together.
  exec 9>"$prefix.lock"
  flock 9
  [ -f "$prefix/system.reg" ] || "$loader" wineboot -i >/dev/null 2>&1
  wineserver -w
  flock -u 9
fi
# Start the server ourselves so that its own output goes to a log, not into the caller's: it prints
# a dump of its objects when a serial device it holds hangs up, as test pseudo-terminals do.
wineserver 2>>"$prefix/wineserver.log" || true
exec "$loader" "$@"
