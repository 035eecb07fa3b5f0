#!/usr/bin/env bash
# The include-order check passes on the tree and fails on an include that
# runs upward, naming the file and the header.
set -euo pipefail
repo=$1
bash "$repo/scripts/check-includes.sh" "$repo" >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -r "$repo/src" "$tmp/"
printf '#include "core/velquor_client_core.h"\n' >>"$tmp/src/queues/job_queue.cc"
if out=$(bash "$repo/scripts/check-includes.sh" "$tmp"); then
  echo "an upward include was not reported"; exit 1
fi
grep -q 'src/queues/job_queue.cc: includes core/velquor_client_core.h' <<<"$out" || { echo "unexpected report: $out"; exit 1; }
echo "include order check: both cases behave"
