#!/usr/bin/env bash
# See it work: installs what the build needs, builds the native preset, makes
# a bench of virtual devices (a Mifare encoder with blank cards) and walks one
# card through its life: issue a guest card, read it back decoded, clear it,
# read it again (now a cleared card). Every step is one `kestrane` process;
# the bench folder carries the card from one to the next.
#
#   bash scripts/demo.sh [BENCH_DIR]     (default: a fresh temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"

kestrane="$PWD/build/native/bin/kestrane"
bench="${1:-$(mktemp -d "${TMPDIR:-/tmp}/kestrane-demo.XXXXXX")}"
export KESTRANE_BENCH="$bench"

step() {
  printf '\n\033[1m$ kestrane'; printf ' %q' "$@"; printf '\033[0m\n'
  "$kestrane" "$@"
}

step bench init --medium mifare --collector --force "$bench"
step issue guest --rooms 101,102 --start "2026-03-01 14:00" --end "2026-03-03 12:00"
step read
step bench card show
step clear
step read
printf '\nThe bench is in %s (kestrane --bench %s ... to go on with it).\n' "$bench" "$bench"
