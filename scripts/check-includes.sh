#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer.
#
# The library's layers, lowest first (one line per floor; names on one line
# share a floor and may not include each other):
#   platform
#   errors engine
#   util
#   config
#   queues accounts
#   core
#   listener
#   api
#   tools server frontends
# frontends/ holds programs beside tools/ and server/ (velquor-http in
# frontends/http/, velquor-smppd in frontends/smpp/): they include the
# library and what lies beside them, never tools/ or each other, and of
# server/ only the two floors free of I/O, codec/ and smpp/ (the SMPP
# server speaks the protocol the engine's driver speaks).
# A file may include headers of its own layer and of lower floors, and the
# public headers (norvale/...). The one exception: errors includes the mutex
# of util (util/mutex.h), since logging takes that mutex and the mutex logs
# its own failures through errors.
#
# server/ (the engine) has floors of its own, lowest first, each a folder:
#   codec    server/codec/, included as "codec/...": the standard library only
#   smpp     server/smpp/, included as "smpp/...": the codec
#   drivers  server/drivers/, included as "server/drivers/...": the two above
#            and the library's layers
#   engine   server/engine/, included as "server/engine/...": the floors
#            below and the library's layers
#   program  server/*.cc at the top: everything above
# A file in any other folder of server/ fails the check until the folder is
# given its floor here.
# codec and smpp are free of I/O: they include no header of the library, no
# public header, and in angle brackets only standard C++ headers (<vector>,
# not <unistd.h> or <openssl/ssl.h>). Neither the library nor tools/
# include anything of server/; frontends/ only codec/ and smpp/.
# Unit tests (*_test.cc) may set up what they need from any layer and are not
# checked. Usage: check-includes.sh [ROOT] (default: the repository).
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root"

# The floor of a library layer, of tools and of server.
declare -A floor=([platform]=1 [errors]=2 [engine]=2 [util]=3 [config]=4 [queues]=5 [accounts]=5
  [core]=6 [listener]=7 [api]=8 [tools]=9 [server]=9 [frontends]=9)
# The floors inside server/.
declare -A server_floor=([codec]=1 [smpp]=2 [drivers]=3 [engine]=4 [program]=5)

# Sets `part_of_header` to the floor inside server/ that an include path names, or to
# nothing when it names none ("engine/..." is the library's layer of the
# engine interfaces).
server_part_of_header() {
  case $1 in
    codec/*) part_of_header=codec ;;
    smpp/*) part_of_header=smpp ;;
    server/drivers/*) part_of_header=drivers ;;
    server/engine/*) part_of_header=engine ;;
    server/*) part_of_header=program ;;
    *) part_of_header="" ;;
  esac
}

bad=0
report() {  # report FILE HEADER WHY
  echo "$1: includes $2 ($3)"
  bad=1
}

# Sets `layer` (a library layer, tools or server) and, for server/, `part`
# (its floor there, or "unknown") of a file; `layer` is empty for a file that
# is not checked.
classify() {
  part=""
  case $1 in
    *_test.cc) layer="" ;;
    src/*) layer=${1#src/}; layer=${layer%%/*} ;;
    tools/*) layer=tools ;;
    frontends/*) layer=frontends ;;
    server/codec/*) layer=server; part=codec ;;
    server/smpp/*) layer=server; part=smpp ;;
    server/drivers/*) layer=server; part=drivers ;;
    server/engine/*) layer=server; part=engine ;;
    server/*/*) layer=server; part=unknown ;;
    server/*) layer=server; part=program ;;
    *) layer="" ;;
  esac
}

files=()
while IFS= read -r file; do
  classify "$file"
  if [ "$part" = unknown ]; then
    echo "$file: lies in a folder of server/ that has no floor (codec, smpp, drivers, engine)"
    bad=1
  fi
  files+=("$file")
done < <(find src tools server frontends \( -name '*.h' -o -name '*.cc' \) 2>/dev/null | sort)
[ ${#files[@]} -gt 0 ] || { echo "no sources under $root"; exit 1; }

# One line per include of every file: FILE:#include ...
while IFS= read -r line; do
  file=${line%%:*}
  line=${line#*:}
  classify "$file"
  if [ -z "$layer" ] || [ "$part" = unknown ]; then continue; fi
  own=${floor[$layer]:-}
  [ -n "$own" ] || continue
  io_free=0
  case $part in codec | smpp) io_free=1 ;; esac

  if [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\< ]]; then
    # Standard C++ headers have bare names: <vector>, <cstdint>.
    header=${line#*<}; header=${header%%>*}
    if [ $io_free -eq 1 ] && ! [[ $header =~ ^[a-z_]+$ ]]; then
      report "$file" "<$header>" "$part includes only the standard library and the floors below it in server/"
    fi
    continue
  fi
  header=${line#*\"}; header=${header%%\"*}
  [[ $header == */* ]] || continue  # beside the file
  target=${header%%/*}
  server_part_of_header "$header"
  theirs_part=$part_of_header
  if [ -n "$part" ]; then
    # A file of server/.
    if [ -n "$theirs_part" ]; then
      [ "$theirs_part" = "$part" ] && continue
      if [ "${server_floor[$theirs_part]}" -ge "${server_floor[$part]}" ]; then
        report "$file" "$header" "server/ floor $theirs_part is not below $part"
      fi
      continue
    fi
    if [ $io_free -eq 1 ]; then
      report "$file" "$header" "$part includes only the standard library and the floors below it in server/"
      continue
    fi
  else
    # A file of the library or of tools/: nothing of server/; one of
    # frontends/: its protocol floors only.
    if [ "$layer" = frontends ] && { [ "$theirs_part" = codec ] || [ "$theirs_part" = smpp ]; }; then
      continue
    fi
    if [ -n "$theirs_part" ]; then
      report "$file" "$header" "server/ is not below $layer"
      continue
    fi
    [ "$target" = "$layer" ] && continue
  fi
  [ "$layer" = errors ] && [ "$header" = util/mutex.h ] && continue
  theirs=${floor[$target]:-}
  [ -n "$theirs" ] || continue  # norvale/, generated headers
  if [ "$theirs" -ge "$own" ]; then
    report "$file" "$header" "layer $target is not below $layer"
  fi
done < <(grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' "${files[@]}" || true)
[ $bad -eq 0 ] && echo "include order check passed"
exit $bad
