#!/usr/bin/env bash
# Compares the ABI of a build's libvelquor.so with the stored baseline
# abi/libvelquor.abi and fails on any change: a public type's layout, an
# exported function or variable removed, changed or added.
#
#   check-abi.sh BUILD_DIR            check
#   check-abi.sh --update BUILD_DIR   store the build's ABI as the new baseline
#
# The build must be the Release configuration (its library carries the debug
# information that describes the types). Only what the public headers
# declare counts: types defined elsewhere are kept as opaque declarations, so
# a change inside the library's own classes is no ABI change.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
baseline=$repo/abi/libvelquor.abi

update=0
if [ "${1:-}" = "--update" ]; then
  update=1
  shift
fi
[ $# -eq 1 ] || { echo "usage: $0 [--update] BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
library=$build/libvelquor.so
[ -f "$library" ] || { echo "no $library: build the Release configuration first" >&2; exit 2; }
command -v abidw >/dev/null || { echo "abidw not found: run scripts/setup.sh (abigail-tools)" >&2; exit 2; }
[[ $(readelf -S "$library") == *.debug_info* ]] ||
  { echo "$library has no debug information: check the Release build" >&2; exit 2; }

# Nothing that differs between two builds of the same code: no paths of the
# build, no source locations, type ids made from the types themselves. The
# compilation unit paths are the sources' paths relative to the repository,
# whether the compiler saw them relative (ccache) or absolute.
dump() {  # dump OUTPUT
  abidw --headers-dir "$repo/include/norvale" --headers-dir "$build/generated/include/norvale" \
    --drop-private-types --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-show-locs \
    --type-id-style hash --out-file "$1" "$library"
  sed -i -E "s#(<abi-instr [^>]* path=')[^']*/(src|server|tools)/#\1\2/#" "$1"
}

if [ $update = 1 ]; then
  mkdir -p "$(dirname "$baseline")"
  dump "$baseline"
  echo "stored the ABI of $library in ${baseline#"$repo"/}"
  exit 0
fi

[ -f "$baseline" ] || { echo "no baseline ${baseline#"$repo"/}: make one with $0 --update $1" >&2; exit 2; }
current=$(mktemp)
trap 'rm -f "$current"' EXIT
dump "$current"
status=0
report=$(abidiff "$baseline" "$current") || status=$?
if [ $status -eq 0 ]; then
  echo "ABI check passed: libvelquor.so matches ${baseline#"$repo"/}"
  exit 0
fi
if ((status & 3)); then  # abidiff itself failed
  echo "$report"
  echo "abidiff failed (status $status)" >&2
  exit 1
fi
echo "$report"
# abidiff flags a removed or changed symbol as incompatible; a changed type
# layout is reported as a change, and breaks programs all the same.
if ((status & 8)); then
  echo "ABI check FAILED: an incompatible change of the public ABI (see above)." >&2
else
  echo "ABI check FAILED: the public ABI changed (see above)." >&2
fi
echo "If the change is intended, store the new baseline and commit it with the change:" >&2
echo "  bash scripts/check-abi.sh --update $1" >&2
exit 1
