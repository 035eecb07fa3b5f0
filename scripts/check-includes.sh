#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer.
#
# The layers, lowest first (one line per floor; names on one line share a
# floor and may not include each other):
#   platform
#   errors engine
#   util
#   config
#   queues
#   core
#   listener
#   api
#   tools server
# A file may include headers of its own layer and of lower floors, and the
# public headers (norvale/...). The one exception: errors includes the mutex
# of util (util/mutex.h), since logging takes that mutex and the mutex logs
# its own failures through errors.
# Unit tests (*_test.cc) may set up what they need from any layer and are not
# checked. Usage: check-includes.sh [ROOT] (default: the repository).
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root"

floor_of() {
  case $1 in
    platform) echo 1 ;;
    errors | engine) echo 2 ;;
    util) echo 3 ;;
    config) echo 4 ;;
    queues) echo 5 ;;
    core) echo 6 ;;
    listener) echo 7 ;;
    api) echo 8 ;;
    tools | server) echo 9 ;;
    *) echo "" ;;
  esac
}

bad=0
while IFS= read -r file; do
  case $file in
    src/*) layer=${file#src/}; layer=${layer%%/*} ;;
    tools/* | server/*) layer=${file%%/*} ;;
    *) continue ;;
  esac
  case $file in *_test.cc | */codec/*) continue ;; esac
  own=$(floor_of "$layer")
  [ -n "$own" ] || continue
  while IFS= read -r line; do
    target=${line#*\"}; target=${target%%/*}
    [ "$target" = "$layer" ] && continue
    header=${line#*\"}; header=${header%%\"*}
    [ "$layer" = errors ] && [ "$header" = util/mutex.h ] && continue
    theirs=$(floor_of "$target")
    [ -n "$theirs" ] || continue  # norvale/, generated headers, system headers
    if [ "$theirs" -ge "$own" ]; then
      echo "$file: includes $header (layer $target is not below $layer)"
      bad=1
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z_]+/' "$file" || true)
done < <(find src tools server -name '*.h' -o -name '*.cc' 2>/dev/null | sort)
[ $bad -eq 0 ] && echo "include order check passed"
exit $bad
