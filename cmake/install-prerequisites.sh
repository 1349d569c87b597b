#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only those that are missing, and takes
# what the package archive can give: archive mirrors are at times mid-sync for hours, with one index
# that fails to download. Such an index is named and the lists that did arrive are used; a package
# the tests can do without (32-bit Wine) is left out with one line that says what runs instead; a
# package they need fails the install with apt's own words. An architecture added here and left
# unused is removed again, so that later `apt-get update`s still work.
# Usage: install-prerequisites.sh [native|windows|all]
# CORVALE_APT_RETRY_SECONDS: the pause before `apt-get update` is tried again (default 5).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
what=${1:-all}
native=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
        nlohmann-json3-dev libtomlplusplus-dev clang clang-format libclang-rt-14-dev valgrind
        lintian systemd man-db libasio-dev libssl-dev nut-client python3-nut openssl
        libnss3-tools libboost-dev prometheus chromium curl strace libcurl4-openssl-dev
        python3-aiosmtpd)
# The shipped 32-bit build, and its 64-bit twin that runs the Windows tests under 64-bit Wine
# where 32-bit Wine cannot run.
windows=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
         g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 googletest
         wine wine64 nsis python3-pefile libasio-dev libtomlplusplus-dev libcli11-dev
         nlohmann-json3-dev libboost-dev)
# 32-bit Wine runs the shipped build's tests, and only where the kernel runs 32-bit code at all.
optional=()

case "$what" in
  native) wanted=("${native[@]}") ;;
  windows) wanted=("${windows[@]}") ;;
  all) wanted=("${native[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [native|windows|all]" >&2; exit 2 ;;
esac
if [ "$what" != native ] && "$here/can-run-i386.sh" >/dev/null; then
  optional=(wine32:i386)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=() missing_optional=()
for package in "${wanted[@]}"; do installed "$package" || missing+=("$package"); done
for package in "${optional[@]}"; do installed "$package" || missing_optional+=("$package"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

without_32_bit_wine="the Windows tests will run on the 64-bit twin (build/windows64) under wine64, not on the shipped 32-bit build"
if [ "$(id -u)" -ne 0 ]; then
  if [ ${#missing[@]} -eq 0 ]; then
    echo "not installed: ${missing_optional[*]} (needs root); $without_32_bit_wine"
    exit 0
  fi
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

added_i386=false
if [ ${#missing_optional[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386 && added_i386=true
fi

# `apt-get update` fails as a whole when one index does; the others are read all the same.
update() { apt-get update -qq >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log"; }
if ! update; then
  sleep "${CORVALE_APT_RETRY_SECONDS:-5}"
  if ! update; then
    echo "apt-get update could not fetch every index; going on with the lists it has. It said:"
    grep -E '^[EW]: ' "$log" | sed 's/^/  /'
  fi
fi

apt_words() { grep -E '^(E:|W:| [^ ].* : )' "$log" | sed 's/^/  /'; }
install() {
  [ $# -eq 0 ] && return 0
  apt-get install -y -qq "$@" >"$log" 2>&1
}
# (dpkg refuses while a package of it is installed.)
drop_added_i386() {
  if $added_i386 && dpkg --remove-architecture i386 2>/dev/null; then
    added_i386=false
    echo "removed the i386 architecture again (added for 32-bit Wine, which did not come)"
  fi
}

echo "Installing: ${missing[*]} ${missing_optional[*]}"
status=0
if ! install "${missing[@]}" "${missing_optional[@]}"; then
  if [ ${#missing_optional[@]} -gt 0 ]; then
    simulated=$(apt-get install -s "${missing_optional[@]}" 2>&1)
    reason=$({ grep -m1 ' : Depends: ' <<<"$simulated" || grep -m1 '^E: ' <<<"$simulated"; } | sed 's/^ *//')
    # Gone before the rest is installed, or their recommendations bring half of 32-bit Wine's
    # libraries along.
    drop_added_i386
  fi
  if [ ${#missing_optional[@]} -gt 0 ] && install "${missing[@]}"; then
    echo "not installed: ${missing_optional[*]} (apt: ${reason:-refused}); $without_32_bit_wine"
  else
    echo "apt-get install failed:" >&2
    apt_words >&2
    refused=()
    for package in "${missing[@]}"; do
      apt-get install -s -qq "$package" >/dev/null 2>&1 || refused+=("$package")
    done
    [ ${#refused[@]} -eq 0 ] || echo "these cannot be installed: ${refused[*]}" >&2
    status=1
  fi
fi

# An architecture added for 32-bit Wine that did not come is taken away again: its index may be
# the one that fails, and it would fail every later `apt-get update` on this machine.
drop_added_i386
exit $status
