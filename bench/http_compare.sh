#!/usr/bin/env bash
# Measures velquor-http, the gateway's HTTP API, against Kannel's sendsms in
# interleaved rounds on the same machine, and prints a markdown table of the
# medians and minimums with the ratios of the same run.
#
#   bash bench/http_compare.sh [--build=DIR] [--rounds=R] [--quick]
#                              [--backend=sqlite|postgresql|both]
#                              [--duration=S] [--connections=C] [--idle=N]
#
# Needs wrk, python3, Kannel (apt-get install kannel: bearerbox, smsbox) and
# a build with the benchmarks (DIR, default build/: velquor-http,
# velquor-server, velquor, smpp_sink, http_account). PostgreSQL: the server
# NORVALE_TEST_PG names, else a private one from scripts/pg.sh for the run.
#
# Each round, in this order:
# - Kannel: bearerbox with one SMPP connection (window 10) to a running
#   smpp_sink, smsbox's sendsms; wrk sends GET /cgi-bin/sendsms with
#   username and password on C keep-alive connections (default 16) for S
#   seconds (default 5): every accepted request is queued in bearerbox and
#   sent on to the sink while wrk runs.
# - per backend, a new queue and velquor-http with one account:
#   * floor: wrk GET /health (no authentication, no database): the cost of
#     HTTP itself on this machine;
#   * send: wrk POST /v1/messages (one message, Authorization: Bearer with
#     one fixed key) with no engine running: the rows only queue;
#   * send+engine: the same while velquor-server drains the queue through
#     one smpp handset (window 10) to a running smpp_sink, as Kannel does;
#   * batch: POST /v1/messages/batch with 1,000 messages, 4 connections:
#     messages a second ("not available" when the daemon answers 404);
#   * webhooks: the account's report URL is a local receiver
#     (bench/http_load.py receiver); delivery reports are inserted into
#     SMSNotifications for the daemon's jobs, first all at once (deliveries a
#     second at the receiver, first to last arrival), then 100 a second
#     (p99 of insert to arrival); "not available" when a first report does
#     not arrive within 15 s;
#   * idle (first backend only): the daemon's VmRSS before, while N
#     connections (default 10,000) that each made one keep-alive request are
#     held open (bench/http_load.py idle), and after they are closed; the
#     time of a request on a new connection while they are held.
# --quick: 1 round, 3 s per wrk run, 2,000 idle connections, fewer reports.
# Everything listens on loopback on free ports, lives in a temporary
# directory and is stopped at exit (KANNEL_COMPARE_KEEP=1 keeps the
# directory).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

build=$here/build rounds=3 backend=both duration=5 connections=16 idle=10000 quick=0
for arg in "$@"; do
  case $arg in
    --build=*) build=$(cd "${arg#*=}" && pwd) ;;
    --rounds=*) rounds=${arg#*=} ;;
    --backend=*) backend=${arg#*=} ;;
    --duration=*) duration=${arg#*=} ;;
    --connections=*) connections=${arg#*=} ;;
    --idle=*) idle=${arg#*=} ;;
    --quick) quick=1 rounds=1 duration=3 idle=2000 ;;
    *) echo "http_compare.sh: unknown argument '$arg' (see the head of $0)" >&2; exit 2 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ && $duration =~ ^[1-9][0-9]*$ && $connections =~ ^[1-9][0-9]*$ && $idle =~ ^[0-9]+$ ]] ||
  { echo "http_compare.sh: --rounds, --duration, --connections and --idle take a number" >&2; exit 2; }
case $backend in
  sqlite) backends=(sqlite) ;; postgresql) backends=(postgresql) ;; both) backends=(postgresql sqlite) ;;
  *) echo "http_compare.sh: --backend is sqlite, postgresql or both" >&2; exit 2 ;;
esac
for tool in bearerbox smsbox wrk python3 curl; do
  command -v "$tool" >/dev/null || { echo "http_compare.sh: $tool not found" >&2; exit 2; }
done
for program in bench/smpp_sink bench/http_account tools/velquor server/velquor-server frontends/http/velquor-http; do
  [ -x "$build/$program" ] ||
    { echo "http_compare.sh: $build/$program missing: build with -DVELQUOR_BUILD_BENCHMARKS=ON" >&2; exit 2; }
done
reports=2000 paced=1000
[ "$quick" = 0 ] || reports=500 paced=300

