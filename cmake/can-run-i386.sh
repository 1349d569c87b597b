#!/usr/bin/env bash
# Says whether this machine can execute 32-bit x86 programs, which Wine needs. Some virtual
# machines have no 32-bit mode at all: the kernel refuses every i386 program with "Exec format
# error", and nothing that runs under Wine can be tested there.
#
# Exit 0: it can (or the probe could not tell, so that a broken Wine set-up still fails loudly).
# Exit 1: it cannot; the reason is printed on standard output.
#
# It runs a tiny static i386 program of its own (exit(0) through int 0x80), so that it needs no
# 32-bit package. CORVALE_I386_PROBE names another program to run instead (the tests give it one
# that no kernel runs).
set -uo pipefail

program=${CORVALE_I386_PROBE:-}
if [ -z "$program" ]; then
  folder=$(mktemp -d "${TMPDIR:-/tmp}/corvale-i386-probe.XXXXXX") || exit 0
  trap 'rm -rf "$folder"' EXIT
  program=$folder/exit0
  # ELF header (52 bytes), one loadable segment (32 bytes), then the code at 0x08048054:
  # mov eax, 1; xor ebx, ebx; int 0x80.
  printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$program" || exit 0
  chmod +x "$program"
fi

# The shell's own words for a refused program: "cannot execute binary file: Exec format error".
said=$(LC_ALL=C "$program" 2>&1 >/dev/null)
status=$?
if [ "$status" -eq 126 ] && grep -q 'Exec format error' <<<"$said"; then
  echo "this machine cannot execute 32-bit x86 code (the kernel answers \"Exec format error\"), so Wine cannot start"
  exit 1
fi
exit 0
