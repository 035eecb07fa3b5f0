#!/usr/bin/env bash
# scripts/run-ctest.sh: a skip outside tests/allowed-skips.txt fails the run,
# under CI=true any skip does, and the count of skips is printed either way.
#   run_ctest_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
run="$src/scripts/run-ctest.sh"
fail=0
check() {  # check WHAT EXPECTED-STATUS(0|nonzero) STATUS OUTPUT PATTERN
  local what=$1 want=$2 got=$3 out=$4 pattern=$5
  if { [ "$want" = 0 ] && [ "$got" -ne 0 ]; } || { [ "$want" != 0 ] && [ "$got" -eq 0 ]; }; then
    echo "FAIL: $what: exit status $got"; echo "$out"; fail=1
  elif ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $what: no \"$pattern\" in:"; echo "$out"; fail=1
  fi
}

# A hand-written ctest directory: one test that skips as gtest does, with a
# name the allow-list knows, and one it does not know.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/CTestTestfile.cmake" <<'END'
add_test(Fake.Case/Postgres "sh" "-c" "echo '[  SKIPPED ] no server'")
set_tests_properties(Fake.Case/Postgres PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
add_test(Fake.Unlisted "sh" "-c" "echo '[  SKIPPED ] whatever'")
set_tests_properties(Fake.Unlisted PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
add_test(Fake.Passes "true")
END
out=$(env -u CI bash "$run" "$dir" -R 'Postgres|Passes' 2>&1); st=$?
check "allowed skip outside CI" 0 $st "$out" "== 1 tests skipped in .*, 0 of them not allowed"
out=$(CI=true bash "$run" "$dir" -R 'Postgres|Passes' 2>&1); st=$?
check "allowed skip under CI=true" 1 $st "$out" "under CI=true no test may be skipped"
out=$(env -u CI bash "$run" "$dir" 2>&1); st=$?
check "unlisted skip" 1 $st "$out" "== 2 tests skipped in .*, 1 of them not allowed"
grep -q "^  Fake.Unlisted$" <<<"$out" || { echo "FAIL: the unlisted test is not named:"; echo "$out"; fail=1; }
out=$(CI=true bash "$run" "$dir" -R Passes 2>&1); st=$?
check "no skip under CI=true" 0 $st "$out" "== 0 tests skipped"

# A test program that ctest does not know fails the run, however green the
# tests it does know.
printf '#!/bin/sh\n' >"$dir/unreached_tests"
chmod +x "$dir/unreached_tests"
out=$(env -u CI bash "$run" "$dir" -R Passes 2>&1); st=$?
check "unreached test program" 1 $st "$out" "test programs that ctest does not run"
grep -q "unreached_tests" <<<"$out" || { echo "FAIL: the unreached program is not named:"; echo "$out"; fail=1; }
rm "$dir/unreached_tests"

# In a ninja build the programs are its *_tests targets: one the build leaves
# out (not built) is not asked for, one built is.
cat >"$dir/build.ninja" <<'END'
rule CXX_EXECUTABLE_LINKER__left_out_tests
  command = printf '#!/bin/sh\n' >$out && chmod +x $out
build left_out_tests: CXX_EXECUTABLE_LINKER__left_out_tests
END
out=$(env -u CI bash "$run" "$dir" -R Passes 2>&1); st=$?
check "a test program the build leaves out" 0 $st "$out" "== 0 tests skipped"
ninja -C "$dir" -t targets all >/dev/null && ninja -C "$dir" left_out_tests >/dev/null
out=$(env -u CI bash "$run" "$dir" -R Passes 2>&1); st=$?
check "the same program built" 1 $st "$out" "left_out_tests"
rm -f "$dir/build.ninja" "$dir/left_out_tests" "$dir/.ninja_log" "$dir/.ninja_deps"

# A failed test is named, with its output, by scripts/failed-tests.py after
# the run (which the test command prints at the end of its log).
cat >>"$dir/CTestTestfile.cmake" <<'END'
add_test(Fake.Fails "sh" "-c" "echo 'x.cc:7: Failure'; echo 'Expected: 1 < 2'; exit 1")
END
env -u CI bash "$run" "$dir" -R 'Fails|Passes' >/dev/null 2>&1 && { echo "FAIL: a failed test passed the run"; fail=1; }
out=$(python3 "$src/scripts/failed-tests.py" "$dir" 2>&1)
check "the failed test named after the run" 0 0 "$out" "^-- .*: Fake.Fails \(Test Failed"
grep -q "x.cc:7: Failure" <<<"$out" || { echo "FAIL: the failure's line is not shown:"; echo "$out"; fail=1; }
grep -q "Fake.Passes" <<<"$out" && { echo "FAIL: a passed test is named:"; echo "$out"; fail=1; }

# A real PostgreSQL case without a server: skipped outside CI, failed under it.
real='/QueueTest\.IdentifiersFollowTheLargest/Postgres'
out=$(env -u CI -u NORVALE_TEST_PG bash "$run" "$build" -R "$real" 2>&1); st=$?
check "no server outside CI" 0 $st "$out" "skipped \(allowed: .*\): Backends/QueueTest.IdentifiersFollowTheLargest/Postgres"
out=$(CI=true env -u NORVALE_TEST_PG bash "$run" "$build" -R "$real" --output-on-failure 2>&1); st=$?
check "no server under CI=true" 1 $st "$out" "not skipped under CI=true: NORVALE_TEST_PG is not set"
exit $fail