work=$(mktemp -d /tmp/http-compare-XXXXXX)
# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
bench_traps
bench_postgres "${backends[@]}"
velquor_db=velquor_http_compare
load=$here/bench/http_load.py
# 10,000 connections and their server ends: the daemon inherits the limit.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# Runs wrk; prints "REQUESTS_PER_SECOND REQUESTS NOT_2XX SOCKET_ERRORS".
run_wrk() {  # run_wrk CONNECTIONS URL [WRK_OPTION...]
  local c=$1 url=$2 out; shift 2
  out=$(wrk -t 2 -c "$c" -d "${duration}s" --timeout 30s --latency "$@" "$url" 2>&1) || { echo "  wrk: $out" >&2; return 1; }
  echo "$out" >>"$work/wrk.log"
  awk '/requests in/ { n = $1 } /^Requests\/sec:/ { r = $2 } /Non-2xx or 3xx responses:/ { bad = $NF }
       /Socket errors:/ { gsub(",", ""); e = $4 + $6 + $8 + $10 }
       END { printf "%s %d %d %d\n", r, n, bad, e }' <<<"$out"
}

declare -A values
record() {  # record NAME VALUE
  values[$1]+="$2 "
}

# A run of wrk whose answers must all be 2xx; records NAME's rate (times
# FACTOR) and prints a line.
measure() {  # measure NAME FACTOR CONNECTIONS URL [WRK_OPTION...]
  local name=$1 factor=$2 result rate n bad errors; shift 2
  result=$(run_wrk "$@") || { echo "  round $round $name: wrk failed"; return 0; }
  read -r rate n bad errors <<<"$result"
  if [ "$bad" -gt 0 ] || [ "$n" -eq 0 ]; then
    echo "  round $round $name: $bad of $n answers not 2xx, $errors socket errors: not counted"
    return 0
  fi
  rate=$(awk -v r="$rate" -v f="$factor" 'BEGIN { printf (r * f < 100 ? "%.1f" : "%.0f"), r * f }')
  record "$name" "$rate"
  printf '  round %d %-32s %9s /s  (%d requests, %d socket errors)\n' "$round" "$name" "$rate" "$n" "$errors"
}

# Starts smpp_sink (no delay, until stopped); sets sink_pid, sink_port and
# sink_out.
start_sink() {
  sink_out=$work/sink-$RANDOM.out
  "$build/bench/smpp_sink" --port=0 >"$sink_out" &
  sink_pid=$!
  pids+=("$sink_pid")
  wait_for 10 grep -q '^port ' "$sink_out"
  sink_port=$(sed -n 's/^port //p' "$sink_out")
}

# Stops the sink and prints how many submits it had.
stop_sink() {
  stop "$sink_pid"
  json_value "$sink_out" submits
}

kannel_round() {
  local dir=$work/kannel-$round admin smsbox sendsms submits
  mkdir -p "$dir"
  admin=$(free_port) smsbox=$(free_port) sendsms=$(free_port)
  start_sink
  kannel_conf "$dir" "$admin" "$smsbox" "$sendsms" "$sink_port"
  kannel_start "$dir" "$smsbox" "$sendsms"
  wait_binds "$sink_port" 1 || echo "  round $round kannel: its SMPP connection did not come up" >&2
  measure "kannel sendsms" 1 "$connections" \
    "http://127.0.0.1:$sendsms/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=447700900123&text=Benchmark+message"
  sleep 2  # bearerbox sends on what it queued
  submits=$(stop_sink)
  echo "    (the sink had $submits submits from bearerbox)"
  stop "$kannel_box"
  stop "$kannel_bearer"
}

# Starts velquor-http on a free port; sets http_pid and http_port.
start_http() {
  "$build/frontends/http/velquor-http" --listen 127.0.0.1 --port 0 >"$root/http.out" 2>&1 &
  http_pid=$!
  pids+=("$http_pid")
  wait_for 20 grep -q 'listening on' "$root/http.out" ||
    { echo "  velquor-http did not start: $(tail -n 2 "$root/http.out")" >&2; return 1; }
  http_port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$root/http.out")
}

# The status of a POST of BODY to PATH with the account's key.
post_status() {  # post_status PATH BODY
  curl -s -o "$work/answer" -w '%{http_code}' --max-time 30 -H 'Content-Type: application/json' \
    -H "Authorization: Bearer $VELQUOR_HTTP_KEY" --data-binary "$2" "http://127.0.0.1:$http_port$1" || true
}

batch_available=''
batch_part() {  # batch_part BACKEND
  local status
  status=$(post_status /v1/messages/batch '{"messages":[{"to":"+447700900123","text":"Benchmark message"}]}')
  case $status in
    201) batch_available=1
         VELQUOR_BATCH=1000 measure "batch of 1000 $1 (msg)" 1000 4 "http://127.0.0.1:$http_port/v1/messages/batch" \
           -s "$here/bench/http_post.lua" ;;
    404 | 405) [ -n "$batch_available" ] || batch_available=0
         echo "  round $round batch $1: not available ($status)" ;;
    *) echo "  round $round batch $1: $status $(head -c 200 "$work/answer")" ;;
  esac
}

