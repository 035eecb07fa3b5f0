#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test of the project: installs the
# missing packages, builds a normal, an address+undefined sanitizer and a
# thread sanitizer configuration, starts a private PostgreSQL server for the
# run, runs every test in all three builds, and stops the server again.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)
failed=0

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DVELQUOR_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build -DCMAKE_BUILD_TYPE=Release
build build-asan -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZER=address -DVELQUOR_BUILD_BENCHMARKS=OFF
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZER=thread -DVELQUOR_BUILD_BENCHMARKS=OFF
bash scripts/format-check.sh
bash scripts/check-includes.sh

# The tests learn the private server's address from NORVALE_TEST_PG.
source scripts/pg.sh
pg_start
trap pg_stop EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
# Every test runs in every configuration: which tests meet threads is not
# something a list kept by hand would stay right about.
for dir in build build-asan build-tsan; do
  echo "== ctest in $dir"
  (cd "$here/$dir" && ctest --output-on-failure -j "$jobs" --timeout 600) || failed=1
done
exit $failed
