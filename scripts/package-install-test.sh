#!/usr/bin/env bash
# package-install-test.sh BUILD-DEB-DIR: runs the maintainer scripts of
# velquor-server as dpkg would, in a private mount namespace where /etc is a
# copy, /run a tmpfs, /var/lib an empty directory and the package's files lie
# where the scripts look for them; the real system is never touched. Checks
# the user, the default configuration and its modes, a first start of the
# engine as the unit runs it (user velquor, read-only /etc) that sends a
# message through the simulator, then that an upgrade keeps the
# administrator's values, a removal keeps configuration and queue, and a
# purge deletes them.
set -euo pipefail
out=$(cd "$1" && pwd)
ns=$out/ns
rm -rf "$ns"
mkdir -p "$ns/varlib" "$ns/control"
cp -a /etc "$ns/etc"
# A fresh installation: whatever this machine has configured stays outside.
rm -rf "$ns/etc/norvale"
# Files of the package where the system keeps them, with the host's own.
cp -a /usr/lib/tmpfiles.d "$ns/tmpfiles.d"
cp -a /usr/lib/sysusers.d "$ns/sysusers.d"
cp -a "$out"/root/usr/lib/tmpfiles.d/. "$ns/tmpfiles.d/"
cp -a "$out"/root/usr/lib/sysusers.d/. "$ns/sysusers.d/"
cp -a /lib/systemd/system "$ns/units"
cp "$out/root/lib/systemd/system/velquor-server.service" "$ns/units/"
dpkg-deb -e "$out"/velquor-server_*.deb "$ns/control"

export NS=$ns ROOT=$out/root
exec unshare -m --propagation private bash -euo pipefail -c '
mount --bind "$NS/etc" /etc
mount -t tmpfs tmpfs /run
mount --bind "$NS/varlib" /var/lib
mount --bind "$ROOT/usr/bin" /usr/local/bin
mount --bind "$ROOT/usr/sbin" /usr/local/sbin
mount --bind "$NS/tmpfiles.d" /usr/lib/tmpfiles.d
mount --bind "$NS/sysusers.d" /usr/lib/sysusers.d
mount --bind "$NS/units" /lib/systemd/system
export PATH=/usr/local/sbin:/usr/local/bin:$PATH NORVALE_EVENTLOG=stderr
unset NORVALE_ROOT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
product=/etc/norvale/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor
mode() { stat -c "%U:%G %a" "$1" 2>/dev/null || echo missing; }
# A maintainer script as dpkg runs it (deb-systemd-helper insists).
maintscript() {
  DPKG_MAINTSCRIPT_PACKAGE=velquor-server DPKG_MAINTSCRIPT_NAME=$1 DPKG_MAINTSCRIPT_ARCH=$(dpkg --print-architecture) \
    "$NS/control/$1" "${@:2}" >/dev/null
}

# A fresh installation.
maintscript postinst configure "" || fail "postinst configure"
id -nG velquor | grep -qw dialout || fail "velquor is not in dialout: $(id -nG velquor)"
[ "$(velquor config get DSN)" = sqlite:/var/lib/velquor/queue.db ] || fail "DSN: $(velquor config get DSN)"
[ "$(velquor config get --handset 1 Driver)" = simulator ] || fail "handset 1 is not on the simulator"
[ "$(velquor config get KeepDatabaseConnection)" = 1 ] || fail "KeepDatabaseConnection: $(velquor config get KeepDatabaseConnection)"
[ "$(mode $product)" = "root:velquor 750" ] || fail "product key: $(mode $product)"
[ "$(mode $product/DSN)" = "root:velquor 640" ] || fail "DSN value: $(mode $product/DSN)"
[ "$(mode $product/Password)" = "velquor:velquor 600" ] || fail "Password value: $(mode $product/Password)"
[ "$(mode /var/lib/velquor)" = "velquor:velquor 2770" ] || fail "state directory: $(mode /var/lib/velquor)"
[ "$(mode /var/lib/velquor/queue.db)" = "velquor:velquor 660" ] || fail "queue: $(mode /var/lib/velquor/queue.db)"
[ -L /etc/systemd/system/multi-user.target.wants/velquor-server.service ] || fail "the unit is not enabled"

# Who reads what: a member of the group velquor reads the configuration but
# not the password; anybody else reads neither.
useradd -M -G velquor member
member=$(runuser -u member -- velquor config get DSN 2>&1) || fail "a member cannot read DSN: $member"
runuser -u member -- velquor config get Password >/dev/null 2>&1 && fail "a member reads the password"
runuser -u nobody -- velquor config get DSN >/dev/null 2>&1 && fail "nobody reads the configuration"
runuser -u velquor -- velquor config get Password >/dev/null || fail "the engine cannot read the password"

# The first start, as the unit does it: user velquor, /etc read-only,
# /run/norvale its runtime directory.
install -d -o velquor -g velquor -m 0755 /run/norvale
mount -o remount,bind,ro /etc
setpriv --reuid=velquor --regid=velquor --init-groups velquor-server 2>"$NS/engine.log" &
engine=$!
trap "kill $engine 2>/dev/null || true" EXIT
for _ in $(seq 100); do [ -S /run/norvale/VelquorServer.sock ] && break; sleep 0.1; done
[ -S /run/norvale/VelquorServer.sock ] || fail "the engine does not serve: $(cat "$NS/engine.log")"
[ "$(stat -c "%U:%G %a" /run/norvale/VelquorServer.sock)" = "velquor:velquor 660" ] ||
  fail "socket: $(stat -c "%U:%G %a" /run/norvale/VelquorServer.sock)"
# With --wait the identifier comes first, then the state the message reached.
sent=$(velquor send +4915112345678 "Hello from the package" --wait 15000) || fail "send: $sent"
id=$(echo "$sent" | head -n 1)
status=$(velquor status "$id" 2>&1) || true
case $status in "2 "* | "9 "*) ;; *) fail "message $id is $status" ;; esac
grep -q "Cannot register" "$NS/engine.log" && fail "the engine wanted to write the registry: $(cat "$NS/engine.log")"
kill -TERM $engine
wait $engine || fail "the engine did not stop cleanly: $(cat "$NS/engine.log")"
trap - EXIT
mount -o remount,bind,rw /etc
rows=$(velquor config get DSN >/dev/null && sqlite3 /var/lib/velquor/queue.db "SELECT COUNT(*) FROM SMSOutgoing" 2>/dev/null || echo "?")

# An upgrade keeps what the administrator set, and what was removed stays removed.
velquor config set OutgoingQueueEnabled 0 >/dev/null
rm -rf "$product/Handsets"
maintscript postinst configure 1.0.0 || fail "postinst configure (upgrade)"
[ "$(velquor config get OutgoingQueueEnabled)" = 0 ] || fail "the upgrade reset OutgoingQueueEnabled"
[ -d "$product/Handsets" ] && fail "the upgrade brought back the handset removed"

# Removal keeps the configuration and the queue; purge deletes them.
maintscript postrm remove || fail "postrm remove"
[ -e "$product/DSN" ] || fail "removal deleted the configuration"
[ "$(sqlite3 /var/lib/velquor/queue.db "SELECT COUNT(*) FROM SMSOutgoing" 2>/dev/null || echo "?")" = "$rows" ] ||
  fail "removal changed the queue"
maintscript postrm purge || fail "postrm purge"
[ -e "$product" ] && fail "purge left the configuration"
[ -e /var/lib/velquor ] && fail "purge left the queue database"
[ $failed -eq 0 ] && echo "maintainer scripts: fresh install, first start, upgrade, removal and purge behave"
exit $failed
'
