#!/usr/bin/env bash
# The sanitizer builds compile only the suites that hold a case their test preset selects. This
# holds that choice, made by reading the sources, against the cases themselves: every case the
# native build lists that a sanitizer preset's filter selects must come from a suite that preset's
# build compiles (each preset configured here, nothing built).
# Usage: check_sanitizer_suites.sh SOURCE NATIVE_BUILD PRESET...
set -euo pipefail
source=$1 native=$2
shift 2
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d "$native/sanitizer-suites.XXXXXX")
trap 'rm -rf "$work"' EXIT

for preset in "$@"; do
  # The preset's filter as ctest options: a name to include, a label to exclude.
  mapfile -t options < <(python3 - "$source/CMakePresets.json" "$preset" <<'PY'
import json, sys
presets = json.load(open(sys.argv[1]))["testPresets"]
preset = next(p for p in presets if p["name"] == sys.argv[2])
filter = preset.get("filter", {})
name = filter.get("include", {}).get("name")
label = filter.get("exclude", {}).get("label")
if name: print("-R"); print(name)
if label: print("-LE"); print(label)
PY
  )
  # The suites whose cases it selects, as the native build has them.
  (cd "$native" && ctest -N --show-only=json-v1 "${options[@]}") >"$work/$preset.json"
  python3 - "$work/$preset.json" >"$work/$preset.wanted" <<'PY'
import json, os, sys
for test in json.load(open(sys.argv[1]))["tests"]:
    program = os.path.basename((test.get("command") or [""])[0])
    if program.endswith("_tests"):
        print(program)
PY
  sort -u -o "$work/$preset.wanted" "$work/$preset.wanted"
  [ -s "$work/$preset.wanted" ] || fail "$preset: its filter selects no case of the native build"

  if ! cmake -S "$source" -B "$work/$preset" --preset "$preset" >"$work/$preset.log" 2>&1; then
    fail "$preset does not configure: $(tail -n 20 "$work/$preset.log")"
  fi
  ninja -C "$work/$preset" -t targets all | sed -n 's|^tests/\([a-z0-9_]*_tests\): .*|\1|p' |
    sort -u >"$work/$preset.built"
  # Suites that such a build leaves out for another reason (the heap proof replaces malloc, which
  # the sanitizers have replaced already; Wine's suites need a Windows build) are not its loss.
  missing=$(comm -23 "$work/$preset.wanted" "$work/$preset.built" |
    grep -vxE 'no_heap_tests|wine_[a-z]+_tests' || true)
  [ -z "$missing" ] || fail "$preset selects cases of suites its build leaves out:" $missing
  built=$(wc -l <"$work/$preset.built")
  echo "ok: $preset: each suite holding a case it runs is among the $built its build compiles"
done
