#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only those that are missing.
# Usage: install-prerequisites.sh [native|windows|all]
set -euo pipefail

what=${1:-all}
native=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
        nlohmann-json3-dev libtomlplusplus-dev clang clang-format libclang-rt-14-dev valgrind
        lintian systemd man-db libasio-dev libssl-dev nut-client python3-nut openssl
        libnss3-tools libboost-dev prometheus chromium curl strace libcurl4-openssl-dev
        python3-aiosmtpd)
windows=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 googletest
         wine wine32:i386 nsis python3-pefile libasio-dev libtomlplusplus-dev libcli11-dev nlohmann-json3-dev
         libboost-dev)

wanted=()
case "$what" in
  native) wanted=("${native[@]}") ;;
  windows) wanted=("${windows[@]}") ;;
  all) wanted=("${native[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [native|windows|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
