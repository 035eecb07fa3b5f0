# Shell functions shared by the comparison scripts of bench/ (sourced, not
# run). The caller sets `here` (the source tree), `build` (the build
# directory) and `work` (its temporary directory) and calls bench_traps once;
# every process it starts goes into `pids` and is stopped at exit.
# shellcheck shell=bash
# shellcheck disable=SC2154  # here, build and work are the caller's

pids=()
started_pg=0

bench_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  [ "$started_pg" = 1 ] && pg_stop
  [ -n "${KANNEL_COMPARE_KEEP:-}" ] || rm -rf "$work"
}

bench_traps() {
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

# Stops one process this script started.
stop() {  # stop PID
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  forget "$1"
}

# Takes PID off the list of processes to stop (it ended by itself).
forget() {  # forget PID
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

# Whether something listens on the loopback PORT.
listening() {  # listening PORT
  bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
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

# VmRSS of PID in kB.
rss_kb() {  # rss_kb PID
  awk '/^VmRSS:/ { print $2 }' /proc/"$1"/status
}

json_value() {  # json_value FILE NAME: a number of the sink's summary
  sed -n "s/.*\"$2\":\([0-9.]*\).*/\1/p" "$1" | tail -n 1
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
minimum() { tr ' ' '\n' | grep . | sort -g | head -n 1; }
maximum() { tr ' ' '\n' | grep . | sort -g | tail -n 1; }

# PostgreSQL for BACKENDS... (when one is postgresql): the server
# NORVALE_TEST_PG names, else a private one from scripts/pg.sh; sets psql.
bench_postgres() {  # bench_postgres BACKEND...
  [[ " $* " == *" postgresql "* ]] || return 0
  if [ -z "${NORVALE_TEST_PG:-}" ]; then
    # shellcheck disable=SC1091
    source "$here/scripts/pg.sh"
    pg_start >/dev/null
    started_pg=1
  fi
  psql=$(command -v psql || true)
  if [ -z "$psql" ]; then
    for candidate in /usr/lib/postgresql/*/bin/psql; do [ -x "$candidate" ] && psql=$candidate; done
  fi
  if [ -z "$psql" ]; then
    echo "psql not found (postgresql-client)" >&2
    exit 2
  fi
}

# Writes DIR/kannel.conf: bearerbox (admin on ADMIN, boxes on SMSBOX) with
# one SMPP connection to 127.0.0.1:SINK (window 10, retried every second),
# smsbox with sendsms on SENDSMS for the user bench/bench.
kannel_conf() {  # kannel_conf DIR ADMIN SMSBOX SENDSMS SINK
  cat >"$1/kannel.conf" <<CONF
group = core
admin-port = $2
admin-interface = 127.0.0.1
admin-password = bench
admin-allow-ip = 127.0.0.1
smsbox-port = $3
smsbox-interface = 127.0.0.1
box-allow-ip = 127.0.0.1
log-file = "$1/bearerbox.log"
log-level = 2

group = smsc
smsc = smpp
smsc-id = sink
host = 127.0.0.1
port = $5
transceiver-mode = true
smsc-username = bench
smsc-password = bench
system-type = "bench"
max-pending-submits = 10
reconnect-delay = 1
enquire-link-interval = 30

group = smsbox
bearerbox-host = 127.0.0.1
bearerbox-port = $3
sendsms-port = $4
sendsms-interface = 127.0.0.1
log-file = "$1/smsbox.log"
log-level = 2

group = sendsms-user
username = bench
password = bench
user-allow-ip = 127.0.0.1

group = sms-service
keyword = default
text = "not served"
CONF
}

# Starts bearerbox and smsbox on DIR/kannel.conf and waits until smsbox
# takes sendsms requests; sets kannel_bearer and kannel_box.
kannel_start() {  # kannel_start DIR SMSBOX SENDSMS
  bearerbox -v 2 "$1/kannel.conf" >"$1/bearerbox.out" 2>&1 &
  kannel_bearer=$!
  pids+=("$kannel_bearer")
  wait_for 20 listening "$2"
  smsbox -v 2 "$1/kannel.conf" >"$1/smsbox.out" 2>&1 &
  kannel_box=$!
  pids+=("$kannel_box")
  wait_for 20 listening "$3"
}

# A new configuration and queue for velquor in $work/velquor-ROUND-BACKEND;
# sets root, v (the CLI) and velquor_dsn. PostgreSQL: the database
# $velquor_db (default velquor_compare) on NORVALE_TEST_PG's server, made new.
velquor_setup() {  # velquor_setup ROUND BACKEND
  local dsn db=${velquor_db:-velquor_compare}
  root=$work/velquor-$1-$2
  mkdir -p "$root"
  export NORVALE_ROOT=$root NORVALE_EVENTLOG=file:$root/events.jsonl
  if [ "$2" = sqlite ]; then
    dsn=sqlite:$root/queue.db
  else
    "$psql" -q "$NORVALE_TEST_PG" -c "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db" >/dev/null 2>&1
    dsn=${NORVALE_TEST_PG%/*}/$db
  fi
  v=$build/tools/velquor
  velquor_dsn=$dsn
  velquor_configure
  "$v" db init >/dev/null
}

# The product's values in the configuration NORVALE_ROOT names.
velquor_configure() {
  "$v" config set InstalledType Server
  "$v" config set InstalledPath "$here"
  "$v" config set OutgoingQueueEnabled 1
  "$v" config set IncomingQueueEnabled 1
  "$v" config set DSN "$velquor_dsn"
  "$v" config set Username ''
  "$v" config set Password ''
  "$v" config set KeepDatabaseConnection 1
}

# Points B smpp handsets at the sink on PORT (window 10, delivery reports
# when REPORTS is 1, default none).
velquor_bind() {  # velquor_bind PORT [B [REPORTS]]
  local port=$1 n=${2:-${binds:-1}} reports=${3:-0} h
  for h in $(seq "$n"); do
    "$v" config set --handset "$h" Driver smpp
    "$v" config set --handset "$h" Host 127.0.0.1
    "$v" config set --handset "$h" Port "$port"
    "$v" config set --handset "$h" SystemId bench
    "$v" config set --handset "$h" Password bench --encrypted
    "$v" config set --handset "$h" WindowSize 10
    "$v" config set --handset "$h" DeliveryReports "$reports"
  done
}

# Waits (bounded) until the sink on PORT has N binds open.
wait_binds() {  # wait_binds PORT N
  local end=$((SECONDS + 30)) port_hex
  port_hex=$(printf '%04X' "$1")
  # established (01) connections whose local end is the sink's port
  until [ "$(awk -v p=":$port_hex" '$2 ~ p"$" && $4 == "01"' /proc/net/tcp | wc -l)" -ge "$2" ]; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
  sleep 1  # the binds' answers, then the engine settles into idle
}
