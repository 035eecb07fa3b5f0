#!/usr/bin/env bash
# Measures velquor-smppd, the SMPP server for applications, in interleaved
# rounds on the same machine, beside what bounds it: the same client against
# the raw SMPP sink (which queues nothing) and the floor of the durable
# insert on each backend; prints a markdown table of the medians and
# minimums with the ratios of the same run.
#
#   bash bench/smppd_compare.sh [--build=DIR] [--rounds=R] [--messages=N]
#                               [--window=W] [--binds=B]
#                               [--backend=sqlite|postgresql|both]
#                               [--receipts=0|1]
#
# Needs a build with the benchmarks (DIR, default build/: velquor-smppd,
# velquor-server, velquor, smpp_sink, smpp_client_load, smpp_insert_floor,
# smpp_account), sqlite3 and psql. PostgreSQL: the server NORVALE_TEST_PG
# names, else a private one from scripts/pg.sh for the run.
#
# Each round, in this order (the client is build/bench/smpp_client_load, one
# bind with a window of W (100) submitting N (20,000) messages unless said
# otherwise):
# - sink: the client against smpp_sink, which answers at once and queues
#   nothing: the floor of the client, SMPP and loopback TCP here;
# - per backend, on a new queue:
#   * floor: smpp_insert_floor, N jobs in groups of 100 committed back to
#     back through COutgoingBatch, alone and with their SmppJobs rows in the
#     same transaction (what the daemon must write per submit): rows/s;
#   * smppd: velquor-smppd with one account (no rate limit), the client's
#     accepted submit_sm_resp per second;
#   * on PostgreSQL also B binds (default 4) sharing the N messages;
#   * receipts (--receipts=1, the default): the client submits N messages
#     with registered_delivery on a transmitter bind; velquor-server with a
#     fast simulator handset (no latency, reports at once, window 100) turns
#     them into delivered reports and the daemon's pump puts a receipt for
#     each into its outbox; once all N are there (waited for at most
#     60 + N/100 s) a transceiver bind takes them (as long again at most): receipts per second at
#     the client, first to last, each answered deliver_sm_resp at once.
# Ratios: the smppd rate against its target (5,000/s for one bind, 10,000/s
# for B binds on PostgreSQL) and against min(sink rate, insert floor with
# SmppJobs) of the same round (>= 1 wanted); receipts against 2,000/s.
# Every wait is capped; everything listens on loopback on free ports, lives
# in a temporary directory and is stopped at exit (KANNEL_COMPARE_KEEP=1
# keeps the directory).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

build=$here/build rounds=3 messages=20000 window=100 binds=4 backend=both receipts=1
for arg in "$@"; do
  case $arg in
    --build=*) build=$(cd "${arg#*=}" && pwd) ;;
    --rounds=*) rounds=${arg#*=} ;;
    --messages=*) messages=${arg#*=} ;;
    --window=*) window=${arg#*=} ;;
    --binds=*) binds=${arg#*=} ;;
    --backend=*) backend=${arg#*=} ;;
    --receipts=*) receipts=${arg#*=} ;;
    *) echo "smppd_compare.sh: unknown argument '$arg' (see the head of $0)" >&2; exit 2 ;;
  esac
done
for n in "$rounds" "$messages" "$window" "$binds"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "smppd_compare.sh: --rounds, --messages, --window and --binds take a number" >&2; exit 2; }
done
[[ $receipts =~ ^[01]$ ]] || { echo "smppd_compare.sh: --receipts is 0 or 1" >&2; exit 2; }
case $backend in
  sqlite) backends=(sqlite) ;; postgresql) backends=(postgresql) ;; both) backends=(postgresql sqlite) ;;
  *) echo "smppd_compare.sh: --backend is sqlite, postgresql or both" >&2; exit 2 ;;
esac
command -v sqlite3 >/dev/null || { echo "smppd_compare.sh: sqlite3 not found" >&2; exit 2; }
for program in bench/smpp_sink bench/smpp_client_load bench/smpp_insert_floor bench/smpp_account tools/velquor \
  server/velquor-server frontends/smpp/velquor-smppd; do
  [ -x "$build/$program" ] ||
    { echo "smppd_compare.sh: $build/$program missing: build with -DVELQUOR_BUILD_BENCHMARKS=ON" >&2; exit 2; }
done

work=$(mktemp -d /tmp/smppd-compare-XXXXXX)
# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
bench_traps
bench_postgres "${backends[@]}"
velquor_db=velquor_smppd_compare
client=$build/bench/smpp_client_load
password=bench1

declare -A values
record() {  # record NAME VALUE
  values[$1]+="$2 "
}

