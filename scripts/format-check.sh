#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format makes of it, naming
# each such file. The files are checked in parallel, one per processor.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck disable=SC2016  # $1 is the inner shell's
if { git ls-files '*.cc' '*.h' 2>/dev/null ||
  find include src tools frontends tests bench examples server -name '*.cc' -o -name '*.h'; } |
  xargs -d '\n' -n 16 -P "$(nproc)" sh -c 'status=0
    for f in "$@"; do
      clang-format --style=file --dry-run -Werror "$f" >/dev/null 2>&1 || { echo "not formatted: $f"; status=1; }
    done
    exit $status' _; then
  echo "format check passed"
  exit 0
fi
exit 1
