#!/usr/bin/env bash
# Builds the .deb and checks it as Debian and systemd would: its files and control data, lintian,
# then installed for real: the unit verified by systemd-analyze, the ExecStart line run as systemd
# would run it, and the package purged again. Usage: check_deb.sh BUILD_DIR
set -euo pipefail
build=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/corvale-ups_*_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./usr/bin/corvale-ups ./usr/lib/corvale-ups/libCorvaleUPS.so \
            ./etc/corvale-ups/corvale-ups.toml ./lib/systemd/system/corvale-ups.service \
            ./lib/systemd/system-shutdown/corvale-ups ./usr/share/man/man8/corvale-ups.8.gz \
            ./usr/share/man/man5/corvale-ups.toml.5.gz ./usr/share/doc/corvale-ups/copyright \
            ./usr/share/doc/corvale-ups/README.md ./usr/share/doc/corvale-ups/changelog.gz; do
  grep -qxF "$path" <<<"$contents" || fail "$path is not in the package"
done
[ "$(dpkg-deb -f "$deb" Package)" = corvale-ups ] || fail "package name"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qxF /etc/corvale-ups/corvale-ups.toml ||
  fail "the configuration is not a conffile"

# lintian: no errors, no warnings (its note on running as root is not about the package).
report=$(lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges' || true)
[ -z "$report" ] || fail "lintian: $report"
hardening=$(lintian -I "$deb" 2>&1 | grep hardening- || true)
[ -z "$hardening" ] || fail "lintian: $hardening"

if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the installation checks are skipped"
  exit 77
fi
# A copy installed for real on this machine is somebody's: installing over it and purging it
# would take it away.
if dpkg-query -W -f='${Status}' corvale-ups 2>/dev/null | grep -q 'install ok installed'; then
  echo "corvale-ups is installed on this machine: the installation checks are skipped"
  exit 77
fi
trap 'dpkg --purge corvale-ups >/dev/null 2>&1 || true' EXIT
wants=/etc/systemd/system/multi-user.target.wants/corvale-ups.service
dpkg -i "$deb" >/dev/null
[ -L "$wants" ] || fail "postinst did not enable the unit"

[ -d /var/lib/corvale-ups/registry/System/CurrentControlSet/Services/UPS/Status ] ||
  fail "postinst did not create the registry keys"
getent passwd corvale-ups >/dev/null || fail "postinst did not create the user corvale-ups"
[ "$(stat -c %U /var/lib/corvale-ups/registry)" = corvale-ups ] ||
  fail "the registry stand-in is not the service's"
for unit in corvale-ups.service corvale-ups-shutdown.path corvale-ups-shutdown.service; do
  verify=$(systemd-analyze verify "/lib/systemd/system/$unit" 2>&1 || true)
  [ -z "$verify" ] || fail "systemd-analyze verify $unit: $verify"
done
# A flood of requests from the service's account must not get the helper rate-limited into a
# failed state, which would leave the next power failure without a shutdown.
grep -qx 'StartLimitIntervalSec=0' /lib/systemd/system/corvale-ups-shutdown.service ||
  fail "the helper may be start-limited"
grep -qx 'TriggerLimitIntervalSec=0' /lib/systemd/system/corvale-ups-shutdown.path ||
  fail "the helper's path unit may be trigger-limited"
# The sandboxes, as systemd rates them: the network daemon and the root helper that runs the
# shutdown command should both be "OK" (at most 3.0; man corvale-ups gives their figures).
for unit in corvale-ups.service corvale-ups-shutdown.service; do
  exposure=$(systemd-analyze security --offline=true "/lib/systemd/system/$unit" 2>&1 |
    sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
  echo "exposure of $unit: $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' ||
    fail "exposure of $unit $exposure above 3.0"
done
/usr/bin/corvale-ups check-config >/dev/null || fail "the shipped configuration does not pass"
# The service's own account and group may write nothing root acts on, checked by root and by the
# service itself.
conf=/etc/corvale-ups/corvale-ups.toml
as_service() { setpriv --reuid=corvale-ups --regid=corvale-ups --clear-groups "$@"; }
for unsafe in "chgrp corvale-ups $conf && chmod 664 $conf" \
              "chgrp corvale-ups /etc/corvale-ups && chmod 775 /etc/corvale-ups" \
              "chown corvale-ups $conf"; do
  sh -c "$unsafe"
  for who in "" as_service; do
    if said=$($who /usr/bin/corvale-ups check-config 2>&1); then
      fail "check-config ${who:-as root} trusts the file after: $unsafe"
    fi
    grep -q 'chmod g-w\|chown root' <<<"$said" || fail "check-config says no fix: $said"
  done
  chown root:root $conf /etc/corvale-ups && chmod 644 $conf && chmod 755 /etc/corvale-ups
done
# A file with passwords that only root may read passes root's reading, but the service runs as
# corvale-ups: root's check-config must read it as the service will, and say the fix.
cp $conf $conf.orig
printf '\n[[users]]\nname = "monuser"\npassword = "Vh3kTq9wLz2pXr7s"\nupsmon = "secondary"\n' >>$conf
chmod 600 $conf
if said=$(/usr/bin/corvale-ups check-config 2>&1); then
  fail "check-config passes a file the service cannot read: $said"
fi
grep -q "chown root:corvale-ups $conf && chmod 640 $conf" <<<"$said" || fail "no fix given: $said"
chgrp corvale-ups $conf && chmod 640 $conf
/usr/bin/corvale-ups check-config >/dev/null || fail "the mended file does not pass"
mv $conf.orig $conf && chown root:root $conf && chmod 644 $conf

# The unit's ExecStart line, as systemd runs it (its user, in group dialout): with no UPS plugged
# in it says why and waits.
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/corvale-ups.service)
# What the unit's RuntimeDirectory= makes: the service's own folder, where it answers `reload`.
install -d -m 0755 -o corvale-ups -g corvale-ups /run/corvale-ups
log=$(mktemp)
JOURNAL_STREAM=1:1 setpriv --reuid=corvale-ups --regid=corvale-ups \
  --groups="$(getent group dialout | cut -d: -f3)" $exec_start 2>"$log" &
service=$!
wait_for() {
  for _ in $(seq 50); do
    grep -q "$1" "$log" && return 0
    sleep 0.1
  done
  return 1
}
wait_for 'cannot start the driver'
# `systemctl reload`: the unit's ExecReload lines in order, as its user (as root for a line that
# starts with "+"), the first failing ends it.
reload() {
  while read -r line; do
    if [ "${line#+}" != "$line" ]; then
      MAINPID=$service sh -c "${line#+}" >/dev/null 2>&1 || return 1
    else
      MAINPID=$service setpriv --reuid=corvale-ups --regid=corvale-ups \
        --groups="$(getent group dialout | cut -d: -f3)" sh -c "$line" >/dev/null 2>&1 || return 1
    fi
  done < <(sed -n 's/^ExecReload=//p' /lib/systemd/system/corvale-ups.service)
}
cp $conf $conf.orig
sed -i 's/^port = .*/port = 5/' $conf
! reload || fail "systemctl reload passed a file with problems"
sed -i 's/^port = .*/port = "ttyS9"/' $conf
reload || fail "systemctl reload failed on a good file"
wait_for "reloaded $conf: changed ups.port" || fail "the reload did not apply: $(cat "$log")"
wait_for 'no such device: /dev/ttyS9' || fail "the reload did not move the driver: $(cat "$log")"
! grep -q "not reloaded" "$log" || fail "the service read the refused file: $(cat "$log")"
mv $conf.orig $conf
kill -TERM $service
wait $service || fail "the service did not stop cleanly"
grep -q '^<3>cannot start the driver: no such device: /dev/ttyUSB0' "$log" ||
  fail "the service did not say why it cannot start: $(cat "$log")"
rm -f "$log"

# The maintainer scripts as systemd would see them run: no systemd is PID 1 here, so in a mount
# namespace of its own /run says it is, and systemctl and deb-systemd-invoke only note their
# calls. A second package, one version up, is the upgrade.
work=$(mktemp -d)
trap 'dpkg --purge corvale-ups >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir "$work/bin"
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >> %s/calls\n' "$tool" "$work" > "$work/bin/$tool"
  chmod 755 "$work/bin/$tool"
done
dpkg-deb -R "$deb" "$work/next"
sed -i 's/^Version: .*/Version: 9.9.9.9/' "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null
as_systemd() {
  unshare -m sh -c 'mount -t tmpfs none /run/systemd 2>/dev/null || { mkdir -p /run/systemd &&
    mount -t tmpfs none /run/systemd; }; mkdir -p /run/systemd/system && exec "$@"' - \
    env PATH="$work/bin:$PATH" "$@" >/dev/null
}
as_systemd dpkg -i "$work/next.deb"
grep -qx 'deb-systemd-invoke restart corvale-ups.service' "$work/calls" ||
  fail "the upgrade did not restart the service: $(cat "$work/calls")"
: > "$work/calls"
mkdir -p /run/corvale-ups/requests /run/corvale-ups-helper
touch /run/corvale-ups/killpower /run/corvale-ups-helper/killpower
as_systemd dpkg --remove corvale-ups
# The service first, then the path unit that would start the helper (without its program now)
# for whatever request is left.
stops=$(sed -n 's/^deb-systemd-invoke stop //p' "$work/calls" | tr '\n' ' ')
[ "$stops" = "corvale-ups.service corvale-ups-shutdown.path " ] ||
  fail "removing did not stop the service and then its path unit: $(cat "$work/calls")"
[ ! -e /usr/bin/corvale-ups ] || fail "the program is still there after remove"
as_systemd dpkg --purge corvale-ups
for gone in /var/lib/corvale-ups /run/corvale-ups /run/corvale-ups-helper /etc/corvale-ups \
    "$wants"; do
  [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is left after purge"
done
echo "package checks passed"
