#!/usr/bin/env bash
# Runs every test: the native suite, the Windows suites under Wine (32-bit,
# then the 64-bit bridge over the 32-bit build), the
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

echo "== sanitizers (ASan + UBSan, clang)"
# The same suites, the fuzz corpus replays included, built with clang and
# -fsanitize=address,undefined: any report fails the test that caused it.
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$jobs"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  ctest --preset sanitize -j"$jobs"

echo "== win32 (Wine)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$jobs"
# One persistent wineserver for the whole run: each test program starts fast.
# It answers 2 when a server for this prefix already runs (then that one
# serves us and is left alone); ours is stopped when the run ends, and its
# output never holds the caller's pipes open.
if wineserver -p </dev/null >/dev/null 2>&1; then
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
fi
# Start Wine once before the suite: the first process of a prefix brings up
# its services, and a test program racing that start-up can stall. A stalled
# program is stopped by its time-out and run again.
wine cmd /c ver >/dev/null 2>&1 || true
ctest --preset win32 -j"$jobs" --repeat after-timeout:3

echo "== win64 (Wine): Kestrane64.dll and its 32-bit host"
# Uses the win32 build above (KestraneHost32.exe, Kestrane.dll, the bench).
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$jobs"
ctest --preset win64 -j"$jobs" --repeat after-timeout:3
