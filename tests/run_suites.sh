#!/usr/bin/env bash
# Runs the test suite of each CTest preset named, every one of them even when an earlier one
# fails, then sums up: the counts, each suite that failed, and how many tests were skipped and why
# (so that a run on a machine where Wine cannot start is never taken for a full one), and which
# Windows build ran the Windows tests: the shipped 32-bit one, or its 64-bit twin. A Windows build
# that is not the one for the tests here runs only its file checks (the tests labelled "wine" are
# left to the other). A preset named twice runs once.
# Usage: run_suites.sh PRESET...
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
windows_tests=$(cmake/windows-test-build.sh 2>/dev/null)
windows_tests_why=$(cmake/windows-test-build.sh 2>&1 >/dev/null)

passed=0 failed=0 skipped=0
failed_suites=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT

ran=" "
for preset in "$@"; do
  [[ "$ran" == *" $preset "* ]] && continue
  ran+="$preset "
  options=()
  if [[ "$preset" == windows* && "$preset" != "$windows_tests" ]]; then
    options=(-LE wine)
  fi
  echo "=== ctest --preset $preset ${options[*]}"
  ctest --preset "$preset" "${options[@]}" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  # "97% tests passed, 2 tests failed out of 71"; skipped tests count as passed there and are
  # listed as "  12 - name (Skipped)" under "The following tests did not run:".
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$summary" ]; then
    failed_suites+=("$preset")
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  failures=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  skips=$(grep -cE '^\s*[0-9]+ - .* \(Skipped\)$' "$log" || true)
  passed=$((passed + total - failures - skips))
  failed=$((failed + failures))
  skipped=$((skipped + skips))
  [ "$status" -eq 0 ] || failed_suites+=("$preset")
done

echo
echo "tests: $passed passed, $failed failed, $skipped skipped"
[ ${#failed_suites[@]} -eq 0 ] || echo "FAILED suites: ${failed_suites[*]}"
if [[ "$ran" == *" $windows_tests "* ]]; then
  case "$windows_tests" in
    windows) echo "Windows tests: the shipped 32-bit build (build/windows) under 32-bit Wine." ;;
    *) echo "Windows tests: the 64-bit twin (build/windows64) under 64-bit Wine, because" \
         "$windows_tests_why; the shipped 32-bit build had its file checks." ;;
  esac
fi
if [ "$skipped" -gt 0 ]; then
  if why=$(cmake/wine-run.sh --can-run "build/$windows_tests/CorvaleUPS.dll" 2>&1); then
    echo "SKIPPED $skipped tests: see the lists of tests that did not run above."
  else
    echo "SKIPPED $skipped tests: ${why#SKIPPED: }; everything that needs Wine was skipped, the rest ran."
  fi
fi
[ ${#failed_suites[@]} -eq 0 ]
