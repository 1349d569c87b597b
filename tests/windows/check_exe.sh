#!/usr/bin/env bash
# Checks corvale-ups.exe as a Windows loader and an administrator would see it, without running
# it: PE32 for i386, a console program, every import from a DLL that each Windows has (the C++
# runtime is linked in, so nothing needs installing beside it), stripped, and its version
# resource as Explorer shows it.
set -euo pipefail
exe=$1
objdump=i686-w64-mingw32-objdump
fail() { echo "FAIL: $*" >&2; exit 1; }

header=$($objdump -f "$exe")
grep -q 'file format pei-i386' <<<"$header" || fail "not a PE32 i386 file: $header"
private=$($objdump -p "$exe")
grep -q '^Subsystem.*(Windows CUI)' <<<"$private" || fail "not a console program"
grep -qw DLL <<<"$(sed -n '/^Characteristics/,/^$/p' <<<"$private")" && fail "marked as a DLL"

system_dlls=" ADVAPI32.dll KERNEL32.dll msvcrt.dll WS2_32.dll USER32.dll SHELL32.dll ole32.dll
  CRYPT32.dll bcrypt.dll ncrypt.dll WINHTTP.dll Secur32.dll IPHLPAPI.DLL USERENV.dll VERSION.dll mswsock.dll "
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$private" | sort -u)
for dll in $dlls; do
  grep -qiw -- "$dll" <<<"$system_dlls" || fail "imports $dll, which Windows does not ship"
done

sections=$($objdump -h "$exe")
grep -q '\.debug_' <<<"$sections" && fail "carries debug information (not stripped)"
size=$(stat -c %s "$exe")
# Stripped it is about 3 MB; with debug information several times that.
[ "$size" -lt 4500000 ] || fail "$size bytes: is it stripped?"

# Descriptions, then file and product version, file type 1 (application), language and code page.
"$(dirname "$0")/check_version.py" "$exe" \
  "Corvale UPS monitor service|1.0.0.1|corvale-ups|corvale-ups.exe|1.0.0.1|1.0.0.1|1|0809|1200"
echo "ok: PE32 i386 console program, $size bytes, imports: $(tr '\n' ' ' <<<"$dlls")"
