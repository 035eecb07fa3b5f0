#!/usr/bin/env bash
# Drains a queued backlog through one SMPP bind, Kannel against
# velquor-server, both towards bench/smpp_sink, in interleaved rounds.
#
#   bash bench/kannel_compare.sh [--build=DIR] [--messages=N] [--rounds=R]
#                                [--backend=sqlite|postgresql|both] [--delay-ms=D]
#                                [--binds=B] [--engines=E] [--latency | --rss | --live]
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
# --binds=B    velquor-server drains through B smpp handsets (binds) to the
#              one sink, each with a window of 10; Kannel keeps its one bind.
# --engines=E  (PostgreSQL) E velquor-server processes, each with its own
#              configuration (EngineId 1..E) and B binds, share the one
#              queue database; CPU is the sum of theirs.
#
# Other modes, velquor only (each round on each backend):
# --latency    the engine runs idle with its binds up; then N messages
#              (default 200) are sent at 20 a second (queue_backlog --rate),
#              each with a text of its own, and each one's time from SendMsg
#              returning to its submit_sm arriving at the sink is taken
#              (both clocks CLOCK_REALTIME on this machine): p50, p99, max.
# --rss        N messages (default 100000) are queued (one thread), then
#              drained; the engine's VmRSS is sampled each time the sink
#              has another N/10, and printed with its change from the first
#              sample (at N/10) to the last (at N).
# --live       the engine runs idle with its binds up; then 4 threads send N
#              messages through SendMsg (KeepDatabaseConnection 1) as fast as
#              they go: the end-to-end rate is N over the time from the first
#              send to the last submit_sm at the sink, the client's rate is N
#              over its own time, and the engine's CPU per message.
# Everything listens on loopback on free ports, lives in a temporary
# directory and is stopped at exit.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

build=$here/build messages='' rounds=3 backend=sqlite delay=0 binds=1 engines=1 mode=drain
for arg in "$@"; do
  case $arg in
    --build=*) build=$(cd "${arg#*=}" && pwd) ;;
    --messages=*) messages=${arg#*=} ;;
    --rounds=*) rounds=${arg#*=} ;;
    --backend=*) backend=${arg#*=} ;;
    --delay-ms=*) delay=${arg#*=} ;;
    --binds=*) binds=${arg#*=} ;;
    --engines=*) engines=${arg#*=} ;;
    --latency) mode=latency ;;
    --rss) mode=rss ;;
    --live) mode=live ;;
    *) echo "kannel_compare.sh: unknown argument '$arg' (see the head of $0)" >&2; exit 2 ;;
  esac
done
if [ -z "$messages" ]; then
  case $mode in latency) messages=200 ;; rss) messages=100000 ;; *) messages=2000 ;; esac
fi
[[ $engines =~ ^[1-8]$ && ($engines = 1 || ($backend = postgresql && $mode = drain)) ]] ||
  { echo "kannel_compare.sh: --engines takes 1 to 8, and more than 1 only with --backend=postgresql in drain mode" >&2
    exit 2; }
[[ $messages =~ ^[1-9][0-9]*$ && $rounds =~ ^[1-9][0-9]*$ && $delay =~ ^[0-9]+$ && $binds =~ ^[1-9][0-9]?$ ]] ||
  { echo "kannel_compare.sh: --messages, --rounds and --binds (< 100) take a positive number, --delay-ms a number" >&2
    exit 2; }
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
# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
bench_traps

# Starts the sink; sets sink_pid and sink_out. Further arguments go to the
# sink.
start_sink() {  # start_sink PORT [SINK_OPTION...]
  sink_out=$work/sink-$RANDOM.out
  local port=$1; shift
  "$build/bench/smpp_sink" --port="$port" --delay-ms="$delay" --exit-after="$messages" "$@" >"$sink_out" &
  sink_pid=$!
  pids+=("$sink_pid")
  wait_for 10 grep -q '^port ' "$sink_out"
}

# Waits for the sink to have all messages and exit; its summary is then in
# $sink_out. Fails after a generous bound.
wait_sink() {
  local end=$((SECONDS + 60 + messages / 20 + (delay > 0 ? messages * delay / 1000 : 0)))
  while kill -0 "$sink_pid" 2>/dev/null && [ "$SECONDS" -lt "$end" ]; do sleep 0.05; done
  if kill -0 "$sink_pid" 2>/dev/null; then
    stop "$sink_pid"
    echo "  the sink did not get $messages submits in time: $(tail -n 1 "$sink_out")" >&2
    return 1
  fi
  wait "$sink_pid" 2>/dev/null || true
  forget "$sink_pid"
}

