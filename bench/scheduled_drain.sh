#!/usr/bin/env bash
# The batch claim with scheduled messages waiting: velquor-server drains N due
# messages (queued through the client library) through one SMPP bind to
# bench/smpp_sink, in interleaved rounds without and with S messages
# scheduled for tomorrow waiting in the same table below them (smaller
# identifiers, so that a claim in identifier order would meet them first).
#
#   bash bench/scheduled_drain.sh [--build=DIR] [--messages=N] [--scheduled=S]
#                                 [--rounds=R] [--backend=sqlite|postgresql|both]
#
# Defaults: build/, N 10,000, S 100,000, 3 rounds, both backends
# (PostgreSQL: the server NORVALE_TEST_PG names, else a private one from
# scripts/pg.sh). Each round prints the two drain rates (submits per second at
# the sink, first to last arrival); at the end, per backend, the median and
# the minimum of the paired ratios with/without. The target is 0.90.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build messages=10000 scheduled=100000 rounds=3 backend=both delay=0 binds=1
for arg in "$@"; do
  case $arg in
    --build=*) build=$(cd "${arg#*=}" && pwd) ;;
    --messages=*) messages=${arg#*=} ;;
    --scheduled=*) scheduled=${arg#*=} ;;
    --rounds=*) rounds=${arg#*=} ;;
    --backend=*) backend=${arg#*=} ;;
    *) echo "scheduled_drain.sh: unknown argument '$arg' (see the head of $0)" >&2; exit 2 ;;
  esac
done
[[ $messages =~ ^[1-9][0-9]*$ && $scheduled =~ ^[0-9]+$ && $rounds =~ ^[1-9][0-9]*$ ]] ||
  { echo "scheduled_drain.sh: --messages and --rounds take a positive number, --scheduled a number" >&2; exit 2; }
case $backend in
  sqlite) backends=(sqlite) ;; postgresql) backends=(postgresql) ;; both) backends=(sqlite postgresql) ;;
  *) echo "scheduled_drain.sh: --backend is sqlite, postgresql or both" >&2; exit 2 ;;
esac
for program in bench/smpp_sink bench/queue_backlog tools/velquor server/velquor-server; do
  [ -x "$build/$program" ] ||
    { echo "scheduled_drain.sh: $build/$program missing: build with -DVELQUOR_BUILD_BENCHMARKS=ON" >&2; exit 2; }
done
command -v sqlite3 >/dev/null || { echo "scheduled_drain.sh: sqlite3 not found: apt-get install sqlite3" >&2; exit 2; }

work=$(mktemp -d /tmp/scheduled-drain-XXXXXX)
# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
bench_traps
bench_postgres "${backends[@]}"

# S pending messages for any handset, due in a day, with the identifiers 1
# to S; the library's messages then take the identifiers above them.
insert_scheduled() {  # insert_scheduled BACKEND
  local tomorrow=$(( ($(date +%s) + 86400) * 1000 ))
  local rows="SELECT i, 1, '+447700900123', 'Scheduled', 0, 0, 1, 'bench', 'bench', $tomorrow"
  local insert="INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId,
    SourceName, NotBefore)"
  if [ "$1" = sqlite ]; then
    sqlite3 "${velquor_dsn#sqlite:}" \
      "$insert WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $scheduled) $rows FROM n;"
  else
    "$psql" -q "$velquor_dsn" -c "$insert $rows FROM generate_series(1, $scheduled) AS i"
  fi
}

# The server's statistics as autovacuum would have them after such a load.
analyze() {  # analyze BACKEND
  if [ "$1" = sqlite ]; then sqlite3 "${velquor_dsn#sqlite:}" "ANALYZE;"; else "$psql" -q "$velquor_dsn" -c "ANALYZE"; fi
}

# One drain; prints the sink's rate. WITH is 0 or 1 (the scheduled rows).
drain_round() {  # drain_round ROUND BACKEND WITH
  velquor_setup "$1-$3" "$2"
  [ "$3" = 0 ] || [ "$scheduled" = 0 ] || insert_scheduled "$2"
  "$build/bench/queue_backlog" --messages="$messages" >/dev/null
  analyze "$2"
  sink_out=$work/sink-$1-$2-$3.out
  "$build/bench/smpp_sink" --port=0 --delay-ms="$delay" --exit-after="$messages" >"$sink_out" &
  local sink=$!
  pids+=("$sink")
  wait_for 10 grep -q '^port ' "$sink_out"
  velquor_bind "$(sed -n 's/^port //p' "$sink_out")"
  "$build/server/velquor-server" >"$root/server.out" 2>&1 &
  local server=$!
  pids+=("$server")
  local end=$((SECONDS + 120 + messages / 20))
  while kill -0 "$sink" 2>/dev/null && [ "$SECONDS" -lt "$end" ]; do sleep 0.05; done
  if kill -0 "$sink" 2>/dev/null; then
    echo "  the sink did not get $messages submits in time: $(tail -n 1 "$sink_out")" >&2
    stop "$sink"
    stop "$server"
    return 1
  fi
  wait "$sink" 2>/dev/null || true
  forget "$sink"
  stop "$server"
  json_value "$sink_out" rate
}

echo "draining $messages due messages, without and with $scheduled scheduled for tomorrow, $rounds rounds"
declare -A ratios
for round in $(seq "$rounds"); do
  for b in "${backends[@]}"; do
    without=$(drain_round "$round" "$b" 0) || without=""
    with=$(drain_round "$round" "$b" 1) || with=""
    if [ -n "$without" ] && [ -n "$with" ]; then
      ratio=$(awk -v a="$with" -v b="$without" 'BEGIN { printf "%.3f", a / b }')
      ratios[$b]="${ratios[$b]:-} $ratio"
      echo "round $round $b: without $without/s, with $with/s, ratio $ratio"
    else
      echo "round $round $b: a drain failed (without '$without', with '$with')"
    fi
  done
done
for b in "${backends[@]}"; do
  echo "$b: ratio with/without median $(echo "${ratios[$b]:-}" | median), minimum $(echo "${ratios[$b]:-}" | minimum)" \
    "(target 0.90)"
done