# Runs the client with ARGS...; records NAME's rate (FIELD of its JSON, default
# rate) when it completed, and prints a line.
run_client() {  # run_client NAME FIELD OUT ARGS...
  local name=$1 field=$2 out=$3 rate; shift 3
  "$client" "$@" >"$out" 2>"$out.err" || true
  if ! grep -q '"complete":true' "$out"; then
    echo "  round $round $name: not counted: $(head -c 400 "$out") $(head -c 200 "$out.err")"
    return 0
  fi
  rate=$(json_value "$out" "$field")
  record "$name" "$rate"
  if [ "$field" = rate ]; then
    printf '  round %d %-34s %9s /s  (answer p50 %s ms, p99 %s ms)\n' "$round" "$name" "$rate" \
      "$(json_value "$out" latency_ms_p50)" "$(json_value "$out" latency_ms_p99)"
  else
    printf '  round %d %-34s %9s /s  (%s in %s s, %s repeated)\n' "$round" "$name" "$rate" \
      "$(json_value "$out" receipts)" "$(json_value "$out" receipt_seconds)" "$(json_value "$out" receipts_repeated)"
  fi
}

sink_round() {
  local out=$work/sink-$round.out
  "$build/bench/smpp_sink" --port=0 >"$out" &
  local sink=$!
  pids+=("$sink")
  wait_for 10 grep -q '^port ' "$out"
  run_client "sink 1x$window" rate "$work/sink-client-$round.json" --port="$(sed -n 's/^port //p' "$out")" \
    --binds=1 --window="$window" --messages="$messages" --seconds=120
  stop "$sink"
}

