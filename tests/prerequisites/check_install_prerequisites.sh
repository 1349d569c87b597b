#!/usr/bin/env bash
# cmake/install-prerequisites.sh against a package archive in a bad state, played by a fake
# apt-get, dpkg and dpkg-query on PATH (for this test only): an index that fails to download, 32-bit
# Wine that cannot be installed, a package the build needs that cannot be installed.
# Usage: check_install_prerequisites.sh SOURCE
set -euo pipefail
source=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# The fakes keep their state in files: what is installed, the foreign architectures, every call.
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/calls"
case "$1" in
  update)
    if [ -e "$FAKE/update-fails" ] && grep -qx i386 "$FAKE/foreign" 2>/dev/null; then
      echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
  install)
    shift
    simulate=false packages=()
    for word in "$@"; do
      case "$word" in -s) simulate=true ;; -*) ;; *) packages+=("$word") ;; esac
    done
    for package in "${packages[@]}"; do
      if grep -qxF "$package" "$FAKE/refused"; then
        echo "The following packages have unmet dependencies:"
        echo " $package : Depends: libwine (= 8.0~repack-4) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
      fi
    done
    $simulate || printf '%s\n' "${packages[@]}" >>"$FAKE/installed"
    exit 0 ;;
esac
exit 0
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE/calls"
case "$1" in
  --print-foreign-architectures) cat "$FAKE/foreign" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE/foreign" ;;
  --remove-architecture)
    grep -q ":$2\$" "$FAKE/installed" 2>/dev/null && exit 2
    grep -vx "$2" "$FAKE/foreign" >"$FAKE/foreign.new" || true
    mv "$FAKE/foreign.new" "$FAKE/foreign" ;;
esac
EOF
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
package=${!#}
grep -qxF "$package" "$FAKE/installed" 2>/dev/null || exit 1
echo "install ok installed"
EOF
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin/"*

# Each case on a fresh fake machine: $1 the 32-bit probe, the rest the packages apt refuses.
run() {
  export FAKE=$work/$1
  rm -rf "$FAKE"
  mkdir -p "$FAKE"
  : >"$FAKE/installed"
  touch "$FAKE/update-fails"
  local probe=$2
  shift 2
  printf '%s\n' "$@" >"$FAKE/refused"
  set +e
  PATH=$work/bin:$PATH CORVALE_I386_PROBE=$probe CORVALE_APT_RETRY_SECONDS=0 \
    "$source/cmake/install-prerequisites.sh" all >"$FAKE/out" 2>&1
  echo $? >"$FAKE/status"
  set -e
}
said() { cat "$FAKE/out"; }

# An index fails, 32-bit Wine cannot come: the rest is installed, the twin named, exit 0, the
# architecture taken away again.
run twin /bin/true wine32:i386
[ "$(cat "$FAKE/status")" -eq 0 ] || fail "exit $(cat "$FAKE/status"): $(said)"
[ "$(grep -c '^apt-get update' "$FAKE/calls")" -eq 2 ] || fail "update not tried exactly twice"
grep -q 'could not fetch every index' "$FAKE/out" || fail "the failed index is not named: $(said)"
grep -q 'binary-i386/Packages.xz' "$FAKE/out" || fail "which index failed is not said: $(said)"
grep -q '^not installed: wine32:i386 (apt: wine32:i386 : Depends: libwine' "$FAKE/out" ||
  fail "32-bit Wine's absence is not said with apt's words: $(said)"
[ "$(grep -c '^not installed:' "$FAKE/out")" -eq 1 ] || fail "more than one line: $(said)"
grep -q 'Windows tests will run on the 64-bit twin' "$FAKE/out" || fail "the twin not named: $(said)"
for package in cmake wine64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix nsis; do
  grep -qx "$package" "$FAKE/installed" || fail "$package was not installed: $(said)"
done
grep -q ':i386$' "$FAKE/installed" && fail "an i386 package was installed"
[ ! -s "$FAKE/foreign" ] || fail "i386 left as an architecture: $(cat "$FAKE/foreign")"
# The architecture went before the rest was installed, so that nothing of 32-bit Wine came along.
removed=$(grep -n 'remove-architecture' "$FAKE/calls" | cut -d: -f1)
last_install=$(grep -n '^apt-get install -y' "$FAKE/calls" | tail -1 | cut -d: -f1)
[ -n "$removed" ] && [ "$removed" -lt "$last_install" ] || fail "i386 removed after the install"
echo "ok: a failed index and no 32-bit Wine: the rest installed, the twin named, i386 removed"

# A package the build needs cannot be installed: non-zero, named, with apt's own words.
run required /bin/true wine32:i386 nsis
[ "$(cat "$FAKE/status")" -ne 0 ] || fail "exit 0 without nsis: $(said)"
grep -q 'cannot be installed: nsis' "$FAKE/out" || fail "nsis is not named: $(said)"
grep -q 'E: Unable to correct problems' "$FAKE/out" || fail "apt's words are not shown: $(said)"
[ ! -s "$FAKE/foreign" ] || fail "i386 left as an architecture after a failure"
echo "ok: a needed package refused: exit $(cat "$FAKE/status"), named, with apt's words"

# A machine that cannot run 32-bit code is never given the i386 architecture nor 32-bit Wine.
printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x04\0\x03\0' >"$work/refused"
chmod +x "$work/refused"
run no32 "$work/refused"
[ "$(cat "$FAKE/status")" -eq 0 ] || fail "exit $(cat "$FAKE/status"): $(said)"
grep -q 'add-architecture' "$FAKE/calls" && fail "i386 added where 32-bit code cannot run"
grep -q 'wine32' "$FAKE/calls" && fail "32-bit Wine asked for where 32-bit code cannot run"
grep -qx wine64 "$FAKE/installed" || fail "wine64 was not installed"
echo "ok: no 32-bit code: no i386, no wine32, wine64 installed"

# Everything there: nothing asked of apt.
: >"$FAKE/calls"
PATH=$work/bin:$PATH CORVALE_I386_PROBE=$work/refused "$source/cmake/install-prerequisites.sh" all ||
  fail "a second run failed"
[ ! -s "$FAKE/calls" ] || ! grep -q '^apt-get' "$FAKE/calls" || fail "apt asked again: $(cat "$FAKE/calls")"
echo "ok: nothing missing, nothing asked"
