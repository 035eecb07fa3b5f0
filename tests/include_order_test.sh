#!/usr/bin/env bash
# The include-order check passes on the tree and fails on an include that
# runs upward, naming the file and the header: between the library's layers,
# between the floors of server/ (codec < smpp < drivers < engine < program),
# out of the I/O-free codec and SMPP libraries, from the library into
# server/, and between the programs of the top floor (tools/, server/,
# frontends/).
set -euo pipefail
repo=$1
check=$repo/scripts/check-includes.sh
bash "$check" "$repo" >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -r "$repo/src" "$repo/tools" "$repo/server" "$repo/frontends" "$tmp/"
bash "$check" "$tmp" >/dev/null || { echo "the copied tree does not pass"; exit 1; }

# Each line: a file of the copy, the include appended to it, and the report
# expected for it.
cases=(
  'src/queues/job_queue.cc|#include "core/velquor_client_core.h"|src/queues/job_queue.cc: includes core/velquor_client_core.h (layer core is not below queues)'
  'server/drivers/smpp/smpp_driver.cc|#include "server/engine/handset.h"|server/drivers/smpp/smpp_driver.cc: includes server/engine/handset.h (server/ floor engine is not below drivers)'
  'server/drivers/sms_driver.h|#include "server/velquor_main.h"|server/drivers/sms_driver.h: includes server/velquor_main.h (server/ floor program is not below drivers)'
  'server/engine/handset.h|#include "tools/commands.h"|server/engine/handset.h: includes tools/commands.h (layer tools is not below server)'
  'server/codec/udh.cc|#include "smpp/pdu.h"|server/codec/udh.cc: includes smpp/pdu.h (server/ floor smpp is not below codec)'
  'server/codec/hex.h|#include "platform/registry.h"|server/codec/hex.h: includes platform/registry.h (codec includes only'
  'server/codec/hex.cc|#include <unistd.h>|server/codec/hex.cc: includes <unistd.h> (codec includes only'
  'server/smpp/pdu.cc|#include "server/drivers/sms_driver.h"|server/smpp/pdu.cc: includes server/drivers/sms_driver.h (server/ floor drivers is not below smpp)'
  'server/smpp/pdu.h|#include "norvale/enums.h"|server/smpp/pdu.h: includes norvale/enums.h (smpp includes only'
  'server/smpp/pdu_framer.cc|#include <openssl/ssl.h>|server/smpp/pdu_framer.cc: includes <openssl/ssl.h> (smpp includes only'
  'src/core/velquor_client_core.cc|#include "codec/hex.h"|src/core/velquor_client_core.cc: includes codec/hex.h (server/ is not below core)'
  'tools/velquor.cc|#include "server/drivers/sms_driver.h"|tools/velquor.cc: includes server/drivers/sms_driver.h (server/ is not below tools)'
  'frontends/http/message_api.cc|#include "tools/commands.h"|frontends/http/message_api.cc: includes tools/commands.h (layer tools is not below frontends)'
  'frontends/http/http_server.cc|#include "server/engine/handset.h"|frontends/http/http_server.cc: includes server/engine/handset.h (server/ is not below frontends)'
  'tools/commands.h|#include "frontends/http/message_api.h"|tools/commands.h: includes frontends/http/message_api.h (layer frontends is not below tools)'
)
for c in "${cases[@]}"; do
  IFS='|' read -r file include _ <<<"$c"
  printf '%s\n' "$include" >>"$tmp/$file"
done
if out=$(bash "$check" "$tmp"); then
  echo "upward includes were not reported"; exit 1
fi
for c in "${cases[@]}"; do
  IFS='|' read -r _ _ expected <<<"$c"
  grep -qF "$expected" <<<"$out" || { printf 'not reported: %s\nreport:\n%s\n' "$expected" "$out"; exit 1; }
done
[ "$(wc -l <<<"$out")" -eq "${#cases[@]}" ] || { printf 'more reported than planted:\n%s\n' "$out"; exit 1; }

# A folder of server/ without a floor is refused, so a new one gets its place.
mkdir "$tmp/server/extras"
printf '#include <vector>\n' >"$tmp/server/extras/extra.cc"
out=$(bash "$check" "$tmp") && { echo "a folder without a floor passed"; exit 1; }
grep -qF 'server/extras/extra.cc: lies in a folder of server/ that has no floor' <<<"$out" ||
  { echo "unexpected report: $out"; exit 1; }
echo "include order check: every case behaves"
