#!/usr/bin/env bash
# Drains a queued backlog through one SMPP bind, Kannel against
# velquor-server, both towards bench/smpp_sink, in interleaved rounds.
#
#   bash bench/kannel_compare.sh [--build=DIR] [--messages=N] [--rounds=R]
#                                [--backend=sqlite|postgresql|both] [--delay-ms=D]
#
# Needs Kannel (apt-get install kannel: bearerbox, smsbox) and a build with
# the benchmarks (DIR, default build/: smpp_sink, queue_backlog, velquor,
# velquor-server). PostgreSQL: the server NORVALE_TEST_PG names, else a
# private one from scripts/pg.sh for the run.
#
# Each round, for each gateway: the gateway's SMSC is not there while N
# messages are queued (Kannel: HTTP sendsms with one curl, 8 requests at a
# time, into bearerbox while its SMPP connection is retrying every second;
# velquor: the client library's SendMsg into the queue while the engine is
# stopped). Then the sink starts (answering each submit_sm after D ms,
# default 0) and the gateway drains the backlog through one bind with a
# window of 10. The figures:
#   drain rate   submits per second at the sink, first to last arrival;
#   CPU/msg      user + system CPU of bearerbox (smsbox is idle while it
#                drains), or of velquor-server, per message, from the sink's
#                start (Kannel) or the engine's start (velquor: its start-up
#                is counted) until the sink has all N (the threads'
#                /proc/PID/task/*/schedstat, nanoseconds).
# Prints every round, then per gateway the median and the minimum of the
# rates and of the CPU per message, and velquor / Kannel of the medians.
# Everything listens on loopback on free ports, lives in a temporary
# directory and is stopped at exit.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

build=$here/build messages=2000 rounds=3 backend=sqlite delay=0
for arg in "$@"; do
  case $arg in
    --build=*) build=$(cd "${arg#*=}" && pwd) ;;
    --messages=*) messages=${arg#*=} ;;
    --rounds=*) rounds=${arg#*=} ;;
    --backend=*) backend=${arg#*=} ;;
    --delay-ms=*) delay=${arg#*=} ;;
    *) echo "kannel_compare.sh: unknown argument '$arg' (see the head of $0)" >&2; exit 2 ;;
  esac
done
[[ $messages =~ ^[1-9][0-9]*$ && $rounds =~ ^[1-9][0-9]*$ && $delay =~ ^[0-9]+$ ]] ||
  { echo "kannel_compare.sh: --messages and --rounds take a positive number, --delay-ms a number" >&2; exit 2; }
case $backend in
  sqlite) backends=(sqlite) ;; postgresql) backends=(postgresql) ;; both) backends=(sqlite postgresql) ;;
  *) echo "kannel_compare.sh: --backend is sqlite, postgresql or both" >&2; exit 2 ;;
esac
for tool in bearerbox smsbox; do
  command -v "$tool" >/dev/null || { echo "kannel_compare.sh: $tool not found: apt-get install kannel" >&2; exit 2; }
done
for program in bench/smpp_sink bench/queue_backlog tools/velquor server/velquor-server; do
  [ -x "$build/$program" ] ||
    { echo "kannel_compare.sh: $build/$program missing: build with -DVELQUOR_BUILD_BENCHMARKS=ON" >&2; exit 2; }
done

work=$(mktemp -d /tmp/kannel-compare-XXXXXX)
pids=()
started_pg=0
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  [ "$started_pg" = 1 ] && pg_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Stops one process this script started.
stop() {  # stop PID
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  local kept=() pid
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}

