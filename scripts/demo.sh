#!/usr/bin/env bash
# The whole system on one machine in one command: installs what is missing,
# builds the command line and the engine, makes a demo root (registry, an
# embedded SQLite queue, a simulated handset that echoes every message back),
# starts the engine, sends a text and a Unicode message, follows both from
# pending to sent to delivered, shows the delivery reports and the replies
# arriving, sends one message through the HTTP API (velquor-http) with curl
# and follows its status, submits one through the SMPP server (velquor-smppd)
# with Perl's Net::SMPP and shows its receipt, makes an account of the web
# console and prints the console's address and its login (run in a terminal,
# it waits for Enter while you look around), and stops the engine. Nothing
# outside the demo root and the build directory build/ (the one README.md
# uses) is touched (besides installing packages).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each phase says when it starts and how long it took.
phase_start=$SECONDS
phase() {
  [ "$phase_start" -lt "$SECONDS" ] && echo "   (took $((SECONDS - phase_start)) s)"
  phase_start=$SECONDS
  echo "== $*"
}

phase "installing what is missing (scripts/setup.sh)"
bash scripts/setup.sh
# A build/ configured before (by scripts/test.sh or by hand) is used as it
# is; a new one is a release build.
configure=()
[ -f build/CMakeCache.txt ] || configure=(-DCMAKE_BUILD_TYPE=Release -DVELQUOR_BUILD_BENCHMARKS=OFF)
phase "configuring build/"
cmake -S . -B build -G Ninja "${configure[@]}" >/dev/null
phase "building velquor, velquor-server, velquor-http and velquor-smppd in build/ (a first build takes minutes; ninja counts the steps)"
# ninja's status line: steps done of all, seconds so far.
NINJA_STATUS="[%f/%t %es] " cmake --build build --target velquor_cli velquor-server velquor-http velquor-smppd \
  -j "$(nproc)"

export NORVALE_ROOT=${NORVALE_ROOT:-$(mktemp -d /tmp/velquor-demo-XXXXXX)}
export NORVALE_EVENTLOG=file:$NORVALE_ROOT/events.jsonl
velquor() { build/tools/velquor "$@"; }
http_pid=
hooks_pid=
smppd_pid=
stop_engine() {
  [ -z "$http_pid" ] || kill "$http_pid" 2>/dev/null || true
  [ -z "$smppd_pid" ] || kill "$smppd_pid" 2>/dev/null || true
  [ -z "$hooks_pid" ] || kill "$hooks_pid" 2>/dev/null || true
  velquor service stop >/dev/null 2>&1 || true
}
trap stop_engine EXIT

phase "a demo root in $NORVALE_ROOT"
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

phase "sending"
text=$(velquor send +4915112345678 "Hello from Velquor")
unicode=$(velquor send +4915112345678 "Grüße aus Köln ✓ Привет" --unicode)
echo "text message $text, Unicode message $unicode"

declare -A last
for _ in $(seq 1 100); do
  done_all=1
  for id in $text $unicode; do
    # The state in the words of velquor status (README.md, "The states of a
    # sent message"): the simulator asks for delivery reports, so a message
    # goes from 0 pending to 9 sent to 2 delivered.
    line=$(velquor status "$id")
    state=${line%% *}
    # The queue keeps only the newest finished row; an older one may be gone.
    if [ "$state" = "$id:" ]; then
      state=cleared
      line="finished; the queue has since cleared its row"
    fi
    if [ "${last[$id]:-}" != "$state" ]; then
      echo "message $id: $line"
      last[$id]=$state
    fi
    [ "$state" = 2 ] || [ "$state" = cleared ] || done_all=0
  done
  [ $done_all = 1 ] && break
  sleep 0.1
done

phase "what arrived (velquor receive)"
sleep 1
velquor receive --wait 3000

phase "the HTTP API: velquor-http, an account, one message sent with curl"
build/frontends/http/velquor-http --listen 127.0.0.1 --port 0 >"$NORVALE_ROOT/velquor-http.out" 2>&1 &
http_pid=$!
for _ in $(seq 1 100); do
  grep -q 'listening on' "$NORVALE_ROOT/velquor-http.out" && break
  sleep 0.1
done
cat "$NORVALE_ROOT/velquor-http.out"
api=http://$(sed -n 's/^velquor-http: listening on \([0-9.:]*\).*/\1/p' "$NORVALE_ROOT/velquor-http.out")
# A webhook receiver of the demo's own: it prints each call and whether its
# signature (HMAC-SHA256 of "<timestamp>.<body>" with the account's webhook
# secret) holds.
python3 - "$NORVALE_ROOT/hooks.port" "$NORVALE_ROOT/hooks.secret" >"$NORVALE_ROOT/hooks.out" 2>&1 <<'PY' &
import hashlib, hmac, http.server, os, sys, time
port_file, secret_file = sys.argv[1], sys.argv[2]
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        while not os.path.exists(secret_file):
            time.sleep(0.05)
        secret = open(secret_file).read().strip().encode()
        stamp = self.headers.get("X-Velquor-Timestamp", "")
        mac = hmac.new(secret, stamp.encode() + b"." + body, hashlib.sha256).hexdigest()
        good = self.headers.get("X-Velquor-Signature", "") == "v1=" + mac
        print("webhook call, signature " + ("valid" if good else "INVALID") + ": " + body.decode(), flush=True)
        self.send_response(204)
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Hook)
open(port_file, "w").write(str(server.server_port))
server.serve_forever()
PY
hooks_pid=$!
for _ in $(seq 1 100); do
  [ -s "$NORVALE_ROOT/hooks.port" ] && break
  sleep 0.1