# One round of Kannel; prints "RATE CPU_US_PER_MESSAGE".
kannel_round() {
  local dir=$work/kannel-$1 admin smsbox sendsms sink
  mkdir -p "$dir"
  admin=$(free_port) smsbox=$(free_port) sendsms=$(free_port) sink=$(free_port)
  kannel_conf "$dir" "$admin" "$smsbox" "$sendsms" "$sink"
  kannel_start "$dir" "$smsbox" "$sendsms"
  local bearer=$kannel_bearer box=$kannel_box
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

# Points $binds smpp handsets at the sink (window 10, no delivery reports)
# and starts velquor-server, $engines of them each with its own
# configuration; sets server (the first) and servers (all).
velquor_start() {
  local port h e
  port=$(sed -n 's/^port //p' "$sink_out")
  servers=()
  for e in $(seq "$engines"); do
    if [ "$e" -gt 1 ]; then
      export NORVALE_ROOT=$root/engine-$e NORVALE_EVENTLOG=file:$root/engine-$e/events.jsonl
      mkdir -p "$NORVALE_ROOT"
      velquor_configure
    fi
    [ "$engines" = 1 ] || "$v" config set EngineId "$e"
    velquor_bind "$port"
    "$build/server/velquor-server" >"$NORVALE_ROOT/server.out" 2>&1 &
    servers+=($!)
    pids+=($!)
  done
  server=${servers[0]}
  export NORVALE_ROOT=$root NORVALE_EVENTLOG=file:$root/events.jsonl
}

# One round of velquor-server on a backend; prints "RATE CPU_US_PER_MESSAGE".
velquor_round() {  # velquor_round ROUND BACKEND
  velquor_setup "$1" "$2"
  "$build/bench/queue_backlog" --messages="$messages" >/dev/null
  start_sink 0
  velquor_start
  local cpu1=0 s
  wait_sink || { for s in "${servers[@]}"; do stop "$s"; done; return 1; }
  for s in "${servers[@]}"; do
    kill -0 "$s" 2>/dev/null || { echo "  an engine (pid $s) ended before the sink had every message" >&2; return 1; }
    cpu1=$((cpu1 + $(cpu_ns "$s")))
  done
  for s in "${servers[@]}"; do stop "$s"; done
  echo "$(json_value "$sink_out" rate) $((cpu1 / 1000 / messages))"
}

# Latency of an idle engine under light load; prints "P50_MS P99_MS MAX_MS".
latency_round() {  # latency_round ROUND BACKEND
  velquor_setup "$1" "$2"
  start_sink 0 --times="$root/times"
  velquor_start
  wait_binds "$(sed -n 's/^port //p' "$sink_out")" "$binds" || { echo "  the binds did not come up" >&2; stop "$server"; return 1; }
  "$build/bench/queue_backlog" --messages="$messages" --rate=20 --stamps=1 >"$root/stamps" ||
    { stop "$server"; return 1; }
  wait_sink || { stop "$server"; return 1; }
  stop "$server"
  # stamps: "EPOCH K"; times: "EPOCH Benchmark message K"
  awk 'FNR == NR { if (NF == 2) sent[$2] = $1; next } ($4 in sent) { printf "%.3f\n", ($1 - sent[$4]) * 1000 }' \
    "$root/stamps" "$root/times" | sort -g >"$root/latencies"
  awk '{ v[NR] = $1 } END {
         if (NR == 0) exit 1
         i50 = int(NR * 0.50 + 0.5); i99 = int(NR * 0.99 + 0.5); if (i50 < 1) i50 = 1; if (i99 < 1) i99 = 1
         printf "%s %s %s %d\n", v[i50], v[i99], v[NR], NR }' "$root/latencies"
}

# RSS over a long drain; prints "FIRST_KB LAST_KB CHANGE_PERCENT SAMPLES..."
rss_round() {  # rss_round ROUND BACKEND
  local step=$((messages / 10)) samples=() seen=0 count end
  velquor_setup "$1" "$2"
  "$build/bench/queue_backlog" --messages="$messages" >/dev/null
  start_sink 0 --progress="$step"
  velquor_start
  end=$((SECONDS + 60 + messages / 20))
  while [ "$SECONDS" -lt "$end" ]; do
    count=$(grep -c '^submits ' "$sink_out" || true)
    while [ "$seen" -lt "$count" ]; do
      seen=$((seen + 1))
      samples+=("$(awk '/^VmRSS:/ { print $2 }' /proc/"$server"/status)")
    done
    [ "$seen" -ge 10 ] && break
    kill -0 "$sink_pid" 2>/dev/null || break
    sleep 0.02
  done
  wait_sink || { stop "$server"; return 1; }
  # the last line may have come as the sink ended: the engine still runs
  count=$(grep -c '^submits ' "$sink_out" || true)
  for ((; seen < count; seen++)); do samples+=("$(awk '/^VmRSS:/ { print $2 }' /proc/"$server"/status)"); done
  stop "$server"
  [ "${#samples[@]}" -ge 2 ] || return 1
  awk -v a="${samples[0]}" -v b="${samples[-1]}" -v all="${samples[*]}" \
    'BEGIN { printf "%d %d %.1f %s\n", a, b, (b - a) * 100 / a, all }'
}

