#!/usr/bin/env bash
# with_postgres.sh CMD...: runs CMD beside a PostgreSQL server of its own, a
# new cluster in a temporary folder that listens on a Unix socket in that
# folder only (no TCP), with a database made for the run. CMD finds
#   KESTRANE_TEST_PG      the database's libpq connection string
#   KESTRANE_TEST_PG_CTL  a pg_ctl command line for the cluster, to which
#                         "stop -m fast" or "start" is appended
# The server is stopped by its pid when CMD ends, however it ends, and the
# folder removed. PostgreSQL refuses to run as root: run by root, the
# cluster belongs to the `postgres` system user.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: with_postgres.sh CMD..." >&2; exit 2; }

bindir=$(pg_config --bindir 2>/dev/null || true)
[ -x "$bindir/postgres" ] || bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ ! -x "$bindir/postgres" ]; then
  echo "with_postgres: no PostgreSQL server found (scripts/setup.sh installs the postgresql package)" >&2
  exit 1
fi

as=()
if [ "$(id -u)" = 0 ]; then
  id postgres >/dev/null 2>&1 || { echo "with_postgres: run as root, but there is no postgres user" >&2; exit 1; }
  as=(setpriv --reuid=postgres --regid=postgres --init-groups --)
fi

# /tmp, not $TMPDIR: a Unix socket's path must stay under 108 bytes.
tmp=$(mktemp -d /tmp/ks-pg.XXXXXX)
[ ${#as[@]} -eq 0 ] || chown postgres: "$tmp"
chmod 700 "$tmp"
data=$tmp/data
ctl=("${as[@]}" "$bindir/pg_ctl" -D "$data" -l "$tmp/restarted.log" -w -s)

started=
cmd=
stop() {
  local pid
  [ -z "$cmd" ] || kill -TERM "$cmd" 2>/dev/null || true
  # The server CMD started again (through KESTRANE_TEST_PG_CTL) has a new pid.
  pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null || echo "$started")
  # The pid file outlives a crashed server: only a live postgres is signalled.
  if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = postgres ]; then
    kill -INT "$pid" 2>/dev/null || true  # fast shutdown
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap stop EXIT
trap 'exit 143' INT TERM

cd "$tmp"  # the postgres user may not enter the caller's folder
if ! "${as[@]}" "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --no-locale --no-sync \
     >"$tmp/initdb.log" 2>&1; then
  cat "$tmp/initdb.log" >&2
  exit 1
fi
# A throwaway cluster: no durability to pay for, nothing to reach from outside.
cat >>"$data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$tmp'
unix_socket_permissions = 0700
port = 5432
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 20
shared_buffers = 16MB
EOF
# Started as this script's child (setpriv execs), not daemonised by pg_ctl:
# whoever ends this script's process tree ends the server too.
"${as[@]}" "$bindir/postgres" -D "$data" >"$tmp/postgres.log" 2>&1 </dev/null &
started=$!
for _ in $(seq 300); do
  "$bindir/pg_isready" -q -h "$tmp" -p 5432 && break
  kill -0 "$started" 2>/dev/null || break
  sleep 0.1
done
if ! "$bindir/pg_isready" -q -h "$tmp" -p 5432; then
  cat "$tmp/postgres.log" >&2
  exit 1
fi
"$bindir/createdb" -h "$tmp" -p 5432 -U postgres kestrane_test

export KESTRANE_TEST_PG="host=$tmp port=5432 dbname=kestrane_test user=postgres"
KESTRANE_TEST_PG_CTL=$(printf '%q ' "${ctl[@]}")
export KESTRANE_TEST_PG_CTL
cd - >/dev/null
# In the background, so that a signal to this script is handled at once
# (bash runs traps only between commands) and CMD is ended with it.
rc=0
"$@" &
cmd=$!
wait "$cmd" || rc=$?
cmd=
exit "$rc"
