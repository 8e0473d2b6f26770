#!/usr/bin/env bash
# The Debian packages as a new user meets them (as root, on Debian 12):
# builds the `package` preset, makes the .debs, checks what each holds and
# needs, builds a program against the unpacked development package, then in
# a clean Debian 12 root (debootstrap --variant=minbase) installs the tool
# and the library with apt-get, issues and reads a card on a new bench,
# purges them and checks that nothing is left; then installs the server
# package there, whose user serves a card on a new site over HTTP, and purges
# it with its user and state folder.
#   bash scripts/package-test.sh        (about 3 minutes, most of it the build)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$(pwd)
fail() { echo "package-test: $*" >&2; exit 1; }
command -v debootstrap >/dev/null || bash scripts/setup.sh

work=$(mktemp -d)
root=$work/root
cleanup() {
  mountpoint -q "$root/proc" 2>/dev/null && umount "$root/proc"
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

echo "== build (preset package: RelWithDebInfo, prefix /usr)"
cmake --preset package >/dev/null
cmake --build --preset package -j2 >/dev/null
(cd build/package && cpack -B "$work/packages" >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
arch=$(dpkg --print-architecture) multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$multiarch
deb() { echo "$work/packages/${1}_${version}_$arch.${2:-deb}"; }

echo "== contents and dependencies"
# The packages made: exactly these (a kestrane-server only with the server
# built; an install rule without a component would add one more).
expected="kestrane kestrane-dbgsym libkestrane-dev libkestrane1 libkestrane1-dbgsym"
[ -d server ] && [ -f build/package/server/Makefile ] && expected="$expected kestrane-server kestrane-server-dbgsym"
made=$(for f in "$work"/packages/*.deb "$work"/packages/*.ddeb; do dpkg-deb -f "$f" Package; done | sort | xargs)
[ "$made" = "$(xargs -n1 <<<"$expected" | sort | xargs)" ] || fail "packages made: $made; expected: $expected"

# package | a file it holds | a dependency it names
while IFS='|' read -r package file depends; do
  [ -n "$package" ] || continue
  listing=$(dpkg-deb -c "$(deb "$package")" | awk '{ print $6 }')
  grep -qx "./$file" <<<"$listing" || fail "$package lacks /$file"
  dpkg-deb -f "$(deb "$package")" Depends | grep -qF -- "$depends" || fail "$package does not depend on $depends"
done <<EOF
libkestrane1|$lib/libkestrane.so.1|libc6
libkestrane1|$lib/libkestrane_pcsc.so.1|libpcsclite1
libkestrane-dev|$lib/libkestrane.so|libkestrane1 (= $version)
libkestrane-dev|usr/include/kestrane.h|libkestrane1 (= $version)
libkestrane-dev|$lib/pkgconfig/kestrane.pc|libkestrane1 (= $version)
libkestrane-dev|$lib/cmake/Kestrane/KestraneConfig.cmake|libkestrane1 (= $version)
kestrane|usr/bin/kestrane|libkestrane1 (= $version)
kestrane|$lib/kestrane/bench/libkestrane_bench.so|libstdc++6
EOF
# Development files only in -dev, runtime files only in libkestrane1, no
# library outside the multiarch folder.
for f in "$work"/packages/*.deb; do
  p=$(dpkg-deb -f "$f" Package) listing=$(dpkg-deb -c "$f" | awk '{ print $6 }')
  if grep -E "^\./usr/lib/[^/]+\.so|^\./usr/lib/lib" <<<"$listing"; then fail "$p has a library outside $lib"; fi
  if [ "$p" != libkestrane-dev ] && grep -E '\.so$|^\./usr/include/|pkgconfig/|cmake/' <<<"$listing" | grep -v /kestrane/bench/; then
    fail "$p holds development files"
  fi
  if [ "$p" != libkestrane1 ] && grep -E "^\./$lib/libkestrane[^/]*\.so\.[0-9]" <<<"$listing"; then fail "$p holds the runtime library"; fi
done
grep -q '^libkestrane 1 libkestrane1' <(dpkg-deb --ctrl-tarfile "$(deb libkestrane1)" | tar -xO ./shlibs) ||
  fail "libkestrane1 has no shlibs entry for libkestrane.so.1"

# Stripped, with the debug information in -dbgsym under the same build id.
unpacked=$work/unpacked
for p in libkestrane1 libkestrane-dev kestrane; do dpkg-deb -x "$(deb "$p")" "$unpacked"; done
for elf in "$unpacked/usr/bin/kestrane" "$unpacked/$lib/libkestrane.so.1" "$unpacked/$lib/libkestrane_pcsc.so.1" \
           "$unpacked/$lib/kestrane/bench/libkestrane_bench.so"; do
  sections=$(readelf -S -W "$elf")
  if grep -qE '\.debug_info|\.symtab' <<<"$sections"; then fail "$elf is not stripped"; fi
  id=$(readelf -n "$elf" | awk '/Build ID/ { print $3 }')
  p=$([ "${elf#*/usr/bin/}" = "$elf" ] && [ "${elf#*/bench/}" = "$elf" ] && echo libkestrane1 || echo kestrane)
  debug_files=$(dpkg-deb -c "$(deb "$p-dbgsym" ddeb)")
  grep -q "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" <<<"$debug_files" ||
    fail "$p-dbgsym has no debug file for $(basename "$elf") (build id $id)"
done

echo "== a program built against the unpacked development package"
vector=$(grep -v '^#' tests/vectors/des.txt | awk -F'|' 'NF == 2 { print; exit }')
data=${vector%%|*} want=${vector#*|}
export PKG_CONFIG_PATH=$unpacked/$lib/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/consumer" tests/install/consumer.c $(pkg-config --cflags --libs kestrane kestrane-bench)
LD_LIBRARY_PATH=$unpacked/$lib "$work/consumer" "$data" "$want"
unset PKG_CONFIG_PATH

echo "== a clean Debian 12 root (debootstrap --variant=minbase)"
# The mirror this machine's apt uses (one-line or deb822 sources).
mirror=$( { sed -E 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk '$1 == "deb" && $3 == "bookworm" { print $2 }'
          cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
            function stanza() { if (deb && suite) print uri; deb = suite = 0; uri = "" }
            /^[ \t]*$/ { stanza(); next }
            /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            /^URIs:/ { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") suite = 1 }
            END { stanza() }'; } | head -n 1)
[ -n "$mirror" ] || fail "no bookworm mirror in /etc/apt/sources.list or sources.list.d"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# adduser: the server package depends on it; its scripts are run below.
in_root apt-get install -y -qq adduser >/dev/null

# Everything in the root but apt's and dpkg's own bookkeeping and logs.
snapshot() {
  in_root sh -c 'find / -xdev \( -path /proc -o -path /var/cache/apt -o -path /var/lib/apt -o -path /var/lib/dpkg \
                    -o -path /var/log -o -path /tmp \) -prune -o -print | sort'
  in_root sh -c 'find /etc /usr /var/lib -xdev -path /var/lib/dpkg -prune -o -path /var/lib/apt -prune -o -type f -print0 |
                 xargs -0 md5sum | sort -k 2'
}
snapshot >"$work/before"

cp "$(deb kestrane)" "$(deb libkestrane1)" "$root/tmp/"
(cd "$root/tmp" && in_root sh -c "cd /tmp && apt-get install -y -qq ./kestrane_*.deb ./libkestrane1_*.deb" >/dev/null)
in_root kestrane bench init --medium mifare /tmp/bench >/dev/null
in_root kestrane --bench /tmp/bench issue guest --rooms 101 --start "2026-03-01 14:00" --end "2026-03-03 12:00" >/dev/null
card=$(in_root kestrane --bench /tmp/bench --json read)
grep -q '"kind":"guest"' <<<"$card" || fail "the installed tool did not read back the guest card"
installed_kb=$(in_root dpkg-query -W -f='${Installed-Size} ' kestrane libkestrane1)
# Removal takes what they pulled in too; purge then has nothing of theirs
# left to take (no conffiles), which dpkg says and accepts.
in_root apt-get remove -y -qq --autoremove kestrane libkestrane1 >/dev/null
in_root dpkg --purge kestrane libkestrane1 >/dev/null 2>&1
rm -rf "$root/tmp/bench" "$root"/tmp/*.deb
snapshot >"$work/after"
diff "$work/before" "$work/after" >&2 || fail "purging the packages left the root changed (above: < before, > after)"

if [[ " $expected " = *" kestrane-server "* ]]; then
  echo "== kestrane-server: install, serve a card, remove, purge"
  accounts() { in_root sh -c 'cat /etc/passwd /etc/group /etc/shadow /etc/gshadow'; }
  accounts >"$work/accounts"
  cp "$(deb kestrane)" "$(deb libkestrane1)" "$(deb kestrane-server)" "$root/tmp/"
  in_root sh -c "cd /tmp && apt-get install -y -qq ./kestrane_*.deb ./libkestrane1_*.deb ./kestrane-server_*.deb" \
    >/dev/null || fail "kestrane-server did not install"
  entry=$(in_root getent passwd kestrane) || fail "no kestrane user after installing kestrane-server"
  uid=$(cut -d: -f3 <<<"$entry") shell=$(cut -d: -f7 <<<"$entry")
  [ "$uid" -lt 1000 ] && [ "$shell" = /usr/sbin/nologin ] || fail "kestrane is not a system user: $entry"
  [ "$(in_root stat -c %U:%a /var/lib/kestrane-server)" = kestrane:750 ] || fail "state folder not kestrane's, mode 750"
  in_root test -f /lib/systemd/system/kestrane-server.service || fail "no systemd unit"
  # The service's user makes a site in its state folder and serves it; a
  # card is issued over HTTP (bash's /dev/tcp: minbase has no HTTP client).
  as_kestrane() { in_root setpriv --reuid=kestrane --regid=kestrane --init-groups "$@"; }
  token=$(as_kestrane kestrane-server init /var/lib/kestrane-server/site --encoders 1 | sed -n 's/^token: //p')
  as_kestrane sh -c 'kestrane-server run --config /var/lib/kestrane-server/site/site.toml >/tmp/server.log 2>&1 &
                     echo $! >/tmp/server.pid'
  body='{"kind":"guest","rooms":["101"],"start":"2026-03-01T14:00","end":"2026-03-03T12:00"}'
  answer=""
  for _ in $(seq 50); do
    answer=$(in_root bash -c "exec 3<>/dev/tcp/127.0.0.1/8443 && printf 'POST /v1/encoders/desk1/cards HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s' '$token' ${#body} '$body' >&3 && cat <&3" 2>/dev/null) && break
    sleep 0.2
  done
  in_root sh -c 'kill "$(cat /tmp/server.pid)"; for i in $(seq 50); do kill -0 "$(cat /tmp/server.pid)" 2>/dev/null || exit 0; sleep 0.1; done; exit 1' ||
    fail "the installed server did not stop on SIGTERM"
  grep -q '^HTTP/1.1 201' <<<"$answer" && grep -q '"state":"ok"' <<<"$answer" ||
    fail "the installed server did not issue the card: ${answer:-no answer}; log: $(cat "$root/tmp/server.log")"
  in_root kestrane --bench /var/lib/kestrane-server/site/desk1 --json read | grep -q '"kind":"guest"' ||
    fail "the card the installed server wrote does not read back as a guest card"
  in_root apt-get remove -y -qq kestrane-server >/dev/null
  in_root getent passwd kestrane >/dev/null || fail "removal (not purge) took the kestrane user"
  in_root dpkg --purge kestrane-server >/dev/null 2>&1
  in_root apt-get remove -y -qq --autoremove kestrane libkestrane1 >/dev/null
  in_root dpkg --purge kestrane libkestrane1 >/dev/null 2>&1
  accounts | diff "$work/accounts" - >&2 || fail "purge left accounts behind"
  [ ! -e "$root/var/lib/kestrane-server" ] || fail "purge left /var/lib/kestrane-server"
fi

echo "== installed sizes (KiB): kestrane libkestrane1 = $installed_kb"
echo "package-test: the Debian packages of Kestrane $version are as expected"