free_port() {
  local port=$((20000 + RANDOM % 30000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

# Waits up to SECONDS for COMMAND to succeed.
wait_for() {  # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.05
  done
}

# Nanoseconds of CPU of PID's threads (the first field of each thread's
# schedstat; finer than the ticks of /proc/PID/stat, but a thread that ended
# is not counted: both gateways keep theirs).
cpu_ns() {
  local total=0 task run _
  for task in /proc/"$1"/task/*/schedstat; do
    read -r run _ <"$task" 2>/dev/null || continue
    total=$((total + run))
  done
  echo "$total"
}

json_value() {  # json_value FILE NAME: a number of the sink's summary
  sed -n "s/.*\"$2\":\([0-9.]*\).*/\1/p" "$1" | tail -n 1
}

# Starts the sink; sets sink_pid and sink_out.
start_sink() {  # start_sink PORT
  sink_out=$work/sink-$RANDOM.out
  "$build/bench/smpp_sink" --port="$1" --delay-ms="$delay" --exit-after="$messages" >"$sink_out" &
  sink_pid=$!
  pids+=("$sink_pid")
  wait_for 10 grep -q '^port ' "$sink_out"
}

# Waits for the sink to have all messages and exit; its summary is then in
# $sink_out. Fails after a generous bound.
wait_sink() {
  local end=$((SECONDS + 60 + messages / 20))
  while kill -0 "$sink_pid" 2>/dev/null && [ "$SECONDS" -lt "$end" ]; do sleep 0.05; done
  if kill -0 "$sink_pid" 2>/dev/null; then
    stop "$sink_pid"
    echo "  the sink did not get $messages submits in time: $(tail -n 1 "$sink_out")" >&2
    return 1
  fi
  wait "$sink_pid" 2>/dev/null || true
  local kept=() pid
  for pid in "${pids[@]}"; do [ "$pid" = "$sink_pid" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}

# One round of Kannel; prints "RATE CPU_US_PER_MESSAGE".
kannel_round() {
  local dir=$work/kannel-$1 admin smsbox sendsms sink
  mkdir -p "$dir"
  admin=$(free_port) smsbox=$(free_port) sendsms=$(free_port) sink=$(free_port)
  cat >"$dir/kannel.conf" <<EOF
group = core
admin-port = $admin
admin-interface = 127.0.0.1
admin-password = bench
admin-allow-ip = 127.0.0.1
smsbox-port = $smsbox
smsbox-interface = 127.0.0.1
box-allow-ip = 127.0.0.1
log-file = "$dir/bearerbox.log"
log-level = 2

group = smsc
smsc = smpp
smsc-id = sink
host = 127.0.0.1
port = $sink
transceiver-mode = true
smsc-username = bench
smsc-password = bench
system-type = "bench"
max-pending-submits = 10
reconnect-delay = 1
enquire-link-interval = 30

group = smsbox
bearerbox-host = 127.0.0.1
bearerbox-port = $smsbox
sendsms-port = $sendsms
sendsms-interface = 127.0.0.1
log-file = "$dir/smsbox.log"
log-level = 2

group = sendsms-user
username = bench
password = bench
user-allow-ip = 127.0.0.1

group = sms-service
keyword = default
text = "not served"
EOF
  bearerbox -v 2 "$dir/kannel.conf" >"$dir/bearerbox.out" 2>&1 &
  local bearer=$!
  pids+=("$bearer")
  wait_for 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$smsbox"
  smsbox -v 2 "$dir/kannel.conf" >"$dir/smsbox.out" 2>&1 &
  local box=$!
  pids+=("$box")
  wait_for 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$sendsms"
  local url="http://127.0.0.1:$sendsms/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=447700900123&text=Benchmark+message"
  for _ in $(seq "$messages"); do echo "url = \"$url\""; done >"$dir/requests"
  curl -s --no-progress-meter --parallel --parallel-max 8 -K "$dir/requests" >"$dir/answers"
  local accepted
  accepted=$(grep -Eo '(0: Accepted for delivery|3: Queued for later delivery)' "$dir/answers" | wc -l)
  if [ "$accepted" -ne "$messages" ]; then
    echo "  Kannel accepted $accepted of $messages: $(sort "$dir/answers" | uniq -c | head -n 3)" >&2
    stop "$box"; stop "$bearer"; return 1
  fi
  local cpu0 cpu1
  cpu0=$(cpu_ns "$bearer")
  start_sink "$sink"
  wait_sink || { stop "$box"; stop "$bearer"; return 1; }
  cpu1=$(cpu_ns "$bearer")
  stop "$box"
  stop "$bearer"
  echo "$(json_value "$sink_out" rate) $(((cpu1 - cpu0) / 1000 / messages))"
}

# One round of velquor-server on a backend; prints "RATE CPU_US_PER_MESSAGE".
velquor_round() {  # velquor_round ROUND BACKEND
  local root=$work/velquor-$1-$2 dsn
  mkdir -p "$root"
  export NORVALE_ROOT=$root NORVALE_EVENTLOG=file:$root/events.jsonl
  if [ "$2" = sqlite ]; then
    dsn=sqlite:$root/queue.db
  else
    "$psql" -q "$NORVALE_TEST_PG" -c "DROP DATABASE IF EXISTS velquor_compare" -c "CREATE DATABASE velquor_compare" \
      >/dev/null 2>&1
    dsn=${NORVALE_TEST_PG%/*}/velquor_compare
  fi
  local v=$build/tools/velquor
  "$v" config set InstalledType Server
  "$v" config set InstalledPath "$here"
  "$v" config set OutgoingQueueEnabled 1
  "$v" config set IncomingQueueEnabled 1
  "$v" config set DSN "$dsn"
  "$v" config set Username ''
  "$v" config set Password ''
  "$v" config set KeepDatabaseConnection 1
  "$v" db init >/dev/null
  "$build/bench/queue_backlog" --messages="$messages" >/dev/null
  start_sink 0
  local port
  port=$(sed -n 's/^port //p' "$sink_out")
  "$v" config set --handset 1 Driver smpp
  "$v" config set --handset 1 Host 127.0.0.1
  "$v" config set --handset 1 Port "$port"
  "$v" config set --handset 1 SystemId bench
  "$v" config set --handset 1 Password bench --encrypted
  "$v" config set --handset 1 WindowSize 10
  "$v" config set --handset 1 DeliveryReports 0
  "$build/server/velquor-server" >"$root/server.out" 2>&1 &
  local server=$!
  pids+=("$server")
  local cpu1
  wait_sink || { stop "$server"; return 1; }
  cpu1=$(cpu_ns "$server")
  stop "$server"
  echo "$(json_value "$sink_out" rate) $((cpu1 / 1000 / messages))"
}

if [[ " ${backends[*]} " == *" postgresql "* && -z "${NORVALE_TEST_PG:-}" ]]; then
  # shellcheck disable=SC1091
  source "$here/scripts/pg.sh"
  pg_start >/dev/null
  started_pg=1
fi

psql=$(command -v psql || true)
if [ -z "$psql" ]; then
  for candidate in /usr/lib/postgresql/*/bin/psql; do [ -x "$candidate" ] && psql=$candidate; done
fi
if [[ " ${backends[*]} " == *" postgresql "* && -z "$psql" ]]; then
  echo "kannel_compare.sh: psql not found (postgresql-client)" >&2
  exit 2
fi

declare -A rates cpus
names=(kannel)
for b in "${backends[@]}"; do names+=("velquor-$b"); done
echo "draining $messages queued messages through one bind, window 10, sink delay $delay ms, $rounds rounds"
for round in $(seq "$rounds"); do
  for name in "${names[@]}"; do
    if [ "$name" = kannel ]; then
      result=$(kannel_round "$round") || result=""
    else
      result=$(velquor_round "$round" "${name#velquor-}") || result=""
    fi
    if [ -z "$result" ]; then
      echo "  round $round $name: failed"
      continue
    fi
    read -r rate cpu <<<"$result"
    rates[$name]+="$rate "
    cpus[$name]+="$cpu "
    printf '  round %d %-18s %9.0f msg/s  %6d us CPU/msg\n' "$round" "$name" "$rate" "$cpu"
  done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
minimum() { tr ' ' '\n' | grep . | sort -g | head -n 1; }
echo "summary (median, minimum):"
for name in "${names[@]}"; do
  [ -n "${rates[$name]:-}" ] || { echo "  $name: no round finished"; continue; }
  printf '  %-18s drain %9.0f msg/s (min %.0f)   CPU %6.0f us/msg (min %.0f)\n' "$name" \
    "$(median <<<"${rates[$name]}")" "$(minimum <<<"${rates[$name]}")" \
    "$(median <<<"${cpus[$name]}")" "$(minimum <<<"${cpus[$name]}")"
done
if [ -n "${rates[kannel]:-}" ]; then
  for b in "${backends[@]}"; do
    name=velquor-$b
    [ -n "${rates[$name]:-}" ] || continue
    awk -v vr="$(median <<<"${rates[$name]}")" -v kr="$(median <<<"${rates[kannel]}")" \
      -v vc="$(median <<<"${cpus[$name]}")" -v kc="$(median <<<"${cpus[kannel]}")" -v n="$name" \
      'BEGIN { printf "  %s / kannel: drain rate %.3fx, CPU per message %.1fx\n", n, vr / kr, (kc > 0 ? vc / kc : 0) }'
  done
fi
