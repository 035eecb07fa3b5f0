#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test of the project: installs the
# missing packages, builds a normal, an address+undefined sanitizer and a
# thread sanitizer configuration, compares the normal build's library with the
# stored ABI baseline, starts a private PostgreSQL server for the run, runs
# every test in the first two builds (the web console's browser tests, label
# "browser", in the first only) and the threaded tests (label "threads") in
# the third (the daemons' tests on one database each under the sanitizers,
# below), runs the libFuzzer targets briefly, stops the server again, and
# checks the Debian packages (scripts/package.sh), which it builds beside the
# tests together with the naming check. A skipped test fails the run unless
# tests/allowed-skips.txt allows it; under CI=true every skip fails it, and so
# does a missing PostgreSQL server. The end of the log names what failed.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

jobs=$(nproc)
failed=0
failures=()  # the steps that failed, named again at the end of the log
failed_builds=()  # the build directories whose tests failed
fail() {  # fail STEP: marks the run as failed by STEP
  failures+=("$1")
  failed=1
}
# Tests keep to their own NORVALE_ROOT: a configuration tree that appears
# under the machine's /etc during the run was written by one that did not.
etc_before=$(ls -d /etc/norvale /run/norvale 2>/dev/null || true)

# Each step says how long it took, so that the run's time can be read off
# its log.
timed() {  # timed LABEL COMMAND...: runs COMMAND, then prints its duration
  local label=$1 start=$SECONDS status=0
  shift
  "$@" || status=$?
  echo "== $label took $((SECONDS - start)) s"
  return $status
}
timed "set-up" bash scripts/setup.sh
build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DVELQUOR_WERROR=ON "$@" >/dev/null
  timed "building $dir" cmake --build "$dir" -j "$jobs"
}

build build -DCMAKE_BUILD_TYPE=Release
bash scripts/check-abi.sh build
build build-asan -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZER=address -DVELQUOR_BUILD_BENCHMARKS=OFF
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZER=thread -DVELQUOR_BUILD_BENCHMARKS=OFF
timed "format check" bash scripts/format-check.sh
timed "include check" bash scripts/check-includes.sh
# The naming check (clang-tidy: minutes of processor time), then the build of
# the Debian packages, run at the lowest priority beside the fuzzers and the
# tests, which leave processors idle while they wait for their processes.
# Their results are read after the tests; the packages are checked then.
side=$(mktemp -d)
side_start=$SECONDS
# shellcheck disable=SC2016  # the inner shell expands them
setsid bash -c '
  cd "$1"
  nice -n 19 bash scripts/check-naming.sh >"$2/naming.log" 2>&1; echo $? >"$2/naming.status"
  date +%s >"$2/naming.end"
  nice -n 19 bash scripts/package.sh build >"$2/packages.log" 2>&1; echo $? >"$2/packages.status"
  date +%s >"$2/packages.end"
' _ "$here" "$side" &
side_pid=$!  # the leader of its own process group: the trap ends all of it
side_started=$(date +%s)
trap 'kill -- -"$side_pid" 2>/dev/null || true; rm -rf "$side"' EXIT

# The decoders of what SMS centres and modems send, under libFuzzer with the
# address and undefined-behaviour sanitizers: a clang build of server/smpp
# (which builds server/codec with it), each target for a bounded time from
# its seed corpus. A crash fails the run and leaves its input in build-fuzz/.
CXX=clang++ cmake -S server/smpp -B build-fuzz -G Ninja -DVELQUOR_BUILD_FUZZERS=ON -DVELQUOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target smpp_pdu_fuzz smpp_server_fuzz pdu_fuzz
fuzz() {  # fuzz PROGRAM SEEDS
  local name
  name=$(basename "$1")
  mkdir -p "build-fuzz/corpus-$name"
  echo "== fuzzing $name"
  "$1" -max_total_time=15 -max_len=4096 -print_final_stats=1 -artifact_prefix="build-fuzz/$name-" \
    "build-fuzz/corpus-$name" "$2" 2>&1 | tail -n 6 || return 1
}
fuzz build-fuzz/smpp_pdu_fuzz server/smpp/smpp_pdu_fuzz_seeds || fail "fuzzing smpp_pdu_fuzz"
fuzz build-fuzz/smpp_server_fuzz server/smpp/smpp_server_fuzz_seeds || fail "fuzzing smpp_server_fuzz"
fuzz build-fuzz/codec/pdu_fuzz server/codec/pdu_fuzz_seeds || fail "fuzzing pdu_fuzz"

