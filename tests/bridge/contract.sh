#!/usr/bin/env bash
# The memory contract of Kestrane64.dll on each medium: the transcript of
# contract.cpp over the bridge equals the one over the 32-bit Kestrane.dll,
# run on copies of one bench folder, and the bench folders (cards, collector)
# end identical. contract.cpp itself fails on a written guard element or a
# null array that does not answer KS_ERR_UNAVAILABLE.
set -euo pipefail
tool32=$1 contract32=$2 contract64=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
status=0
for medium in ic temic mifare; do
  a="$work/$medium-a" b="$work/$medium-b"
  wine "$tool32" --bench "$a" bench init --medium "$medium" --collector >/dev/null
  wine "$tool32" --bench "$a" bench collector add --kind 3 --time 2026-03-01T10:15 --card 0A0B0C0D >/dev/null
  cp -r "$a" "$b"
  wine "$contract32" "$a" >"$work/$medium-32.txt" || { echo "$medium: 32-bit contract failed"; status=1; }
  wine "$contract64" "$b" >"$work/$medium-64.txt" || { echo "$medium: 64-bit contract failed"; status=1; }
  diff "$work/$medium-32.txt" "$work/$medium-64.txt" || { echo "$medium: transcripts differ"; status=1; }
  diff -r "$a" "$b" || { echo "$medium: bench folders differ"; status=1; }
  echo "$medium: $(wc -l <"$work/$medium-64.txt") calls compared"
done
exit $status
