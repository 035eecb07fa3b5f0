# Starts and stops a private PostgreSQL server in a temporary directory, run
# as the postgres user on a Unix socket and a free port. Source this file,
# then call pg_start and pg_stop. pg_start exports NORVALE_TEST_PG (a libpq
# URI of the test database).
pg_bin() { ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1; }

pg_start() {
  local bin; bin=$(pg_bin)
  [ -n "$bin" ] || { echo "PostgreSQL server binaries not found" >&2; return 1; }
  PG_DIR=$(mktemp -d /tmp/norvale-pg-XXXXXX)
  chmod 755 "$PG_DIR"
  local port=$((20000 + RANDOM % 20000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  local as=()
  [ "$(id -u)" -eq 0 ] && { chown postgres "$PG_DIR"; as=(runuser -u postgres --); }
  "${as[@]}" "$bin/initdb" -D "$PG_DIR/data" -U postgres --auth=trust -E UTF8 >/dev/null
  "${as[@]}" "$bin/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/log" -w \
    -o "-k $PG_DIR -p $port -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200" start >/dev/null
  "${as[@]}" "$bin/createdb" -h "$PG_DIR" -p "$port" -U postgres velquor_test
  export PG_DIR PG_PORT=$port
  export NORVALE_TEST_PG="postgresql://postgres@127.0.0.1:$port/velquor_test"
  echo "PostgreSQL test server on port $port"
}

pg_stop() {
  [ -n "${PG_DIR:-}" ] || return 0
  local bin; bin=$(pg_bin)
  local as=()
  [ "$(id -u)" -eq 0 ] && as=(runuser -u postgres --)
  "${as[@]}" "$bin/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$PG_DIR"
  unset PG_DIR
}
