#!/usr/bin/env bash
# Names the Windows build that runs the Windows tests on this machine: "windows", the shipped
# 32-bit build under 32-bit Wine, where the kernel runs 32-bit code and 32-bit Wine is installed;
# otherwise "windows64", its 64-bit twin (the same sources) under 64-bit Wine. The reason goes to
# standard error. CORVALE_WINDOWS_TESTS=windows|windows64 chooses by hand (the twin on demand).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

case "${CORVALE_WINDOWS_TESTS:-}" in
  windows | windows64)
    echo "$CORVALE_WINDOWS_TESTS"
    echo "chosen by CORVALE_WINDOWS_TESTS" >&2
    exit 0
    ;;
  "") ;;
  *) echo "CORVALE_WINDOWS_TESTS is windows or windows64, not '$CORVALE_WINDOWS_TESTS'" >&2; exit 2 ;;
esac
if ! reason=$("$here/can-run-i386.sh"); then
  echo windows64
  echo "$reason" >&2
elif [ ! -x /usr/lib/wine/wine ]; then
  echo windows64
  echo "32-bit Wine (wine32:i386) is not installed" >&2
else
  echo windows
  echo "this machine runs 32-bit code and 32-bit Wine is installed" >&2
fi