webhooks_available=''
# Queues N messages through the API and inserts their delivery reports at
# RATE a second (0: at once); waits until the receiver has them all.
# Prints "RECEIVED FIRST_ARRIVAL LAST_ARRIVAL" and leaves the latencies in
# $root/latencies.
webhook_run() {  # webhook_run BACKEND N RATE
  local n=$2 rate=$3 got end
  python3 "$load" send --port="$http_port" --count="$n" >"$root/ids" || return 1
  : >"$root/arrivals"
  python3 "$load" notify --backend="$1" --dsn="$velquor_dsn" --psql="${psql:-psql}" --account=bench \
    --ids="$root/ids" --rate="$([ "$rate" = 0 ] && echo 1000000 || echo "$rate")" >"$root/inserted" &
  local notify=$!
  pids+=("$notify")
  end=$((SECONDS + 15 + n / 50))
  while got=$(grep -c . "$root/arrivals" || true); [ "$got" -lt "$n" ] && [ "$SECONDS" -lt "$end" ]; do sleep 0.1; done
  stop "$notify"
  # inserted: "EPOCH JOB"; arrivals: "EPOCH EVENT_ID JOB"
  awk 'FNR == NR { at[$2] = $1; next } ($3 in at) && !seen[$3]++ { printf "%.3f\n", ($1 - at[$3]) * 1000 }' \
    "$root/inserted" "$root/arrivals" | sort -g >"$root/latencies"
  awk -v n="$got" 'NR == 1 { f = $1 } { l = $1 } END { printf "%d %s %s\n", n, f, l }' <(sort -g "$root/arrivals")
}

webhook_part() {  # webhook_part BACKEND
  local got first last
  if [ -z "$webhooks_available" ]; then
    read -r got _ <<<"$(webhook_run "$1" 1 0)"
    if [ "${got:-0}" -lt 1 ]; then
      webhooks_available=0
      echo "  round $round webhooks: not available (no report arrived within 15 s)"
      return 0
    fi
    webhooks_available=1
  fi
  [ "$webhooks_available" = 1 ] || return 0
  read -r got first last <<<"$(webhook_run "$1" "$reports" 0)"
  if [ "$got" -lt "$reports" ]; then
    echo "  round $round webhooks $1: $got of $reports reports arrived"
  else
    local rate
    rate=$(awk -v n="$got" -v f="$first" -v l="$last" 'BEGIN { printf "%.0f", (n - 1) / (l - f) }')
    record "webhook deliveries $1" "$rate"
    printf '  round %d %-32s %9s /s  (%d reports inserted at once)\n' "$round" "webhook deliveries $1" "$rate" "$got"
  fi
  read -r got _ <<<"$(webhook_run "$1" "$paced" 100)"
  local p50 p99
  read -r p50 p99 < <(awk '{ v[NR] = $1 } END { if (NR == 0) exit 1
    i50 = int(NR * 0.50 + 0.5); i99 = int(NR * 0.99 + 0.5); if (i50 < 1) i50 = 1; if (i99 < 1) i99 = 1
    print v[i50], v[i99] }' "$root/latencies") || { echo "  round $round webhooks $1 at 100/s: none arrived"; return 0; }
  record "webhook p99 at 100/s $1 (ms)" "$p99"
  printf '  round %d %-32s p50 %.1f ms, p99 %.1f ms  (%d of %d)\n' "$round" "webhooks at 100/s $1" "$p50" "$p99" \
    "$got" "$paced"
}

idle_part() {
  local before held after answer line
  before=$(rss_kb "$http_pid")
  # opened within 20 s, before the daemon's 30 s connection time-out
  python3 "$load" idle --port="$http_port" --connections="$idle" --seconds=20 >"$root/idle.out" &
  local holder=$!
  pids+=("$holder")
  wait_for 60 grep -q '^held' "$root/idle.out" || { echo "  round $round idle: no result"; stop "$holder"; return 0; }
  line=$(grep '^held' "$root/idle.out")
  held=$(rss_kb "$http_pid")
  # what the daemon itself holds open (sockets, the database, its files)
  local open
  open=$(find /proc/"$http_pid"/fd -mindepth 1 -maxdepth 1 | wc -l)
  # curl prints "000 10.0..." when it had no answer in time
  answer=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' --max-time 10 "http://127.0.0.1:$http_port/health" ||
    true)
  stop "$holder"
  sleep 1
  after=$(rss_kb "$http_pid")
  record "idle rss before (kB)" "$before"
  record "idle rss held (kB)" "$held"
  record "idle rss after (kB)" "$after"
  record "idle held" "$(awk '{ print $2 }' <<<"$line")"
  record "idle daemon fds" "$open"
  record "idle new request (ms)" "$(awk '{ printf "%.1f", $2 * 1000 }' <<<"$answer")"
  printf '  round %d idle: %s, the daemon had %d fds open; VmRSS %d kB before, %d kB held, %d kB after;' \
    "$round" "$line" "$open" "$before" "$held" "$after"
  printf ' new request: %s in %.1f ms\n' "${answer% *}" "$(awk '{ print $2 * 1000 }' <<<"$answer")"
}

