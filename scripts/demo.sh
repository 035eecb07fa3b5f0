#!/usr/bin/env bash
# The whole system on one machine in one command: installs what is missing,
# builds the command line and the engine, makes a demo root (registry, an
# embedded SQLite queue, a simulated handset that echoes every message back),
# starts the engine, sends a text and a Unicode message, follows both from
# pending to sent to delivered, shows the delivery reports and the replies
# arriving, and stops the engine. Nothing outside the demo root and the
# build directory is touched (besides installing packages).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "== building velquor and velquor-server"
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELQUOR_BUILD_TESTS=OFF -DVELQUOR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-demo --target velquor_cli velquor-server -j "$(nproc)" | tail -n 1

export NORVALE_ROOT=${NORVALE_ROOT:-$(mktemp -d /tmp/velquor-demo-XXXXXX)}
export NORVALE_EVENTLOG=file:$NORVALE_ROOT/events.jsonl
velquor() { build-demo/tools/velquor "$@"; }
stop_engine() { velquor service stop >/dev/null 2>&1 || true; }
trap stop_engine EXIT

echo "== a demo root in $NORVALE_ROOT"
velquor config set InstalledType Server
velquor config set InstalledPath "$(pwd)"
velquor config set OutgoingQueueEnabled 1
velquor config set IncomingQueueEnabled 1
velquor config set DSN "sqlite:$NORVALE_ROOT/queue.db"
velquor config set Username ''
velquor config set Password ''
velquor config set PollInterval 200
# Handset 1: the simulated network. It takes 0.3 s per message, reports
# delivery 1.5 s later and answers every message with an echo.
velquor config set --handset 1 Driver simulator
velquor config set --handset 1 Latency 300
velquor config set --handset 1 ReportDelay 1500
velquor config set --handset 1 AutoReply echo
velquor config set --handset 1 ReplyDelay 800
velquor config set --handset 1 Seed 1
velquor db init
velquor service install
velquor service start
velquor service status

echo "== sending"
text=$(velquor send +4915112345678 "Hello from Velquor")
unicode=$(velquor send +4915112345678 "Grüße aus Köln ✓ Привет" --unicode)
echo "text message $text, Unicode message $unicode"

label() {
  case $1 in
    0) echo pending ;; 1) echo processing ;; 9) echo sent ;; 2) echo delivered ;;
    cleared) echo "finished; the queue has since cleared its row" ;; *) echo "failed ($1)" ;;
  esac
}
declare -A last
for _ in $(seq 1 100); do
  done_all=1
  for id in $text $unicode; do
    state=$(velquor status "$id" | cut -d' ' -f1)
    # The queue keeps only the newest finished row; an older one may be gone.
    [ "$state" = "$id:" ] && state=cleared
    if [ "${last[$id]:-}" != "$state" ]; then
      echo "message $id: $(label "$state")"
      last[$id]=$state
    fi
    [ "$state" = 2 ] || [ "$state" = cleared ] || done_all=0
  done
  [ $done_all = 1 ] && break
  sleep 0.1
done

echo "== what arrived (velquor receive)"
sleep 1
velquor receive --wait 3000

echo "== the engine"
velquor service status
velquor service stop
trap - EXIT
echo "demo root kept in $NORVALE_ROOT (events in events.jsonl); remove it with: rm -rf $NORVALE_ROOT"
