#!/usr/bin/env bash
# Runs every test: the native suite (built from a copy of the checkout in an
# empty folder), the sanitizer suite and the Windows suites under Wine (32-bit,
# then the 64-bit bridge over the 32-bit build), with the benchmarks in short
# mode; the native and Windows suites also install their build, build
# programs against the install tree and make the packages. Installs what it
# lacks.
set -euo pipefail
cd "$(dirname "$0")/.."
# A forced emulated run (KESTRANE_EMULATE_I386=1) registers qemu-i386 for
# i386 programs on a machine that runs them itself: the handler it registered
# goes again when the run ends.
forced_handler=
if [ "${KESTRANE_EMULATE_I386:-}" = 1 ] && [ ! -e /proc/sys/fs/binfmt_misc/kestrane-i386 ]; then forced_handler=1; fi
bash scripts/setup.sh
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-kestrane}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
jobs=$(nproc)
# What this run started or made, undone when it ends, however it ends.
cleanup=()
on_exit() { for step in "${cleanup[@]}"; do eval "$step" || true; done; }
trap on_exit EXIT
[ -n "$forced_handler" ] && cleanup+=('bash scripts/i386.sh remove')

echo "== native (built from a copy of the checkout in an empty folder)"
# Whoever clones the repository has nothing beside it. The native suite is
# built and run from a copy of the tracked files in an empty temporary
# folder, so a build or a test that reads anything outside the checkout
# fails here, as it would for them.
# The folder's name stays the same from run to run of one checkout, so the
# compiler cache serves the next run; it is emptied first and removed after.
scratch=${TMPDIR:-/tmp}/kestrane-standalone-$(pwd | cksum | cut -d' ' -f1)
rm -rf "$scratch"
mkdir -p "$scratch/kestrane"
cleanup+=('rm -rf "$scratch"')
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached | tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$scratch/kestrane"
else
  tar --exclude=./build -cf - . | tar -xf - -C "$scratch/kestrane"
fi
(cd "$scratch/kestrane" &&
 cmake --preset native >/dev/null &&
 cmake --build --preset native -j"$jobs" &&
 ctest --preset native -j"$jobs" -E '^pcsc_')

echo "== PC/SC readers (pcscd with vsmartcard's virtual reader)"
# The pcsc_ tests share the one virtual reader, so they run one at a time.
# with_pcscd.sh uses a pcscd already running, or starts one with a private
# reader configuration and stops it again by its process id.
(cd "$scratch/kestrane" && bash pcsc/tests/with_pcscd.sh ctest --preset native -R '^pcsc_')

echo "== sanitizers (ASan + UBSan, clang)"
# The same suites, the fuzz corpus replays included, built with clang and
# -fsanitize=address,undefined: any report fails the test that caused it.
# (The PC/SC tests ran above, against the native build.)
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$jobs"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  ctest --preset sanitize -j"$jobs" -E '^pcsc_'

# The Windows suites are never skipped: where 32-bit programs cannot run, the
# run fails here and says what is missing.
if ! i386=$(bash scripts/i386.sh describe); then
  echo "== $i386" >&2
  exit 1
fi
echo "== $i386"
echo "== win32 (Wine)"
# The Windows tool's worker is compared with the native tool built above.
cmake --preset win32 -DKESTRANE_NATIVE_BIN="$scratch/kestrane/build/native/bin" >/dev/null
cmake --build --preset win32 -j"$jobs"
# One persistent wineserver for the whole run: each test program starts fast.
# It answers 2 when a server for this prefix already runs (then that one
# serves us and is left alone); ours is stopped when the run ends, and its
# output never holds the caller's pipes open.
if wineserver -p </dev/null >/dev/null 2>&1; then
  cleanup+=('wineserver -k >/dev/null 2>&1')
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
