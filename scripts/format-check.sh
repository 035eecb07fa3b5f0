#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=0
while IFS= read -r f; do
  if ! clang-format --style=file --dry-run -Werror "$f" >/dev/null 2>&1; then
    echo "not formatted: $f"; bad=1
  fi
done < <(git ls-files '*.cc' '*.h' 2>/dev/null || find include src tools frontends tests bench examples server -name '*.cc' -o -name '*.h')
[ $bad -eq 0 ] && echo "format check passed"
exit $bad
