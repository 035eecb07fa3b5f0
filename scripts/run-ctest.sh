#!/usr/bin/env bash
# Runs ctest in a build directory and fails on any failure and on any skipped
# test that tests/allowed-skips.txt does not allow; under CI=true on any
# skipped test at all. Prints how many tests were skipped either way.
#
#   bash scripts/run-ctest.sh BUILD_DIR [ctest arguments...]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
allowed="$here/tests/allowed-skips.txt"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The test programs of the build: its ninja targets named *_tests that were
# built (files left from an older layout are not among them, nor targets
# this build leaves out), or, in a directory that ninja does not build, the
# executables of that name.
programs() {
  if [ -f "$dir/build.ninja" ]; then
    ninja -C "$dir" -t targets all | sed -n 's/^\([^:]*_tests\): CXX_EXECUTABLE_LINKER.*/\1/p' |
      while IFS= read -r t; do [ ! -x "$dir/$t" ] || echo "$dir/$t"; done
  else
    find "$dir" -path '*/CMakeFiles' -prune -o -type f -executable -name '*_tests' -print
  fi | sort
}
# The programs ctest runs, asked before the run: the listing replaces the log
# of ctest's last run, which scripts/failed-tests.py reads.
known=$(cd "$dir" && ctest --show-only=json-v1 | python3 -c '
import json, os, sys
for t in json.load(sys.stdin).get("tests", []):
    if t.get("command"):
        print(os.path.realpath(t["command"][0]))')
(cd "$dir" && ctest "$@") 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

unreached=()
while IFS= read -r program; do
  grep -qxF "$(realpath "$program")" <<<"$known" || unreached+=("$program")
done < <(programs)
if [ ${#unreached[@]} -gt 0 ]; then
  echo "test programs that ctest does not run (is testing enabled in every folder above them?):"
  printf '  %s\n' "${unreached[@]}"
  [ "$status" -ne 0 ] || status=1
fi

# ctest lists the tests that did not run after its summary:
#   "The following tests did not run:" then "\t 12 - Name (Skipped)".
mapfile -t skipped < <(sed -n '/^The following tests did not run:/,/^[^[:space:]]/p' "$log" |
  sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p')

refused=()
for name in "${skipped[@]}"; do
  name=${name%%  # GetParam()*}  # a parameterised test's name ends with its parameter's bytes
  reason=""
  if [ "${CI:-}" != "true" ]; then
    while read -r pattern why; do
      case "$pattern" in '' | '#'*) continue ;; esac
      if [[ "$name" =~ ^($pattern)$ ]]; then
        reason=$why
        break
      fi
    done <"$allowed"
  fi
  if [ -n "$reason" ]; then
    echo "skipped (allowed: $reason): $name"
  else
    refused+=("$name")
  fi
done
echo "== ${#skipped[@]} tests skipped in $dir, ${#refused[@]} of them not allowed"
if [ ${#refused[@]} -gt 0 ]; then
  if [ "${CI:-}" = "true" ]; then
    echo "under CI=true no test may be skipped:"
  else
    echo "skipped, and not allowed by tests/allowed-skips.txt:"
  fi
  printf '  %s\n' "${refused[@]}"
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
