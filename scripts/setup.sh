#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine (as root),
# skipping what is already there, and prepares a private headless Wine prefix.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in cmake make g++ pkg-config g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 \
         libcli11-dev libgtest-dev libgmock-dev googletest libbenchmark-dev \
         clang libclang-rt-14-dev ccache dpkg-dev file debootstrap \
         pcscd vsmartcard-vpcd libpcsclite-dev \
         g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64; do
  have "$p" || need+=("$p")
done
# The .NET and Python bindings: Mono to build and test the assembly, pytest,
# venv, setuptools and wheel for the Python package's tests (offline pip install).
# kestrane-server: Boost.Asio/Beast, OpenSSL, JSON, TOML, SQLite, libpq, libsystemd, Argon2;
# a PostgreSQL server for its journal's tests; its console's tests: headless
# Chromium driven by Selenium.
for p in mono-mcs mono-runtime python3-pytest python3-venv python3-setuptools python3-wheel \
         libboost1.74-dev libssl-dev nlohmann-json3-dev libtomlplusplus-dev libsqlite3-dev libpq-dev \
         libsystemd-dev libargon2-dev python3-requests python3-jsonschema postgresql \
         chromium chromium-driver python3-selenium; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

# 32-bit Wine and KestraneHost32.exe are i386 programs. Where the kernel cannot
# run them (or KESTRANE_EMULATE_I386=1 asks for it), qemu-i386 is installed and
# registered for them; scripts/test.sh says which way they run, and fails the
# Windows suites with the reason when neither works.
bash "$(dirname "$0")/i386.sh" ensure || echo "setup: 32-bit x86 programs cannot run here (see above)"

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-kestrane}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The win64 suite runs 64-bit programs that start the 32-bit host: the prefix
# must be a 64-bit one. A prefix made by a 32-bit-only Wine says so in its
# registry; it is made again.
if [ -f "$WINEPREFIX/system.reg" ] && grep -q '^#arch=win32' "$WINEPREFIX/system.reg"; then
  echo "setup: $WINEPREFIX is a 32-bit Wine prefix; making it again as a 64-bit one"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: initialising the Wine prefix $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi
# A crash must fail a test, not open a dialog and hang it.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