# The tests learn the private server's address from NORVALE_TEST_PG. Without
# a server, a developer's run goes on with the PostgreSQL tests skipped (and
# says so below); under CI=true that is a failure.
source scripts/pg.sh
if ! pg_start; then
  if [ "${CI:-}" = "true" ]; then
    echo "no PostgreSQL test server: under CI=true the run stops here" >&2
    exit 1
  fi
  echo "no PostgreSQL test server: its tests will be skipped" >&2
  unset NORVALE_TEST_PG
fi
trap 'pg_stop; kill -- -"$side_pid" 2>/dev/null || true; rm -rf "$side"' EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
# scripts/run-ctest.sh also fails on a skipped test that tests/allowed-skips.txt
# does not allow (under CI=true on any), and counts the skips.
# The browser tests of the web console (label "browser") run in the normal
# build only: chromium's time under the sanitizers would buy nothing that
# the daemon's own tests there do not.
# The tests of the engine and the front ends run on both databases in the
# normal build. Under the sanitizers they are split between the two: the
# address sanitizer runs them on SQLite, the thread sanitizer on PostgreSQL
# (whose notifications wake the daemons' threads). The database layer's own
# tests run on both everywhere. This saves a third of the sanitizers' time.
daemon_tests='^Backends/(Engine|Handset|Http|Smppd|Webhook)[A-Za-z]*[.][^ ]*/'
echo "== ctest in build"
timed "ctest in build" bash scripts/run-ctest.sh "$here/build" --output-on-failure -j "$jobs" --timeout 600 || { fail "ctest in build"; failed_builds+=(build); }
echo "== ctest in build-asan"
timed "ctest in build-asan" bash scripts/run-ctest.sh "$here/build-asan" --output-on-failure -j "$jobs" --timeout 600 -LE browser -E "${daemon_tests}Postgres" || { fail "ctest in build-asan"; failed_builds+=(build-asan); }
# The thread sanitizer runs the tests labelled "threads" where they are
# built: the unit tests that start threads, the engine's tests and the tests
# across processes.
echo "== ctest in build-tsan (threaded tests)"
timed "ctest in build-tsan" bash scripts/run-ctest.sh "$here/build-tsan" --output-on-failure -j "$jobs" --timeout 600 -L threads -E "${daemon_tests}Sqlite" || { fail "ctest in build-tsan"; failed_builds+=(build-tsan); }
echo "== waiting for the naming check and the packages' build (beside the tests since $((SECONDS - side_start)) s)"
wait "$side_pid" || true
cat "$side/naming.log"
[ -f "$side/naming.end" ] && echo "== naming check ended $(($(cat "$side/naming.end") - side_started)) s after its start"
[ "$(cat "$side/naming.status" 2>/dev/null)" = 0 ] || fail "naming check"
cat "$side/packages.log"
[ "$(cat "$side/packages.status" 2>/dev/null)" = 0 ] || fail "packages' build"
[ -f "$side/packages.end" ] && echo "== the packages' build ended $(($(cat "$side/packages.end") - side_started)) s after the naming check's start"
etc_after=$(ls -d /etc/norvale /run/norvale 2>/dev/null || true)
if [ "$etc_after" != "$etc_before" ]; then
  echo "FAIL: the tests wrote the machine's own $etc_after; a program run without NORVALE_ROOT did" >&2
  fail "the machine's /etc or /run"
fi
# The Debian packages built above (build-deb/): lintian, installed into a
# temporary root and checked there.
echo "== Debian packages"
if [ "$(cat "$side/packages.status" 2>/dev/null)" = 0 ]; then
  timed "packages' checks" bash scripts/package.sh check || fail "packages' checks"
fi
echo "== the whole run took $SECONDS s"
if [ "$failed" -ne 0 ]; then
  # A CI log is often read from its end: the reason for a red run goes there.
  echo "== the run FAILED in: $(printf '%s; ' "${failures[@]}")"
  if [ ${#failed_builds[@]} -gt 0 ]; then
    python3 scripts/failed-tests.py "${failed_builds[@]}" || true
  fi
fi
exit $failed
