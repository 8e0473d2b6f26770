#!/usr/bin/env bash
# The 64-bit kestrane.exe (over Kestrane64.dll and its 32-bit host) against
# the 32-bit kestrane.exe (over Kestrane.dll), each on its own copy of one
# bench folder per medium: every card kind issued, read and cleared, collect,
# pda, serial, des, and failures with their codes. Every run must print the
# same (JSON on stdout, messages on stderr, exit code) and the bench folders
# must end identical, card files included.
set -euo pipefail
tool32=$1 tool64=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
period="--start 2026-03-01T14:00 --end 2026-03-03T12:00"
kinds=(
  "guest $period --rooms 101,102 --ext-values 7,300 --ext-bytes 1,2,3,4 --option"
  "time --time 2026-05-06T07:08:09"
  "emergency $period"
  "floor $period --number 9 --floors 1,2,3 --list-c 4,5 --ext-bytes 9"
  "clean-district $period --districts 6,7 --list-c 1"
  "building $period --buildings 2,4 --list-c 12,99"
  "long-open $period --ext-bytes 0,0,0,1"
  "chief $period --option"
  "install $period --number 3 --room 301 --list-a 1 --list-b 2"
  "lost $period --lost-type 16 --values 1,2,3,4"
  "data $period"
  "guest-leave $period"
)
# "+" marks a step that must succeed, so that two sides failing alike never
# pass for agreement.
steps=()
for k in "${kinds[@]}"; do steps+=("+issue $k" "+read" "+clear" "+read"); done
steps+=(
  "issue guest $period --rooms 5" "issue chief $period"   # refused: not a cleared card
  "password" "clear"
  "bench card remove" "read" "issue guest $period --rooms 5" "clear" "bench card insert card-1"
  "bench card new --system-password --insert --name pw" "password" "clear" "bench card insert card-1"
  "bench collector add --kind 3 --time 2026-03-01T10:15 --card 0A0B0C0D"
  "bench collector add --kind 10 --time 2026-12-31T23:59 --card 01020304"
  "+collect" "collect"
  "+pda time 2026-03-04T05:06:07" "+pda room 1 2 3" "bench collector show"
  "serial mifare --port 3" "serial mifare --port 4" "+serial ibutton --port 1" "serial ibutton --port 9"
  "+des encrypt 0123456789ABCDEF" "+des decrypt 0FA27F578FB6BB2E" "+des encrypt 3132333435" "+codes"
)

differ=0 runs=0
for medium in ic temic mifare; do
  wine "$tool32" --bench "$work/$medium-0" bench init --medium "$medium" --collector >/dev/null
  cp -r "$work/$medium-0" "$work/$medium-A"
  cp -r "$work/$medium-0" "$work/$medium-B"
  for marked in "${steps[@]}"; do
    step=${marked#+}
    for side in A B; do
      tool=$tool32; [ $side = B ] && tool=$tool64
      dir="$work/$medium-$side"
      set +e
      # shellcheck disable=SC2086
      wine "$tool" --bench "$dir" --json $step >"$work/out-$side" 2>"$work/err-$side"
      echo "exit $?" >>"$work/out-$side"
      set -e
      sed -i "s#$dir#BENCH#g" "$work/out-$side" "$work/err-$side"
    done
    runs=$((runs + 1))
    if [ "$marked" != "$step" ] && ! grep -qx "exit 0" "$work/out-B"; then
      echo "== $medium: $step failed on both sides"
      differ=$((differ + 1))
    fi
    if ! cmp -s "$work/out-A" "$work/out-B" || ! cmp -s "$work/err-A" "$work/err-B"; then
      echo "== $medium: $step"
      diff "$work/out-A" "$work/out-B" || true
      diff "$work/err-A" "$work/err-B" || true
      differ=$((differ + 1))
    fi
  done
  if ! diff -r "$work/$medium-A" "$work/$medium-B"; then
    echo "== $medium: the bench folders differ"
    differ=$((differ + 1))
  fi
done
echo "$runs command lines compared, $differ differences or failures"
[ $differ -eq 0 ]