velquor_round() {  # velquor_round BACKEND
  local b=$1 receiver
  velquor_setup "$round" "$b"
  python3 "$load" receiver --log="$root/arrivals" >"$root/receiver.out" &
  receiver=$!
  pids+=("$receiver")
  wait_for 10 grep -q '^port ' "$root/receiver.out"
  VELQUOR_HTTP_KEY=$("$build/bench/http_account" bench \
    "http://127.0.0.1:$(sed -n 's/^port //p' "$root/receiver.out")/report")
  export VELQUOR_HTTP_KEY
  start_http || return 0
  [ "$b" != "${backends[0]}" ] || measure "floor GET /health" 1 "$connections" "http://127.0.0.1:$http_port/health"
  measure "send $b" 1 "$connections" "http://127.0.0.1:$http_port/v1/messages" -s "$here/bench/http_post.lua"
  start_sink
  velquor_bind "$sink_port" 1
  "$build/server/velquor-server" >"$root/server.out" 2>&1 &
  local server=$!
  pids+=("$server")
  wait_binds "$sink_port" 1 || echo "  round $round: the engine's bind did not come up" >&2
  measure "send+engine $b" 1 "$connections" "http://127.0.0.1:$http_port/v1/messages" -s "$here/bench/http_post.lua"
  stop "$server"
  echo "    (the sink had $(stop_sink) submits from velquor-server)"
  batch_part "$b"
  webhook_part "$b"
  [ "$b" != "${backends[0]}" ] || [ "$idle" = 0 ] || idle_part
  stop "$http_pid"
  stop "$receiver"
}

echo "velquor-http against Kannel's sendsms: $rounds round(s), wrk $connections connections for ${duration}s each"
for round in $(seq "$rounds"); do
  kannel_round
  for b in "${backends[@]}"; do velquor_round "$b"; done
done

# The table: one row per measurement that has figures.
row() {  # row NAME LABEL TARGET [RATIO]
  local v=${values[$1]:-}
  if [ -z "$v" ]; then
    printf '| %s | not available | | %s | |\n' "$2" "$3"
  else
    printf '| %s | %s | %s | %s | %s |\n' "$2" "$(median <<<"$v")" "$(minimum <<<"$v")" "$3" "${4:-}"
  fi
}
ratio() {  # ratio NAME OF_NAME: median over median
  local a=${values[$1]:-} b=${values[$2]:-}
  [ -n "$a" ] && [ -n "$b" ] || return 0
  awk -v a="$(median <<<"$a")" -v b="$(median <<<"$b")" 'BEGIN { if (b > 0) printf "%.2fx", a / b }'
}
echo
echo "| measurement ($rounds rounds, $connections connections) | median | minimum | target | ratio (medians) |"
echo "|---|---|---|---|---|"
row "floor GET /health" "GET /health, velquor-http (floor of HTTP)" "" ""
row "kannel sendsms" "Kannel sendsms, req/s" "" ""
for b in "${backends[@]}"; do
  target=">= Kannel"
  [ "$b" != postgresql ] || target=">= 2,000 and >= Kannel"
  row "send $b" "POST /v1/messages $b, queue only, req/s" "$target" \
    "$(ratio "send $b" "kannel sendsms") of Kannel, $(ratio "send $b" "floor GET /health") of floor"
  row "send+engine $b" "POST /v1/messages $b, engine draining, req/s" "$target" \
    "$(ratio "send+engine $b" "kannel sendsms") of Kannel"
done
for b in "${backends[@]}"; do
  target=">= 10,000"
  [ "$b" != postgresql ] || target=">= 20,000"
  row "batch of 1000 $b (msg)" "batches of 1,000 $b, msg/s" "$target"
done
for b in "${backends[@]}"; do
  row "webhook deliveries $b" "webhook deliveries $b, /s" ">= 1,000"
  row "webhook p99 at 100/s $b (ms)" "webhook p99 at 100 msg/s $b, ms" "<= 200"
done
if [ "$idle" != 0 ]; then
  row "idle held" "idle keep-alive connections answered and held by the client (of $idle)" "$idle"
  row "idle daemon fds" "open descriptors of velquor-http meanwhile" ""
  row "idle rss before (kB)" "velquor-http VmRSS before, kB" ""
  row "idle rss held (kB)" "velquor-http VmRSS with them held, kB" "bounded"
  row "idle rss after (kB)" "velquor-http VmRSS after release, kB" ""
  row "idle new request (ms)" "GET /health on a new connection while held, ms" "prompt"
fi
