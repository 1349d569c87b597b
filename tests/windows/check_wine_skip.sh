#!/usr/bin/env bash
# Where this machine cannot execute 32-bit x86 code, every test that needs Wine must be reported
# skipped with the reason, never passed. Forces that answer with a program no kernel runs (an i386
# ELF core file), whatever this machine can do, and checks each way a Wine test is run.
# Usage: check_wine_skip.sh SOURCE WINDOWS_BUILD WINE_DLL_TESTS WINE_HOST_TESTS
set -euo pipefail
source=$1 windows_build=$2 wine_dll_tests=$3 wine_host_tests=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An ELF header for i386 whose type is "core": the kernel refuses it with ENOEXEC everywhere,
# and binfmt_misc's emulators take only executables, so none of them runs it either.
refused=$work/refused
printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x04\x00\x03\x00\x01\x00\x00\x00\x00\x00\x00\x00\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$refused"
chmod +x "$refused"

# The probe's two answers.
if reason=$(CORVALE_I386_PROBE=$refused "$source/cmake/can-run-i386.sh"); then
  fail "the probe says a refused program runs"
fi
grep -q 'cannot execute 32-bit x86 code.*Exec format error' <<<"$reason" || fail "reason: $reason"
CORVALE_I386_PROBE=/bin/true "$source/cmake/can-run-i386.sh" >/dev/null ||
  fail "the probe says a program that runs cannot"
# A program that runs and fails is no reason to skip: a broken Wine must still fail its tests.
CORVALE_I386_PROBE=/bin/false "$source/cmake/can-run-i386.sh" >/dev/null ||
  fail "the probe takes a failing program for a refused one"
echo "ok: the probe tells a refused program from one that runs"

export CORVALE_I386_PROBE=$refused

# The runner: exit 77 with the reason, and no Wine prefix made.
set +e
said=$(CORVALE_WINEPREFIX=$work/prefix "$source/cmake/wine-run.sh" "$windows_build/tests/unit_tests.exe" 2>&1)
status=$?
set -e
[ "$status" -eq 77 ] || fail "wine-run.sh exited $status: $said"
grep -q '^SKIPPED: this machine cannot execute 32-bit x86 code' <<<"$said" || fail "said: $said"
[ ! -e "$work/prefix" ] || fail "wine-run.sh made a prefix anyway"
echo "ok: wine-run.sh skips with the reason"

# The cross-built suites, as CTest reports them.
report=$(ctest --test-dir "$windows_build" -R '_under_wine$' 2>&1 || true)
skipped=$(grep -c '\*\*\*Skipped' <<<"$report" || true)
[ "$skipped" -eq 2 ] || fail "CTest reported $skipped of the 2 Windows suites skipped:
$report"
grep -q 'Passed' <<<"$report" && fail "a Windows suite passed without Wine:
$report"
echo "ok: CTest reports both Windows suites skipped"

# The native suites that drive the DLL and the program under Wine: every case skipped, with the
# reason, which is what CTest's skip pattern for GoogleTest cases reads.
for suite in "$wine_dll_tests" "$wine_host_tests"; do
  out=$("$suite" 2>&1) || fail "$(basename "$suite") failed: $out"
  total=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran.*/\1/p' <<<"$out")
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?.*/\1/p' <<<"$out")
  [ -n "$total" ] && [ "$total" -gt 0 ] && [ "$total" = "$skipped" ] ||
    fail "$(basename "$suite"): $skipped of $total cases skipped:
$out"
  grep -q 'cannot execute 32-bit x86 code' <<<"$out" || fail "$(basename "$suite") gives no reason"
  grep -q '^\[       OK \]' <<<"$out" && fail "$(basename "$suite"): a case passed without Wine"
  echo "ok: $(basename "$suite"): all $total cases skipped with the reason"
done
