#!/usr/bin/env bash
# PC/SC tests through a real pcscd and vsmartcard's vpcd reader, with our
# virtual card (kestrane_vcard) in it: pcsc_test.sh CASE.
#   cards      every card kind issued, read and cleared on a Mifare and an
#              SLE4442 card; after each step the card file equals the one the
#              bench's serial encoder path wrote; PC/SC commands per operation
#   password   ReadSystemPas and M1_ReadSn, against the bench path
#   faults     card removed mid-write, another hotel's card, a 4K card, a
#              wrong PSC, no PC/SC service, a named reader that is absent
#   session    one host keeps the SLE4442 encoder open while cards are swapped
#   midway     a card swapped or re-seated between two steps of one clear
#   readers    two readers: the setting (INI beside the library, environment
#              variable over it) and the default choose the right one
# Needs KS_TOOL and KS_VCARD. Exits 77 (skipped) when no pcscd serves vpcd.
set -uo pipefail
case_name=$1
: "${KS_TOOL:?}" "${KS_VCARD:?}"
export LC_ALL=C
work=$(mktemp -d)
cards_started=()
failures=0
PERIOD=(--start "2026-03-01 14:00" --end "2026-03-03 12:00")
READER0="Virtual PCD 00 00"   # vpcd, TCP 35963
READER1="Virtual PCD 00 01"   # vpcd, TCP 35964