done
hooks=http://127.0.0.1:$(cat "$NORVALE_ROOT/hooks.port")/reports
# The key and the webhook secret are shown once; only the key's hash is stored.
account=$(velquor http account add demo --report-url "$hooks")
key=$(echo "$account" | sed -n 's/^API key.*: //p')
echo "$account" | sed -n 's/^webhook secret.*: //p' >"$NORVALE_ROOT/hooks.secret"
echo "account demo, its delivery reports POSTed to $hooks"
answer=$(curl -s -H "Authorization: Bearer $key" -H 'Content-Type: application/json' \
  -d '{"to": "+4915112345678", "text": "Hello over HTTP"}' "$api/v1/messages")
echo "$answer"
http_id=$(echo "$answer" | grep -oE '"id": *[0-9]+' | grep -oE '[0-9]+' || true)
last_status=
for _ in $(seq 1 100); do
  [ -n "$http_id" ] || break
  status=$(curl -s -H "Authorization: Bearer $key" "$api/v1/messages/$http_id")
  if [ "$status" != "$last_status" ]; then
    echo "GET /v1/messages/$http_id: $status"
    last_status=$status
  fi
  case $status in *'"delivered"'* | *'"failed"'*) break ;; esac
  sleep 0.1
done
curl -s "$api/ready"
echo
phase "the delivery report at the webhook receiver"
for _ in $(seq 1 100); do
  grep -q '"delivered"' "$NORVALE_ROOT/hooks.out" && break
  sleep 0.1
done
cat "$NORVALE_ROOT/hooks.out"
kill "$hooks_pid" 2>/dev/null || true
hooks_pid=

phase "the SMPP server: velquor-smppd, an account with an SMPP password, one message submitted with Net::SMPP"
build/frontends/smpp/velquor-smppd --listen 127.0.0.1 --port 0 >"$NORVALE_ROOT/velquor-smppd.out" 2>&1 &
smppd_pid=$!
for _ in $(seq 1 100); do
  grep -q 'listening on' "$NORVALE_ROOT/velquor-smppd.out" && break
  sleep 0.1
done
cat "$NORVALE_ROOT/velquor-smppd.out"
smpp_port=$(sed -n 's/^listening on [0-9.]*:\([0-9]*\).*/\1/p' "$NORVALE_ROOT/velquor-smppd.out")
smpp_account=$(velquor account add smppdemo --smpp-password)
smpp_password=$(echo "$smpp_account" | sed -n 's/^SMPP password.*: //p')
echo "account smppdemo (system_id smppdemo), its SMPP password shown once: $smpp_password"
# A transceiver bind: submit_sm with a receipt asked for, then the receipt
# as deliver_sm (esm_class 0x04), acknowledged with deliver_sm_resp.
SMPP_PORT=$smpp_port SMPP_PASSWORD=$smpp_password perl -MNet::SMPP -e '
  my $smpp = Net::SMPP->new_transceiver("127.0.0.1", port => $ENV{SMPP_PORT}, system_id => "smppdemo",
    password => $ENV{SMPP_PASSWORD}, timeout => 10) or die "no bind: $!\n";
  my $resp = $smpp->submit_sm(destination_addr => "+4915112345678", short_message => "Hello over SMPP",
    registered_delivery => 1) or die "no submit_sm_resp\n";
  printf "submit_sm_resp: status %d, message_id %s\n", $resp->{status}, $resp->{message_id};
  local $SIG{ALRM} = sub { die "no receipt within 30 s\n" };
  alarm 30;
  while (my $pdu = $smpp->read_pdu) {
    if ($pdu->{cmd} == 0x00000015) { $smpp->enquire_link_resp(seq => $pdu->{seq}); next }
    next unless $pdu->{cmd} == 0x00000005;
    $smpp->deliver_sm_resp(seq => $pdu->{seq}, message_id => "");
    printf "deliver_sm (esm_class 0x%02x): %s\n", $pdu->{esm_class}, $pdu->{short_message};
    last if $pdu->{esm_class} & 0x04;
  }
  alarm 0;
  $smpp->unbind;
'
sleep 1.5  # the state file follows once a second
velquor service status | sed -n '/^velquor-smppd/,/^handset/p' | sed '$d'
kill "$smppd_pid" 2>/dev/null || true
smppd_pid=

phase "the web console: an account that may log in, served by velquor-http under /console/"
# The console takes the accounts of the HTTP API that have the console flag;
# the API key logs in (shown once, like every key).
console_account=$(velquor http account add demo-console --console)
console_key=$(echo "$console_account" | sed -n 's/^API key.*: //p')
echo "web console: $api/console/"
echo "log in as account demo-console with API key $console_key"
# The login as the console's form sends it: a session cookie, and the
# overview behind it.
jar="$NORVALE_ROOT/console.cookies"
curl -s -o /dev/null -c "$jar" -w "POST /console/login: %{http_code}, on to %{redirect_url}\n" \
  --data-urlencode account=demo-console --data-urlencode "key=$console_key" "$api/console/login"
if curl -s -b "$jar" "$api/console/" | grep -q '<h1>Overview</h1>'; then
  echo "GET /console/ with that cookie: the overview"
else
  echo "the console did not show its overview" >&2
fi
rm -f "$jar"
# Run in a terminal, the demo waits here, with the engine and velquor-http
# running, for as long as you look around the console.
if [ -t 0 ]; then
  read -r -p "the console runs until you press Enter " _
fi

phase "the engine"
kill "$http_pid" 2>/dev/null || true
http_pid=
velquor service status
velquor service stop
trap - EXIT
echo "demo root kept in $NORVALE_ROOT (events in events.jsonl); remove it with: rm -rf $NORVALE_ROOT"
