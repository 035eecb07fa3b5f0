#!/usr/bin/env python3
"""Load and measuring helpers of bench/http_compare.sh (Python 3 standard
library only; everything on loopback).

  http_load.py idle --port=P --connections=N
      Opens N connections to 127.0.0.1:P, sends one keep-alive
      "GET /health" on each and reads its answer, then holds them all open.
      Prints "held K of N in S s (failed F)" once every connection is
      answered or failed, then holds until SIGTERM or SIGINT, closes them and
      prints "released". Raises its own limit of open files to the hard one.

  http_load.py receiver --log=FILE
      A webhook receiver on a free loopback port (prints "port N" first): it
      answers every POST with 204 and appends "EPOCH EVENT_ID JOB_ID" to
      FILE (the arrival time, the X-Velquor-Event-Id header and the body's
      "id"), flushed at once. Runs until SIGTERM.

  VELQUOR_HTTP_KEY=KEY http_load.py send --port=P --count=N [--url=CALLBACK]
      Queues N messages through POST /v1/messages on one keep-alive
      connection (optionally each with a callback_url) and prints their ids,
      one a line.

  http_load.py notify --backend=sqlite|postgresql --dsn=DSN --account=NAME
                      --ids=FILE --rate=R
      Inserts for each job id in FILE (one a line) a delivery report into
      SMSNotifications for velquor-http (SourceType 10, SourceId the
      account), R a second on an even schedule, and prints "EPOCH JOB_ID"
      after each insert is committed. DSN: "sqlite:PATH" or a PostgreSQL
      URI (through psql).
"""
import argparse
import http.client
import http.server
import json
import os
import resource
import selectors
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import time

STREAM_TYPE_HTTP_API = 10  # the SourceType of velquor-http's jobs
REQUEST = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def answered(data):
    """Whether `data` holds a whole HTTP answer (headers and its body)."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    length = 0
    for line in data[:end].split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    return len(data) >= end + 4 + length


def idle(args):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    selector = selectors.DefaultSelector()
    held, failed, pending = [], 0, 0
    started = time.monotonic()
    deadline = started + args.seconds
    to_open = args.connections

    def finish(sock, ok):
        nonlocal failed, pending
        selector.unregister(sock)
        pending -= 1
        if ok:
            held.append(sock)
        else:
            failed += 1
            sock.close()

    # At most 256 connections being opened at once, so that the listener's
    # backlog is not what is measured.
    while (to_open > 0 or pending > 0) and time.monotonic() < deadline and not stop.is_set():
        while to_open > 0 and pending < 256:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setblocking(False)
            try:
                sock.connect_ex(("127.0.0.1", args.port))
            except OSError:
                sock.close()
                failed += 1
                to_open -= 1
                continue
            selector.register(sock, selectors.EVENT_WRITE, {"sent": False, "data": b""})
            to_open -= 1
            pending += 1
        for key, _ in selector.select(timeout=0.5):
            sock, state = key.fileobj, key.data
            try:
                if not state["sent"]:
                    if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                        finish(sock, False)
                        continue
                    sock.send(REQUEST)
                    state["sent"] = True
                    selector.modify(sock, selectors.EVENT_READ, state)
                    continue
                chunk = sock.recv(4096)
                if not chunk:
                    finish(sock, False)
                    continue
                state["data"] += chunk
                if answered(state["data"]):
                    finish(sock, state["data"].startswith(b"HTTP/1.1 200"))
            except OSError:
                finish(sock, False)
    failed += pending + to_open
    print(f"held {len(held)} of {args.connections} in {time.monotonic() - started:.1f} s (failed {failed})",
          flush=True)
    stop.wait(args.seconds)
    for sock in held:
        sock.close()
    print("released", flush=True)


def receiver(args):
    log = open(args.log, "a", buffering=1)
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            arrived = time.time()
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            try:
                job = json.loads(body).get("id", "-")
            except (ValueError, AttributeError):
                job = "-"
            with lock:
                log.write(f"{arrived:.6f} {self.headers.get('X-Velquor-Event-Id', '-')} {job}\n")
            self.send_response(204)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print(f"port {server.server_address[1]}", flush=True)
    server.serve_forever()


def send(args):
    connection = http.client.HTTPConnection("127.0.0.1", args.port, timeout=30)
    headers = {"Content-Type": "application/json", "Authorization": f"Bearer {os.environ['VELQUOR_HTTP_KEY']}"}
    for k in range(args.count):
        message = {"to": "+447700900123", "text": f"Benchmark message {k + 1}"}
        if args.url:
            message["callback_url"] = args.url
        connection.request("POST", "/v1/messages", json.dumps(message), headers)
        answer = connection.getresponse()
        body = answer.read()
        if answer.status != 201:
            sys.exit(f"http_load.py send: {answer.status} {body.decode(errors='replace')}")
        print(json.loads(body)["id"])


NOTIFICATION = ("INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
                "TmStamp, JobStatus, SourceType, SourceId, SourceName) SELECT COALESCE(MAX(Id), 0) + 1, {job}, 0, "
                "'+447700900123', 0, ' ', 1, 0, '{stamp}', 2, {source}, '{account}', '{account}' "
                "FROM SMSNotifications")


def notify(args):
    jobs = [int(line) for line in open(args.ids) if line.strip()]
    if not all(c.isalnum() or c in "_-" for c in args.account):
        sys.exit("http_load.py notify: an account name is letters, digits, '_' and '-'")
    if args.backend == "sqlite":
        db = sqlite3.connect(args.dsn.removeprefix("sqlite:"), timeout=30, isolation_level=None)

        def insert(statement):
            db.execute(statement)
    else:
        psql = subprocess.Popen([args.psql, "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", args.dsn],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

        def insert(statement):
            psql.stdin.write(statement + ";\nSELECT 1;\n")
            psql.stdin.flush()
            if psql.stdout.readline().strip() != "1":
                sys.exit("http_load.py notify: psql failed")
    start = time.monotonic()
    for k, job in enumerate(jobs):
        delay = start + k / args.rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        insert(NOTIFICATION.format(job=job, stamp=stamp, source=STREAM_TYPE_HTTP_API, account=args.account))
        print(f"{time.time():.6f} {job}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("idle")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--connections", type=int, default=10000)
    p.add_argument("--seconds", type=float, default=120, help="bound of the opening and of the holding")
    p.set_defaults(run=idle)
    p = commands.add_parser("receiver")
    p.add_argument("--log", required=True)
    p.set_defaults(run=receiver)
    p = commands.add_parser("send")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--url", default="")
    p.set_defaults(run=send)
    p = commands.add_parser("notify")
    p.add_argument("--backend", choices=["sqlite", "postgresql"], required=True)
    p.add_argument("--dsn", required=True)
    p.add_argument("--psql", default="psql")
    p.add_argument("--account", required=True)
    p.add_argument("--ids", required=True)
    p.add_argument("--rate", type=float, required=True)
    p.set_defaults(run=notify)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