# The floor of the durable insert on a new queue of BACKEND.
floor_part() {  # floor_part BACKEND
  local b=$1 dsn out with
  if [ "$b" = sqlite ]; then
    dsn=sqlite:$work/floor-$round.db
  else
    "$psql" -q "$NORVALE_TEST_PG" -c "DROP DATABASE IF EXISTS velquor_smppd_floor" \
      -c "CREATE DATABASE velquor_smppd_floor" >/dev/null 2>&1
    dsn=${NORVALE_TEST_PG%/*}/velquor_smppd_floor
  fi
  for with in 0 1; do
    out=$work/floor-$round-$b-$with.json
    if ! timeout 120 "$build/bench/smpp_insert_floor" --dsn="$dsn" --rows="$messages" --group=100 \
      --smpp-jobs="$with" >"$out" 2>&1; then
      echo "  round $round floor $b: failed: $(head -c 300 "$out")"
      continue
    fi
    local name="floor $b" rate
    [ "$with" = 0 ] || name="floor+SmppJobs $b"
    rate=$(json_value "$out" rate)
    record "$name" "$rate"
    printf '  round %d %-34s %9s rows/s  (commit of 100: p50 %s ms, p99 %s ms)\n' "$round" "$name" "$rate" \
      "$(json_value "$out" commit_ms_p50)" "$(json_value "$out" commit_ms_p99)"
  done
  [ "$b" = sqlite ] && rm -f "$work/floor-$round.db"*
  return 0
}

# Starts velquor-smppd on the queue velquor_setup made; sets smppd_pid and
# smppd_port.
start_smppd() {
  "$build/frontends/smpp/velquor-smppd" --listen 127.0.0.1 --port 0 >"$root/smppd.out" 2>&1 &
  smppd_pid=$!
  pids+=("$smppd_pid")
  wait_for 20 grep -q 'listening on' "$root/smppd.out" ||
    { echo "  velquor-smppd did not start: $(tail -n 3 "$root/smppd.out")" >&2; return 1; }
  smppd_port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$root/smppd.out" | head -n 1)
}

# A new queue of BACKEND with the account bench (SMPP password, B + 1 binds).
smppd_setup() {  # smppd_setup BACKEND TAG
  velquor_setup "$round-$2" "$1"
  "$build/bench/smpp_account" bench "$password" "$((binds + 1))" "$window"
}

# SQL on the queue velquor_setup made; prints the first value.
query() {  # query BACKEND SQL
  if [ "$1" = sqlite ]; then
    sqlite3 -cmd '.timeout 5000' "${velquor_dsn#sqlite:}" "$2" 2>/dev/null | head -n 1
  else
    "$psql" -qAt "$velquor_dsn" -c "$2" 2>/dev/null | head -n 1
  fi
}

smppd_part() {  # smppd_part BACKEND
  local b=$1
  smppd_setup "$b" one
  start_smppd || return 0
  run_client "smppd $b 1x$window" rate "$root/client.json" --port="$smppd_port" --password="$password" \
    --binds=1 --window="$window" --messages="$messages" --seconds=120
  echo "    (jobs in the queue: $(query "$b" "SELECT COUNT(*) FROM SMSOutgoing"))"
  stop "$smppd_pid"
  if [ "$b" = postgresql ]; then
    smppd_setup "$b" binds
    start_smppd || return 0
    run_client "smppd $b ${binds}x$window" rate "$root/client.json" --port="$smppd_port" --password="$password" \
      --binds="$binds" --window="$window" --messages="$messages" --seconds=120
    stop "$smppd_pid"
  fi
}

receipts_part() {  # receipts_part BACKEND
  local b=$1 end got
  smppd_setup "$b" receipts
  "$v" config set --handset 1 Driver simulator
  "$v" config set --handset 1 Latency 0
  "$v" config set --handset 1 Reports 1
  "$v" config set --handset 1 ReportDelay 0
  "$v" config set --handset 1 Window 100
  "$v" config set PollInterval 10
  start_smppd || return 0
  run_client "smppd $b 1x$window registered" rate "$root/submit.json" --port="$smppd_port" \
    --password="$password" --transmitter=1 --registered=1 --binds=1 --window="$window" --messages="$messages" \
    --seconds=120
  "$build/server/velquor-server" >"$root/server.out" 2>&1 &
  local server=$! started=$SECONDS
  pids+=("$server")
  end=$((SECONDS + 60 + messages / 100))
  until got=$(query "$b" "SELECT COUNT(*) FROM SmppOutbox WHERE Kind=1"); [ "${got:-0}" -ge "$messages" ]; do
    [ "$SECONDS" -lt "$end" ] || break
    sleep 0.5
  done
  stop "$server"
  if [ "${got:-0}" -lt "$messages" ]; then
    echo "  round $round receipts $b: only ${got:-0} of $messages receipts in the outbox after $((SECONDS - started)) s"
    stop "$smppd_pid"
    return 0
  fi
  echo "    ($messages receipts in the outbox $((SECONDS - started)) s after the engine's start)"
  run_client "receipts $b" receipt_rate "$root/receipts.json" --port="$smppd_port" --password="$password" \
    --binds=1 --messages=0 --receipts="$messages" --receipt-seconds=$((60 + messages / 100))
  echo "    (left in the outbox: $(query "$b" "SELECT COUNT(*) FROM SmppOutbox"))"
  stop "$smppd_pid"
}

echo "velquor-smppd: $rounds round(s), $messages messages, window $window, $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
  sink_round
  for b in "${backends[@]}"; do
    floor_part "$b"
    smppd_part "$b"
    [ "$receipts" = 0 ] || receipts_part "$b"
  done
done

# The table: one row per measurement, median and minimum over the rounds.
med() { median <<<"${values[$1]:-}"; }
row() {  # row NAME LABEL TARGET RATIO
  local v=${values[$1]:-}
  if [ -z "$v" ]; then
    printf '| %s | not available | | %s | |\n' "$2" "$3"
  else
    printf '| %s | %s | %s | %s | %s |\n' "$2" "$(median <<<"$v")" "$(minimum <<<"$v")" "$3" "$4"
  fi
}
over() {  # over VALUE OF: VALUE / OF as "1.23x", nothing when either is missing
  [ -n "$1" ] && [ -n "$2" ] || return 0
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b }'
}
lesser() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "") print b; else if (b == "" || a < b) print a; else print b }'; }

echo
echo "| measurement ($rounds rounds, $messages messages) | median | minimum | target | ratio (medians) |"
echo "|---|---|---|---|---|"
sink=$(med "sink 1x$window")
row "sink 1x$window" "client against smpp_sink, 1 bind x $window, submit/s" "" ""
for b in "${backends[@]}"; do
  row "floor $b" "insert floor $b, COutgoingBatch of 100, rows/s" "" ""
  row "floor+SmppJobs $b" "insert floor $b, with the SmppJobs rows, rows/s" "" ""
done
for b in "${backends[@]}"; do
  rate=$(med "smppd $b 1x$window")
  bound=$(lesser "$sink" "$(med "floor+SmppJobs $b")")
  row "smppd $b 1x$window" "velquor-smppd $b, 1 bind x $window, submit/s" ">= 5,000; >= 1x min(sink, floor)" \
    "$(over "$rate" 5000) of 5,000; $(over "$rate" "$bound") of min(sink, floor) = $bound"
done
if [[ " ${backends[*]} " == *" postgresql "* ]]; then
  rate=$(med "smppd postgresql ${binds}x$window")
  row "smppd postgresql ${binds}x$window" "velquor-smppd postgresql, $binds binds x $window, submit/s" ">= 10,000" \
    "$(over "$rate" 10000) of 10,000"
fi
if [ "$receipts" = 1 ]; then
  for b in "${backends[@]}"; do
    row "smppd $b 1x$window registered" "velquor-smppd $b, transmitter, registered_delivery, submit/s" "" ""
    rate=$(med "receipts $b")
    row "receipts $b" "receipts $b, outbox to client, /s" ">= 2,000" "$(over "$rate" 2000) of 2,000"
  done
fi
