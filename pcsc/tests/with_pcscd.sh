#!/usr/bin/env bash
# with_pcscd.sh COMMAND...: runs COMMAND with a pcscd that serves vsmartcard's
# virtual reader (vpcd: "Virtual PCD 00 00" on TCP 35963, "Virtual PCD 00 01"
# on 35964, both on localhost).
#
# A pcscd already running is used as it is (only one pcscd can own
# /run/pcscd's socket). Otherwise one is started in the foreground with a
# private reader configuration (only the vpcd reader, nothing from
# /etc/reader.conf.d), and stopped again by its process id when COMMAND ends.
# The exit status is COMMAND's.
set -euo pipefail
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
started=""
work=""
cleanup() {
  if [ -n "$started" ]; then
    kill "$started" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$started" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$started" 2>/dev/null || true
  fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

vpcd_listens() { grep -q ':8C7B [0-9A-F:]* 0A' /proc/net/tcp /proc/net/tcp6 2>/dev/null; }

if pidof pcscd >/dev/null; then
  # Port 35963 (0x8C7B) in LISTEN state (0A): its vpcd reader waits for a card.
  if ! vpcd_listens; then
    echo "with_pcscd: a pcscd (pid $(pidof pcscd)) runs without the vpcd reader; restart it so it reads" \
         "/etc/reader.conf.d/vpcd, or stop it and let this script start its own" >&2
    exit 1
  fi
  echo "with_pcscd: using the pcscd already running (pid $(pidof pcscd))" >&2
elif [ ! -x /usr/sbin/pcscd ] || [ ! -f "$driver" ]; then
  echo "with_pcscd: pcscd or vsmartcard-vpcd is not installed (scripts/setup.sh installs them)" >&2
  exit 1
else
  work=$(mktemp -d)
  cat >"$work/vpcd" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      $driver
CHANNELID    0x8C7B
CONF
  /usr/sbin/pcscd --foreground --config "$work" >"$work/pcscd.log" 2>&1 &
  started=$!
  # Ready when the vpcd reader listens for its virtual card; connecting to
  # find out would look like a card.
  for _ in $(seq 100); do
    if vpcd_listens; then break; fi
    if ! kill -0 "$started" 2>/dev/null; then
      cat "$work/pcscd.log" >&2
      started=""
      exit 1
    fi
    sleep 0.1
  done
  echo "with_pcscd: started pcscd (pid $started)" >&2
fi
status=0
"$@" || status=$?
exit "$status"
