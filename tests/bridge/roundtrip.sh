#!/usr/bin/env bash
# Round-trip cost of Kestrane64.dll: roundtrip.cpp built 32-bit (direct calls
# into Kestrane.dll) and 64-bit (over the bridge), on copies of one Mifare
# bench folder, in one Wine session. Prints a Markdown table.
#   roundtrip.sh TOOL32 ROUNDTRIP32 ROUNDTRIP64 WORK [ITERATIONS]
set -euo pipefail
tool32=$1 direct=$2 bridged=$3 work=$4 iterations=${5:-200}
rm -rf "$work" && mkdir -p "$work"
wine "$tool32" --bench "$work/a" bench init --medium mifare >/dev/null
cp -r "$work/a" "$work/b"
wine "$direct" "$work/a" "$iterations" >"$work/direct.txt"
wine "$bridged" "$work/b" "$iterations" >"$work/bridged.txt"
echo "| call | direct (µs) | bridged (µs) | added (µs) |"
echo "|---|---:|---:|---:|"
join "$work/direct.txt" "$work/bridged.txt" | awk '{ printf "| `%s` | %s | %s | %.1f |\n", $1, $2, $3, $3 - $2 }'
