#!/usr/bin/env bash
# kestrane-server under load (docs/performance.md, "kestrane-server"): builds
# the server, the tool and the load generator as a release build in its own
# folder (build/release; KESTRANE_BENCH_BUILD names another) and runs three
# passes of the same jobs on fresh bench sites of 8 encoders:
#   1. the command lines straight through the workers' pipes, no server;
#   2. the server with 64 clients: jobs per second, latency, memory;
#   3. the same with every worker timed through a relay: per job, what the
#      server adds beyond its library call;
#   4. as 3 with one client per encoder, so that no job waits behind another.
# Arguments go to every pass, e.g. --jobs 2000, --clients 8, --sync normal,
# --server PATH (another kestrane-server binary, to compare two builds).
# Not a test: its figures depend on the machine and on what else runs on it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KESTRANE_BENCH_BUILD:-build/release}
jobs=$(( $(nproc) < 2 ? 1 : 2 ))

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRANE_TESTS=OFF &&
       cmake --build "$build" --target kestrane_server kestrane_tool server_load -j"$jobs"; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
load=$build/bin/server_load

# With the journal at sync = "full" the disk's fsync time sets the pace, so
# what else writes to it matters as much as what else runs: both are shown.
machine() {
  echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)$(
    [ -r /proc/pressure/io ] && echo ", I/O pressure (some, avg10/avg60) $(awk '/^some/ {print $2 "/" $3}' /proc/pressure/io)")"
}
echo "$(uname -sr)"
machine
echo
echo "== 1. the command lines with no server (kestrane worker pipes, one command at a time each)"
"$load" --direct "$@"
machine
echo
echo "== 2. the server: jobs per second, latency, memory"
"$load" "$@"
machine
echo
echo "== 3. per job: the server's share (each worker timed through a relay)"
"$load" --timed-workers "$@"
machine
echo
echo "== 4. as 3, one client per encoder (no job waits behind another)"
"$load" --timed-workers "$@" --clients 8
machine
