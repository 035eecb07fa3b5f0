#!/usr/bin/env bash
# Builds the Debian packages in build-deb/ (from a copy of the tree, so
# nothing of the build lands in the sources or beside them), runs lintian
# (errors fail, warnings are listed), unpacks the packages into a temporary
# root and checks what they install: the programs' versions (velquor-http's
# and velquor-smppd's too), the manual
# pages, the unit (systemd-analyze verify), the bash completion, and the
# maintainer scripts in a private mount namespace, where the default
# configuration must bring up an engine that sends through the simulator.
# Only the library, the command and the engine are built: no tests or
# benchmarks. Run as root (the last part needs a mount namespace; it is
# skipped, saying so, where none can be made).
#
#   bash scripts/package.sh [build|check]
#
# "build" only builds the packages, "check" only checks those built before;
# both by default. The test command builds them beside its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
out=$here/build-deb
phase=${1:-all}
case $phase in all | build | check) ;; *) echo "usage: package.sh [build|check]" >&2; exit 2 ;; esac
failed=0
fail() { echo "FAIL: $*"; failed=1; }

build_packages() {  # builds the packages into $out, from a copy of the tree
  rm -rf "$out"
  mkdir -p "$out/src"
  tar --exclude=./.git --exclude='./build*' --exclude='./obj-*' --exclude=./tests/smsc/node_modules -cf - . |
    tar -xf - -C "$out/src"
  export DEB_BUILD_OPTIONS="nocheck noddebs parallel=$(nproc)"
  # CMake takes the launcher from the environment; a cache makes a second build fast.
  if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache; fi
  start=$(date +%s)
  (cd "$out/src" && dpkg-buildpackage -b -uc -us >"$out/build.log" 2>&1) || {
    tail -40 "$out/build.log"
    echo "FAIL: dpkg-buildpackage (log: $out/build.log)"
    exit 1
  }
  echo "== packages built in $(($(date +%s) - start)) s"
  ls "$out"/*.deb
  # A symbol that the library gained or lost against debian/libvelquor1.symbols.
  grep -A30 '^dpkg-gensymbols: warning' "$out/build.log" || true
}

[ "$phase" = check ] || build_packages
[ "$phase" != build ] || exit 0
ls "$out"/*.deb >/dev/null 2>&1 || { echo "no packages in $out: run package.sh build first" >&2; exit 1; }

echo "== lintian"
lintian --fail-on error "$out"/*.changes >"$out/lintian.log" 2>&1 ||
  fail "lintian reports errors"
grep -E '^[EW]:' "$out/lintian.log" || true

root=$out/root
mkdir -p "$root"
for deb in "$out"/*.deb; do dpkg-deb -x "$deb" "$root"; done
version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)

echo "== installed programs"
[ "$("$root/usr/bin/velquor" --version)" = "velquor $version" ] || fail "velquor --version: $("$root/usr/bin/velquor" --version)"
[ "$("$root/usr/sbin/velquor-server" --version)" = "velquor-server $version" ] ||
  fail "velquor-server --version: $("$root/usr/sbin/velquor-server" --version)"
[ "$("$root/usr/bin/velquor-http" --version)" = "velquor-http $version" ] ||
  fail "velquor-http --version: $("$root/usr/bin/velquor-http" --version)"
[ "$("$root/usr/bin/velquor-smppd" --version)" = "velquor-smppd $version" ] ||
  fail "velquor-smppd --version: $("$root/usr/bin/velquor-smppd" --version)"
readelf -d "$root"/usr/lib/*/libvelquor.so.1 | grep -q 'SONAME.*libvelquor.so.1\]' || fail "SONAME of libvelquor.so.1"

echo "== a program against libvelquor-dev (pkg-config)"
libdir=$(dirname "$(find "$root/usr/lib" -name velquor.pc)")/..
# shellcheck disable=SC2046  # the flags are words
c++ -std=c++20 -o "$out/consumer" "$here/tests/install_consumer/consumer.cc" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs velquor) &&
  LD_LIBRARY_PATH=$libdir NORVALE_ROOT=$out/consumer-root NORVALE_EVENTLOG=none "$out/consumer" >/dev/null ||
  fail "a program built against the installed libvelquor-dev"

echo "== manual pages"
for page in man1/velquor.1 man5/velquor-registry.5 man8/velquor-server.8 man8/velquor-http.8 man8/velquor-smppd.8; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/$page.gz" 2>&1 >/dev/null) ||
    fail "man -l $page"
  [ -z "$warnings" ] || fail "man -l $page: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/$page.gz" 2>/dev/null | grep -q '^NAME' || fail "man -l $page shows no NAME"
done
# Every subcommand of velquor(1) is in its page.
for cmd in "account add" "account set" "account list" "account rotate" "account remove" check "config list" "config get" "config set" "config unset" "db init" send send-data status receive \
  listen "service install" "service start" "service stop" "service status"; do
  LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/velquor.1.gz" 2>/dev/null | grep -q "^       $cmd" ||
    fail "velquor(1) lacks '$cmd'"
done

echo "== systemd-analyze verify"
# The host's units (targets the unit refers to) beside the package's own;
# MANPATH lets the check of Documentation= find the package's pages.
units=$root/lib/systemd/system
cp -rn /lib/systemd/system/. "$units/"
MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" /lib/systemd/system/velquor-server.service \
  /lib/systemd/system/velquor-http.service /lib/systemd/system/velquor-smppd.service || fail "systemd-analyze verify"
for setting in Type=notify User=velquor SupplementaryGroups=dialout RuntimeDirectory=norvale StateDirectory=velquor \
  ProtectSystem=strict NoNewPrivileges=yes Restart=on-failure WatchdogSec=; do
  grep -q "^$setting" "$units/velquor-server.service" || fail "the unit lacks $setting"
done
for setting in User=velquor ProtectSystem=strict NoNewPrivileges=yes Restart=on-failure After=.*velquor-server.service; do
  grep -q "^$setting" "$units/velquor-http.service" || fail "velquor-http.service lacks $setting"
done
for setting in User=velquor ProtectSystem=strict NoNewPrivileges=yes Restart=on-failure After=.*velquor-server.service \
  RuntimeDirectory=norvale RuntimeDirectoryPreserve=yes; do
  grep -q "^$setting" "$units/velquor-smppd.service" || fail "velquor-smppd.service lacks $setting"
done

echo "== bash completion"
completion=$(bash -c '
  _init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; }
  source "$1"
  t() { COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]}-1)); COMPREPLY=(); _velquor; echo "${COMPREPLY[*]}"; }
  t velquor se; t velquor service ""; t velquor config set --handset 1 Dri; t velquor send-data --u' _ \
  "$root/usr/share/bash-completion/completions/velquor")
[ "$completion" = $'send send-data service\ninstall start stop status --help\nDriver\n--udh' ] ||
  fail "bash completion: $completion"

echo "== maintainer scripts and a first start (private mount namespace)"
if unshare -m true 2>/dev/null; then
  bash "$here/scripts/package-install-test.sh" "$out" || fail "maintainer scripts"
else
  echo "skip: no private mount namespace"
fi

[ $failed -eq 0 ] && echo "== packages: all checks passed"
exit $failed
