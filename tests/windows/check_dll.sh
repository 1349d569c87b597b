#!/usr/bin/env bash
# Checks the built DLL as a Windows loader would see it: PE32 for i386, exactly the six entry
# points under plain names, and imports from KERNEL32, ADVAPI32 and msvcrt only, none of them
# newer than Windows 2000; and its version resource as Explorer shows it.
set -euo pipefail
dll=$1
objdump=i686-w64-mingw32-objdump
fail() { echo "FAIL: $*" >&2; exit 1; }

header=$($objdump -f "$dll")
grep -q 'file format pei-i386' <<<"$header" || fail "not a PE32 i386 file: $header"
$objdump -p "$dll" | sed -n '/^Characteristics/,/^$/p' | grep -qw DLL || fail "not marked as a DLL"

exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[\s*[0-9]*\] \(.*\)$/\1/p' | sort | tr '\n' ' ')
expected="UPSCancelWait UPSGetState UPSInit UPSStop UPSTurnOff UPSWaitForStateChange "
[ "$exports" = "$expected" ] || fail "exports are '$exports', expected '$expected'"

dlls=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | sort | tr '\n' ' ')
[ "$dlls" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] || fail "imports DLLs '$dlls'"

imports=$($objdump -p "$dll" | sed -n 's/^\s*[0-9a-f]\{4,\}\s\+[0-9]\+\s\+\([A-Za-z_][A-Za-z0-9_]*\)$/\1/p')
for newer in AcquireSRWLockExclusive InitializeSRWLock SleepConditionVariableCS \
             InitializeConditionVariable CancelIoEx GetTickCount64 InitializeCriticalSectionEx; do
  grep -qx "$newer" <<<"$imports" && fail "imports $newer, which Windows 2000 lacks"
done
# Descriptions, then file and product version, file type 2 (DLL), language and code page.
"$(dirname "$0")/check_version.py" "$dll" \
  "Corvale UPS Minidriver|1.0b|CorvaleUPS|CorvaleUPS.dll|1.0.0.1|1.0.0.1|2|0809|1200"
size=$(stat -c %s "$dll")
echo "ok: PE32 i386 DLL, $size bytes, exports: $exports"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