# Clients sending while the engine runs; prints
# "END_TO_END_RATE CLIENT_RATE CPU_US_PER_MESSAGE".
live_round() {  # live_round ROUND BACKEND
  velquor_setup "$1" "$2"
  start_sink 0
  velquor_start
  wait_binds "$(sed -n 's/^port //p' "$sink_out")" "$binds" || { echo "  the binds did not come up" >&2; stop "$server"; return 1; }
  local cpu0 cpu1 queued
  cpu0=$(cpu_ns "$server")
  queued=$("$build/bench/queue_backlog" --messages="$messages" --threads=4) || { stop "$server"; return 1; }
  wait_sink || { stop "$server"; return 1; }
  cpu1=$(cpu_ns "$server")
  stop "$server"
  # queued: "queued N in S s from EPOCH"
  read -r _ _ _ client_seconds _ _ first_send <<<"$queued"
  awk -v n="$messages" -v s="$client_seconds" -v f="$first_send" -v l="$(json_value "$sink_out" last_submit)" \
    -v c="$(((cpu1 - cpu0) / 1000 / messages))" 'BEGIN { printf "%.1f %.1f %d\n", n / (l - f), n / s, c }'
}

bench_postgres "${backends[@]}"

if [ "$mode" != drain ]; then
  declare -A first second third
  echo "$mode: $messages messages, $binds bind(s), window 10, sink delay $delay ms, $rounds rounds, velquor only"
  for round in $(seq "$rounds"); do
    for b in "${backends[@]}"; do
      result=$("${mode}_round" "$round" "$b") || result=""
      if [ -z "$result" ]; then
        echo "  round $round velquor-$b: failed"
        continue
      fi
      read -r one two three rest <<<"$result"
      first[$b]+="$one " second[$b]+="$two " third[$b]+="$three "
      case $mode in
        latency) printf '  round %d velquor-%-10s p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms  (%s messages)\n' \
                   "$round" "$b" "$one" "$two" "$three" "$rest" ;;
        rss) printf '  round %d velquor-%-10s VmRSS %d kB at %d, %d kB at %d: %+.1f %%  (every %d: %s kB)\n' \
               "$round" "$b" "$one" $((messages / 10)) "$two" "$messages" "$three" $((messages / 10)) "$rest" ;;
        live) printf '  round %d velquor-%-10s end to end %8.0f msg/s  client %8.0f msg/s  engine %5d us CPU/msg\n' \
                "$round" "$b" "$one" "$two" "$three" ;;
      esac
    done
  done
  echo "summary (median, minimum or maximum):"
  for b in "${backends[@]}"; do
    [ -n "${first[$b]:-}" ] || { echo "  velquor-$b: no round finished"; continue; }
    case $mode in
      latency) printf '  velquor-%-10s p50 %7.1f ms (max %.1f)  p99 %7.1f ms (max %.1f)\n' "$b" \
                 "$(median <<<"${first[$b]}")" "$(maximum <<<"${first[$b]}")" \
                 "$(median <<<"${second[$b]}")" "$(maximum <<<"${second[$b]}")" ;;
      rss) printf '  velquor-%-10s VmRSS change %+.1f %% (largest %+.1f %%)\n' "$b" \
             "$(median <<<"${third[$b]}")" "$(maximum <<<"${third[$b]}")" ;;
      live) printf '  velquor-%-10s end to end %8.0f msg/s (min %.0f)  engine CPU %5.0f us/msg (min %.0f)\n' "$b" \
              "$(median <<<"${first[$b]}")" "$(minimum <<<"${first[$b]}")" \
              "$(median <<<"${third[$b]}")" "$(minimum <<<"${third[$b]}")" ;;
    esac
  done
  exit 0
fi

declare -A rates cpus
names=(kannel)
for b in "${backends[@]}"; do names+=("velquor-$b"); done
echo "draining $messages queued messages, window 10, sink delay $delay ms, $rounds rounds;" \
  "velquor through $binds bind(s), Kannel through 1"
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