stop_cards() {
  [ ${#cards_started[@]} -gt 0 ] || return 0
  for pid in "${cards_started[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  cards_started=()
  wait_card "$READER0" false && wait_card "$READER1" false
}
# A card that pulls itself out (--remove-on-write) leaves on its own.
cards_left() {
  for pid in "${cards_started[@]}"; do wait "$pid" 2>/dev/null; done
  cards_started=()
}
finish() { stop_cards; rm -rf "$work"; }
trap finish EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# wait_card READER true|false: until `readers` shows the card there (or not).
wait_card() {
  for _ in $(seq 100); do
    "$KS_TOOL" --json readers 2>/dev/null | grep -q "\"reader\":\"$1\",\"card\":$2" && return 0
    sleep 0.1
  done
  return 1
}

# start_card FILE [PORT [vcard options...]]: the card in the vpcd reader on PORT.
start_card() {
  local file=$1 port=${2:-35963}
  shift 2 2>/dev/null || shift
  "$KS_VCARD" --card "$file" --port "$port" "$@" &
  cards_started+=($!)
  local reader=$READER0
  [ "$port" = 35964 ] && reader=$READER1
  wait_card "$reader" true || { echo "no card appeared in $reader: $("$KS_TOOL" --json readers 2>&1)"; ps -ef | grep -c "[k]estrane_vcard"; exit 1; }
}

if ! "$KS_TOOL" --json readers 2>/dev/null | grep -q "\"reader\":\"$READER1\""; then
  echo "no pcscd with the vpcd reader is running (pcsc/tests/with_pcscd.sh starts one): skipped"
  exit 77
fi

# A bench folder of the medium with blank cards; the bench path writes card-1.
new_bench() { "$KS_TOOL" bench init --medium "$1" --cards 2 --no-usb "$work/$2" >/dev/null; }
bench_tool() { "$KS_TOOL" --json --bench "$work/$1" "${@:2}" 2>/dev/null; }
pcsc_tool() { "$KS_TOOL" --json --devices pcsc --config "$work/$1/config.ini" "${@:2}" 2>/dev/null; }
field() { grep -o "\"$1\":[^,}]*" | head -1 | cut -d: -f2- | tr -d '"'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
log_lines() { wc -l <"$1" 2>/dev/null || echo 0; }

ISSUE_KINDS=(
  "guest --rooms 101,102 --ext-values 7 --ext-bytes 1,2,3,4"
  "time --time 2026-03-01T10:20:30"
  "emergency" "floor --number 9 --floors 1,2 --list-c 1,2,3,4" "clean-district --districts 3"
  "building --buildings 4 --list-c 12,34" "long-open --ext-bytes 9" "chief"
  "install --number 3 --room 204 --list-a 1 --list-b 2"
  "lost --lost-type 20 --values 1,2,3,4" "data" "guest-leave"
)

# One step on both paths; the two card files must then be equal, and the
# PC/SC path must have used the expected number of commands.
both() {
  local medium=$1 card=$2 vcard=$3 log=$4 commands=$5 what=$6
  shift 6
  local t0 t1 t2 before out_b out_p
  local period=("${PERIOD[@]}")
  [ "$1" != issue ] || [ "$2" != time ] || period=()
  [ "$1" = issue ] || period=()
  t0=$(now_ms)
  out_b=$(bench_tool "$medium" "$@" "${period[@]}")
  t1=$(now_ms)
  before=$(log_lines "$log")
  out_p=$(pcsc_tool "$medium" "$@" "${period[@]}")
  t2=$(now_ms)
  local sent=$(($(log_lines "$log") - before))
  echo "timing: $medium $what: bench $((t1 - t0)) ms, pcsc $((t2 - t1)) ms, $sent PC/SC commands"
  [ "$(field ok <<<"$out_p")" = true ] || fail "$medium $what through PC/SC: $out_p"
  [ "$(field kind <<<"$out_p")" = "$(field kind <<<"$out_b")" ] || fail "$medium $what: kinds differ: $out_p / $out_b"
  cmp -s "$card" "$vcard" || fail "$medium $what: card bytes differ from the bench path"
  [ "$sent" = "$commands" ] || fail "$medium $what: $sent PC/SC commands, expected $commands"
}

case_cards() {
  # medium, card file, commands for issue, read, clear
  local row
  for row in "mifare mfd 12 6 12" "ic sle4442 6 2 6"; do
    read -r medium ext n_issue n_read n_clear <<<"$row"
    new_bench "$medium" "$medium"
    local card="$work/$medium/cards/card-1.$ext" vcard="$work/v-$medium.$ext" log="$work/$medium.apdu"
    cp "$card" "$vcard"
    start_card "$vcard" 35963 --log "$log"
    for kind in "${ISSUE_KINDS[@]}"; do
      read -ra args <<<"$kind"
      both "$medium" "$card" "$vcard" "$log" "$n_issue" "issue ${args[0]}" issue "${args[@]}"
      both "$medium" "$card" "$vcard" "$log" "$n_read" "read ${args[0]}" read
      both "$medium" "$card" "$vcard" "$log" "$n_clear" "clear ${args[0]}" clear
    done
    stop_cards
  done
}

case_password() {
  local row
  for row in "mifare mfd" "ic sle4442"; do
    read -r medium ext <<<"$row"
    new_bench "$medium" "$medium"
    "$KS_TOOL" --bench "$work/$medium" bench card new --system-password --insert --name pw >/dev/null
    cp "$work/$medium/cards/pw.$ext" "$work/pw.$ext"
    start_card "$work/pw.$ext"
    local b p
    b=$(bench_tool "$medium" password | field pass)
    p=$(pcsc_tool "$medium" password | field pass)
    [ -n "$p" ] && [ "$p" = "$b" ] && ok "$medium ReadSystemPas: $p" || fail "$medium ReadSystemPas: pcsc '$p', bench '$b'"
    if [ "$medium" = mifare ]; then
      b=$(bench_tool "$medium" serial mifare --port 3 | field serial)
      p=$(pcsc_tool "$medium" serial mifare --port 3 | field serial)
      [ -n "$p" ] && [ "$p" = "$b" ] && ok "M1_ReadSn: $p" || fail "M1_ReadSn: pcsc '$p', bench '$b'"
    fi
    stop_cards
  done
}

# expect_failure NAME OUTPUT WHAT: the tool reported the library code NAME.
expect_failure() {
  [ "$(field name <<<"$2")" = "$1" ] && ok "$3: $1" || fail "$3: expected $1, got: $2"
}

case_faults() {
  new_bench mifare m; new_bench ic i
  local issue=(issue guest --rooms 7 "${PERIOD[@]}")
  # Removed in the middle of writing: Mifare after the first of three
  # blocks, SLE4442 halfway through its one write. The library reports the
  # failure, and the half-written record never reads as a card.
  local row
  for row in "m mfd 2" "i sle4442 1"; do
    read -r b ext nth <<<"$row"
    cp "$work/$b/cards/card-1.$ext" "$work/cut.$ext"
    start_card "$work/cut.$ext" 35963 --remove-on-write "$nth"
    expect_failure KS_ERR_COMM "$(pcsc_tool "$b" "${issue[@]}")" "$ext card removed mid-write"
    cards_left
    cmp -s "$work/$b/cards/card-1.$ext" "$work/cut.$ext" && fail "$ext: the removal came before any byte was written"
    start_card "$work/cut.$ext"
    [ "$(pcsc_tool "$b" read | field ok)" = false ] && ok "$ext half-written record is not read as a card" ||
      fail "$ext half-written record read as a card"
    stop_cards
  done
  # Another hotel's card: its sector key comes from another password.
  sed -i 's/^pass *=.*/pass = 11223344/' "$work/m/bench.ini"
  "$KS_TOOL" --bench "$work/m" bench card new --name other >/dev/null
  cp "$work/m/cards/other.mfd" "$work/other.mfd"
  start_card "$work/other.mfd"
  expect_failure KS_ERR_COMM "$(pcsc_tool m "${issue[@]}")" "another hotel's card"
  stop_cards
  cmp -s "$work/m/cards/other.mfd" "$work/other.mfd" || fail "another hotel's card was changed"
  # A Classic 4K card (SAK 18, 4096 bytes, card name 00 02 in its ATR).
  cp "$work/m/cards/card-1.mfd" "$work/big.mfd"
  head -c 3072 /dev/zero >>"$work/big.mfd"
  printf '\x18' | dd of="$work/big.mfd" bs=1 seek=5 conv=notrunc 2>/dev/null
  cp "$work/big.mfd" "$work/big-before.mfd"
  start_card "$work/big.mfd"
  expect_failure KS_ERR_NOT_MIFARE_1K "$(pcsc_tool m "${issue[@]}")" "4K card"
  stop_cards
  cmp -s "$work/big-before.mfd" "$work/big.mfd" || fail "the 4K card was changed"
  # A wrong PSC: refused, and the card's error counter down by exactly one.
  cp "$work/i/cards/card-1.sle4442" "$work/psc.sle4442"
  sed -i 's/^psc *=.*/psc = 010203/' "$work/psc.sle4442"
  start_card "$work/psc.sle4442"
  expect_failure KS_ERR_CARD_INVALID "$(pcsc_tool i "${issue[@]}")" "wrong PSC"
  stop_cards
  local tries
  tries=$(sed -n 's/^tries *= *//p' "$work/psc.sle4442")
  [ "$tries" = 2 ] && ok "wrong PSC cost exactly one try" || fail "wrong PSC: $tries tries left, expected 2"
  # No PC/SC service at all, and a reader named that is not attached.
  local env
  for env in "PCSCLITE_CSOCK_NAME=$work/no-such-socket" "KESTRANE_PCSC_MIFARE_READER=NoSuchReader KESTRANE_PCSC_SLE4442_READER=NoSuchReader"; do
    expect_failure KS_ERR_COMM "$(env $env "$KS_TOOL" --json --devices pcsc --config "$work/m/config.ini" "${issue[@]}" 2>/dev/null)" "Mifare, $env"
    expect_failure KS_ERR_OPEN_OR_NO_DEV "$(env $env "$KS_TOOL" --json --devices pcsc --config "$work/i/config.ini" read 2>/dev/null)" "SLE4442, $env"
  done
  # An empty reader: no card.
  expect_failure KS_ERR_COMM "$(pcsc_tool m "${issue[@]}")" "no card in the reader"
}

case_readers() {
  new_bench mifare m; new_bench ic i
  # The settings file beside the library: a private copy of the library.
  mkdir "$work/lib"
  cp "$(dirname "$KS_TOOL")/libkestrane_pcsc.so" "$work/lib/"
  export KESTRANE_PCSC_LIBRARY="$work/lib/libkestrane_pcsc.so"
  local issue=(issue guest --rooms 7 "${PERIOD[@]}")
  # setting (ini, environment), card in reader 0, card in reader 1, the one that must be written
  local row
  while IFS='|' read -r ini env c0 c1 written; do
    cp "$work/i/cards/card-1.sle4442" "$work/r0.sle4442"
    cp "$work/m/cards/card-1.mfd" "$work/r0.mfd"
    cp "$work/m/cards/card-2.mfd" "$work/r1.mfd"
    printf '[Readers]\nMifare = %s\n' "$ini" >"$work/lib/kestrane_pcsc.ini"
    [ -n "$ini" ] || rm "$work/lib/kestrane_pcsc.ini"
    start_card "$work/$c0" 35963
    start_card "$work/$c1" 35964
    local out
    out=$(env ${env:+KESTRANE_PCSC_MIFARE_READER="$env"} "$KS_TOOL" --json --devices pcsc --config "$work/m/config.ini" "${issue[@]}" 2>/dev/null)
    stop_cards
    local untouched=$c0
    [ "$written" = "$c0" ] && untouched=$c1
    local blank0=card-1 && [ "$written" = r1.mfd ] && blank0=card-2
    if [ "$(field ok <<<"$out")" = true ] && ! cmp -s "$work/$written" "$work/m/cards/$blank0.mfd" &&
       { cmp -s "$work/$untouched" "$work/m/cards/card-1.mfd" || cmp -s "$work/$untouched" "$work/m/cards/card-2.mfd" ||
         cmp -s "$work/$untouched" "$work/i/cards/card-1.sle4442"; }; then
      ok "ini '$ini', environment '$env': $written written, $untouched untouched"
    else
      fail "ini '$ini', environment '$env': expected $written written: $out"
    fi
  done <<'TABLE'
PCD 00 01||r0.mfd|r1.mfd|r1.mfd
pcd 00 01|Virtual PCD 00 00|r0.mfd|r1.mfd|r0.mfd
||r0.sle4442|r1.mfd|r1.mfd
TABLE
}

case_session() {
  new_bench ic i
  local card result serial
  coproc HOST { "$KS_HOST" "$work/i/config.ini"; }
  read -r result <&"${HOST[0]}"
  [ "$result" = 1 ] || fail "EncodeInit through PC/SC: $result"
  # Each card read in turn by the same open encoder: a swapped card must be
  # read at the first try, and never as the card before it.
  for card in card-1 card-2 card-1; do
    cp "$work/i/cards/$card.sle4442" "$work/s.sle4442"
    start_card "$work/s.sle4442"
    echo read >&"${HOST[1]}"
    read -r result serial <&"${HOST[0]}"
    stop_cards
    # The card's serial bytes and their check byte: memory bytes 60-63.
    local want
    want=$(bench_tool i bench card show "$card" | field memory | cut -c121-128)
    [ "$result" = 1 ] && [ "$serial" = "$want" ] && ok "$card read by the open encoder: $serial" ||
      fail "$card read by the open encoder: $result $serial, expected 1 $want"
  done
  exec {HOST[1]}>&-
  wait "$HOST_PID"
}

# One clear through the open host, paused at a step for the card in the
# reader to be swapped (another card put in) or re-seated (the same card
# taken out and put back). The cards read 90 00 to a write they ignored, as
# common contact readers do, so a write to a card no longer unlocked would
# pass for done. Each row: the clear fails, and every card is as it was:
# no PSC of one card presented to another, no try spent, nothing written.
case_midway() {
  new_bench ic i; new_bench mifare m
  bench_tool i issue guest --rooms 7 "${PERIOD[@]}" >/dev/null
  bench_tool m issue guest --rooms 7 "${PERIOD[@]}" >/dev/null
  local bench pause then ext what
  while IFS='|' read -r bench pause then what; do
    ext=sle4442 && [ "$bench" = m ] && ext=mfd
    cp "$work/$bench/cards/card-1.$ext" "$work/a.$ext"   # issued
    cp "$work/$bench/cards/card-2.$ext" "$work/b.$ext"   # blank
    cp "$work/a.$ext" "$work/a-before"; cp "$work/b.$ext" "$work/b-before"
    start_card "$work/a.$ext" 35963 --unchecked-writes
    coproc HOST { "$KS_HOST" "$work/$bench/config.ini"; }
    local result serial paused
    read -r result <&"${HOST[0]}"
    echo "pause $pause" >&"${HOST[1]}"
    echo clear >&"${HOST[1]}"
    read -r paused <&"${HOST[0]}"
    stop_cards
    start_card "$work/$then.$ext" 35963 --unchecked-writes
    echo go >&"${HOST[1]}"
    read -r result serial <&"${HOST[0]}"
    exec {HOST[1]}>&-
    wait "$HOST_PID"
    stop_cards
    if [ "$paused" = "paused ${pause% *}" ] && [ "$result" != 1 ] &&
       cmp -s "$work/a.$ext" "$work/a-before" && cmp -s "$work/b.$ext" "$work/b-before"; then
      ok "$what: the clear failed ($result), every card as it was"
    else
      fail "$what: $paused, clear answered $result; card A $(cmp -s "$work/a.$ext" "$work/a-before" || echo changed)," \
           "card B $(cmp -s "$work/b.$ext" "$work/b-before" || echo "changed ($(grep tries "$work/b.$ext"))")"
    fi
  done <<'TABLE'
i|csc_4442 1|b|SLE4442 swapped between the read and the PSC compare
i|srd_4442 3|a|SLE4442 re-seated between the PSC compare and the read before the write
i|swr_4442 1|a|SLE4442 re-seated between the PSC compare and the write
m|RC500_232_write 1|a|Mifare re-seated between the authentication and the write
TABLE
}

# kestrane-server with a PC/SC encoder (KS_SERVER): a guest card issued, read
# and cleared over HTTP is, byte for byte, the card the tool's bench path
# writes for the same request.
case_server() {
  : "${KS_SERVER:?}"
  new_bench mifare mifare
  local card="$work/mifare/cards/card-1.mfd" vcard="$work/v.mfd" port=28443 server_pid
  cp "$card" "$vcard"
  start_card "$vcard"
  mkdir -p "$work/site"
  cat >"$work/site/site.toml" <<SITE
[[listen]]
address = "127.0.0.1"
port = $port
[[encoder]]
id = "front"
devices = "pcsc"
config = "$work/mifare/config.ini"
reader = "$READER0"
[rooms]
"101" = [101]
SITE
  local token
  token=$("$KS_SERVER" token add t --role manager --config "$work/site/site.toml" | sed -n 's/^token: //p')
  "$KS_SERVER" run --config "$work/site/site.toml" 2>"$work/server.log" &
  server_pid=$!
  local pms_token
  pms_token=$("$KS_SERVER" token add p --role pms --config "$work/site/site.toml" | sed -n 's/^token: //p')
  post() {  # post PATH TOKEN [JSON]: the answer's JSON
    /usr/bin/python3 - "$port" "$@" <<'PY'
import json, sys, urllib.request
port, path, token = sys.argv[1:4]
body = sys.argv[4].encode() if len(sys.argv) > 4 else b""
req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method="POST",
                             headers={"Authorization": "Bearer " + token, "Content-Type": "application/json",
                                      "x-app-key": "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0"})
for _ in range(100):
    try:
        print(urllib.request.urlopen(req, timeout=30).read().decode())
        break
    except urllib.error.URLError as e:
        if hasattr(e, "read"):
            print(e.read().decode())
            break
        __import__("time").sleep(0.1)
PY
  }
  local out
  local api=/v1/encoders/front
  out=$(post $api/cards "$token" '{"kind":"guest","rooms":["101"],"start":"2026-03-01T14:00","end":"2026-03-03T12:00"}')
  bench_tool mifare issue guest --rooms 101 "${PERIOD[@]}" >/dev/null
  [ "$(field state <<<"$out")" = ok ] && cmp -s "$card" "$vcard" && ok "server: guest card through PC/SC" ||
    fail "server: guest card through PC/SC: $out; $(cat "$work/server.log")"
  out=$(post $api/read "$token")
  [ "$(field state <<<"$out")" = ok ] && grep -q '"rooms":\[101' <<<"$out" && ok "server: read" || fail "server: read: $out"
  out=$(post $api/clear "$token")
  bench_tool mifare clear >/dev/null
  [ "$(field state <<<"$out")" = ok ] && cmp -s "$card" "$vcard" && ok "server: clear" || fail "server: clear: $out"
  # OPERA Cloud's call: a new key is a guest card with the option flag.
  out=$(post /fof/v1/hotels/HOTEL1/roomKeysOutbound "$pms_token" '{"keyType":"New","encoderId":"front",
    "encoderTerminal":"FD1","roomKeyType":"HardKey","keyUserType":"Guest","keyRequestTime":"2026-03-01T13:00:00Z",
    "roomId":"101","keyValidityStart":"2026-03-01T14:00:00Z","keyValidityEnd":"2026-03-03T12:00:00Z"}')
  bench_tool mifare issue guest --rooms 101 "${PERIOD[@]}" --option >/dev/null
  [ "$(field responseCode <<<"$out")" = OK ] && cmp -s "$card" "$vcard" && ok "server: OPERA Cloud key through PC/SC" ||
    fail "server: OPERA Cloud key through PC/SC: $out"
  kill "$server_pid"
  wait "$server_pid" || fail "server: did not stop cleanly on SIGTERM"
}

"case_$case_name"
echo "$failures failed"
[ "$failures" = 0 ]
