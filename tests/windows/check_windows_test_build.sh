#!/usr/bin/env bash
# Where this machine cannot execute 32-bit x86 code, the Windows tests run on the 64-bit twin of the
# Windows build under 64-bit Wine, and are reported passed there, never skipped; a 32-bit program
# is still never taken for one that ran. Forces "cannot execute 32-bit code" with a program no
# kernel runs (an i386 ELF core file), whatever this machine can do.
# Usage: check_windows_test_build.sh SOURCE WINDOWS_BUILD WINE_DLL_TESTS WINE_HOST_TESTS
# (WINDOWS_BUILD is the build the native suites drive: the shipped one or the twin.)
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

# The choice of build: the twin, with the reason; by hand when asked.
chosen=$(CORVALE_WINDOWS_TESTS='' "$source/cmake/windows-test-build.sh" 2>"$work/why")
[ "$chosen" = windows64 ] || fail "chose '$chosen' where 32-bit code cannot run"
grep -q 'cannot execute 32-bit x86 code' "$work/why" || fail "no reason: $(cat "$work/why")"
[ "$(CORVALE_WINDOWS_TESTS=windows "$source/cmake/windows-test-build.sh" 2>/dev/null)" = windows ] ||
  fail "CORVALE_WINDOWS_TESTS=windows is not obeyed"
echo "ok: the twin is chosen where 32-bit code cannot run"

# A 32-bit program (a PE header is all the runner reads) is skipped with the reason, no prefix
# made; the runner tells the kinds apart by the header alone.
pe() {
  head -c 64 /dev/zero >"$1"
  printf '\x40' | dd of="$1" bs=1 seek=60 conv=notrunc status=none
  printf 'PE\0\0%b' "$2" >>"$1"
}
pe "$work/program32.exe" '\x4c\x01'
set +e
said=$(CORVALE_WINEPREFIX=$work/prefix "$source/cmake/wine-run.sh" "$work/program32.exe" 2>&1)
status=$?
set -e
[ "$status" -eq 77 ] || fail "wine-run.sh exited $status: $said"
grep -q '^SKIPPED: this machine cannot execute 32-bit x86 code' <<<"$said" || fail "said: $said"
[ ! -e "$work/prefix" ] || fail "wine-run.sh made a prefix anyway"
pe "$work/program64.exe" '\x64\x86'
if [ -x /usr/lib/wine/wine64 ]; then
  "$source/cmake/wine-run.sh" --can-run "$work/program64.exe" ||
    fail "a 64-bit program is refused where 64-bit Wine is installed"
fi
echo "ok: wine-run.sh skips a 32-bit program with the reason and takes a 64-bit one"

# The machine field of the build's DLL: 8664 for x86-64, 014c for i386.
dll=$windows_build/CorvaleUPS.dll
machine=$(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$dll") + 4)) -N2 "$dll" | tr -d ' ')
case "$machine" in
  8664) ;;
  *)
    # The native suites drive the shipped 32-bit build here: under the refusal, every case is
    # skipped with the reason, never passed.
    for suite in "$wine_dll_tests" "$wine_host_tests"; do
      out=$("$suite" 2>&1) || fail "$(basename "$suite") failed: $out"
      total=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran.*/\1/p' <<<"$out")
      skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?.*/\1/p' <<<"$out")
      [ -n "$total" ] && [ "$total" -gt 0 ] && [ "$total" = "$skipped" ] ||
        fail "$(basename "$suite"): $skipped of $total cases skipped:
$out"
      grep -q 'cannot execute 32-bit x86 code' <<<"$out" || fail "$(basename "$suite") gives no reason"
      echo "ok: $(basename "$suite"): all $total cases skipped with the reason"
    done
    exit 0
    ;;
esac

# The native suites drive the twin: under the refusal its Windows suites and a case of each native
# suite that drives its DLL and program still run, and pass.
report=$(ctest --test-dir "$windows_build" -L wine 2>&1) || fail "the twin's Windows suites: $report"
grep -q 'Skipped' <<<"$report" && fail "a Windows suite was skipped on the twin:
$report"
passed=$(grep -c ' Passed ' <<<"$report" || true)
[ "$passed" -ge 2 ] || fail "$passed of the twin's Windows suites passed:
$report"
echo "ok: the twin's $passed Windows suites passed"
for run in "$wine_dll_tests:WineDllTest.InitOnAnsweringUpsPublishesToTheWindowsRegistry" \
           "$wine_host_tests:WineHostTest.StatusThroughTheDll"; do
  suite=${run%%:*}
  out=$("$suite" --gtest_filter="${run#*:}" 2>&1) || fail "$(basename "$suite") failed: $out"
  grep -q '^\[  PASSED  \] 1 test' <<<"$out" || fail "$(basename "$suite") did not pass: $out"
  echo "ok: ${run#*:} passed on the twin"
done
