#!/usr/bin/env bash
# The webhook receiver down for a long while under a steady flow of events:
# every event must reach it once it is back, none twice (velquor-http's calls
# are at least once: a repeat is allowed only where the receiver answered
# after the call's time-out, which this receiver never does).
#
#   bash bench/webhook_outage.sh [--build=DIR] [--outage=SECONDS] [--rate=N]
#                                [--backend=sqlite|postgresql|both]
#
# Defaults: 600 s at 50 events/s (30,000 events), SQLite. Runs the case
# DeliversEverythingOnceWhenTheReceiverComesBack of velquor_http_tests (DIR,
# default build/) at that length: velquor-http as a process, the events
# written into WebhookOutbox at the rate while nothing listens on the
# receiver's port, then a receiver there that checks every signature. The
# case prints the events, those delivered, those delivered more than once and
# the time from the receiver's return to the last delivery; the back-off's
# longest pause (10 minutes) bounds that time. PostgreSQL: the server
# NORVALE_TEST_PG names, else a private one from scripts/pg.sh for the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

build=$here/build outage=600 rate=50 backend=sqlite
for arg in "$@"; do
  case $arg in
    --build=*) build=$(cd "${arg#*=}" && pwd) ;;
    --outage=*) outage=${arg#*=} ;;
    --rate=*) rate=${arg#*=} ;;
    --backend=*) backend=${arg#*=} ;;
    *) echo "webhook_outage.sh: unknown argument '$arg' (see the head of $0)" >&2; exit 2 ;;
  esac
done
[[ $outage =~ ^[1-9][0-9]*$ && $rate =~ ^[1-9][0-9]*$ && $rate -le 1000 ]] ||
  { echo "webhook_outage.sh: --outage takes a positive number, --rate 1 to 1000" >&2; exit 2; }
case $backend in
  sqlite) filter='*/Sqlite' ;;
  postgresql) filter='*/Postgres' ;;
  both) filter='*' ;;
  *) echo "webhook_outage.sh: --backend is sqlite, postgresql or both" >&2; exit 2 ;;
esac
tests=$build/tests/velquor_http_tests
[ -x "$tests" ] || { echo "webhook_outage.sh: no $tests; build velquor_http_tests first" >&2; exit 2; }

if [[ $backend != sqlite && -z "${NORVALE_TEST_PG:-}" ]]; then
  # shellcheck source=../scripts/pg.sh
  source "$here/scripts/pg.sh"
  pg_start >/dev/null
  trap pg_stop EXIT
fi

echo "webhook outage: ${outage} s at ${rate}/s, $((outage * rate)) events ($backend)"
VELQUOR_WEBHOOK_OUTAGE_SECONDS=$outage VELQUOR_WEBHOOK_RATE=$rate \
  "$tests" --gtest_filter="Backends/HttpWebhooksTest.DeliversEverythingOnceWhenTheReceiverComesBack$filter" |
  grep -E '^(webhook outage:|\[  (PASSED|FAILED) |.*Failure)'
