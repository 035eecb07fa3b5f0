#!/usr/bin/env bash
# Checks the naming rule of CONTRIBUTING.md ("Naming", configured in
# .clang-tidy) with clang-tidy's readability-identifier-naming on every C++
# file of src/, server/, tools/, frontends/, tests/, examples/ and bench/ that
# scripts/naming-baseline.txt does not list. The baseline holds the files
# written before the rule, so they are not renamed for it; a new file follows
# it. Fails naming the file, the line and the name.
# Usage: check-naming.sh [ROOT] (default: the repository).
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root"
tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
[ -n "$tidy" ] || { echo "clang-tidy not found: run scripts/setup.sh" >&2; exit 2; }
[ -f .clang-tidy ] || { echo "no .clang-tidy in $root" >&2; exit 2; }
baseline=scripts/naming-baseline.txt
touch_list=()
[ -f "$baseline" ] && touch_list=("$baseline")

mapfile -t files < <(find src server tools frontends tests examples bench \( -name '*.h' -o -name '*.cc' \) \
  -not -path '*/node_modules/*' 2>/dev/null | sort |
  { if [ ${#touch_list[@]} -gt 0 ]; then grep -vxF -f "$baseline" || true; else cat; fi; })
if [ ${#files[@]} -eq 0 ]; then
  echo "naming check passed (no file outside the baseline)"
  exit 0
fi

# A test fixture's members are used by its tests like locals and are named
# like them: the unit tests get the rule with lowerCamelCase for protected
# members instead of the m_ prefix.
tests_config=$(mktemp)
trap 'rm -f "$tests_config"' EXIT
awk '/ProtectedMemberPrefix/ { sub(/ProtectedMemberPrefix/, "ProtectedMemberCase"); print; getline;
       sub(/m_/, "camelBack") } { print }' .clang-tidy >"$tests_config"

# A header with its own source file (x.h beside x.cc or x_posix.cc) is judged
# with that file, which includes it: parsing it alone again would cost a
# fifth of the check. Every other file is judged on its own.
declare -A listed=()
for f in "${files[@]}"; do listed[$f]=1; done
units=()
for f in "${files[@]}"; do
  case $f in
    *.h) [ -n "${listed[${f%.h}.cc]:-}" ] || [ -n "${listed[${f%.h}_posix.cc]:-}" ] || units+=("$f") ;;
    *) units+=("$f") ;;
  esac
done

# Each unit as C++20 with the project's include paths; the units in parallel,
# one per processor. Only the names declared in the unit are judged.
# shellcheck disable=SC2317  # called through xargs
check_one() {  # check_one FILE: prints the findings, fails on one
  local config=.clang-tidy out header filter=
  case $1 in *_test.cc) config=$tests_config ;; esac
  header=${1%_posix.cc}
  header=${header%.cc}.h
  if [ "$header" != "$1" ] && [ -f "$header" ] && ! grep -qxF "$header" "$baseline" 2>/dev/null; then
    filter="--header-filter=(^|/)${header//./[.]}\$"
  fi
  # Only the naming findings fail the check: the clang here may not parse
  # every C++20 form that the compiler of the build takes (a structured
  # binding captured by a lambda), and a compile error is the build's to
  # find; the names it could read are still judged.
  out=$("$tidy" --quiet --config-file="$config" ${filter:+"$filter"} "$1" -- -x c++ -std=c++20 \
    -Iinclude -Isrc -Iserver -I. -Itests -I/usr/include/postgresql -DVELQUOR_SOURCE_DIR='""' 2>&1) || true
  if grep -q '\[readability-identifier-naming' <<<"$out"; then
    grep -E '\[readability-identifier-naming' <<<"$out"
    return 1
  fi
}
export -f check_one
export tidy tests_config baseline
# shellcheck disable=SC2016  # $1 is the inner shell's
if printf '%s\0' "${units[@]}" | xargs -0 -n 1 -P "$(nproc)" bash -c 'check_one "$1"' _; then
  echo "naming check passed (${#files[@]} files outside the baseline)"
  exit 0
fi
exit 1
