#!/usr/bin/env bash
# How this machine runs 32-bit x86 programs (32-bit Wine, KestraneHost32.exe):
# natively, or through qemu-i386 registered with binfmt_misc where the kernel
# cannot (a hypervisor without 32-bit compatibility mode).
#
#   i386.sh ensure    make 32-bit programs run: nothing where they already do;
#                     else install a qemu-user that is new enough and register
#                     it for i386 ELF files. Idempotent.
#   i386.sh describe  one line: how 32-bit programs run here, or what is
#                     missing (exit status 1 then)
#   i386.sh remove    unregister our handler (what a forced run registered)
#
# KESTRANE_EMULATE_I386=1 forces the emulated path on a machine that runs
# 32-bit code itself: a binfmt_misc handler is consulted before the kernel's
# own ELF loader, so every i386 program then goes through qemu. The run that
# forced it removes the handler again (scripts/test.sh does).
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
handler=kestrane-i386
qemu=/usr/bin/qemu-i386-static
# qemu before 8.1 takes MAP_FIXED_NOREPLACE as a hint: Wine's start-up then
# spends a minute in mmap/munmap and fails to map its shared user data.
min_major=8 min_minor=1

# A complete i386 ELF program of 96 bytes: exit(42) through int 0x80. Running
# it is the only sure test; the CPU and the kernel's name say nothing of what
# a hypervisor allows.
probe_program='f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhgAAAAYAAAAAUAAAAAEAAAuAEAAAC7KgAAAM2A'

runs_i386() {
  local f rc=0
  f=$(mktemp "${TMPDIR:-/tmp}/kestrane-i386-probe.XXXXXX")
  printf '%s' "$probe_program" | base64 -d >"$f"
  chmod +x "$f"
  "$f" 2>/dev/null || rc=$?
  rm -f "$f"
  [ "$rc" -eq 42 ]
}

# The enabled binfmt_misc entry that takes i386 ELF files, if any (ours or
# one a package registered): its interpreter path.
i386_interpreter() {
  [ -d "$binfmt" ] && [ -e "$binfmt/status" ] || return 1
  local e
  for e in "$binfmt"/*; do
    [ -f "$e" ] && [ "$(basename "$e")" != status ] && [ "$(basename "$e")" != register ] || continue
    grep -qx enabled "$e" || continue
    # i386 ELF magic: class 1 (32-bit), machine 3 (x86) at offset 18.
    grep -q '^magic 7f454c4601010100000000000000000002000300' "$e" || continue
    sed -n 's/^interpreter //p' "$e"
    return 0
  done
  return 1
}

qemu_version() { "$1" --version 2>/dev/null | sed -n '1s/.*version \([0-9][0-9.]*\).*/\1/p'; }

version_ok() {
  local major minor
  IFS=. read -r major minor _ <<<"$1"
  [ -n "$major" ] && { [ "$major" -gt "$min_major" ] || { [ "$major" -eq "$min_major" ] && [ "${minor:-0}" -ge "$min_minor" ]; }; }
}

describe() {
  if runs_i386; then
    local interp
    if interp=$(i386_interpreter); then
      echo "32-bit x86 programs run through qemu-i386 $(qemu_version "$interp") ($interp, binfmt_misc)"
    else
      echo "32-bit x86 programs run natively"
    fi
    return 0
  fi
  local why="this kernel does not run 32-bit x86 programs"
  if [ "$(id -u)" -ne 0 ]; then
    why+=", and without root no emulator can be installed or registered (run scripts/setup.sh as root)"
  elif [ ! -e "$binfmt/status" ]; then
    why+=", and binfmt_misc is not available to register qemu-i386 (mount -t binfmt_misc binfmt_misc $binfmt failed)"
  elif [ ! -x "$qemu" ]; then
    why+=", and qemu-user-static (>= $min_major.$min_minor) is not installed (scripts/setup.sh installs it)"
  elif ! version_ok "$(qemu_version "$qemu")"; then
    why+=", and $qemu is $(qemu_version "$qemu"), older than $min_major.$min_minor (Wine does not start under it)"
  else
    why+=", and the qemu-i386 handler is not registered with binfmt_misc"
  fi
  echo "$why: the Windows suites cannot run"
  return 1
}

mount_binfmt() {
  [ -e "$binfmt/status" ] && return 0
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null
}

# The backports suite of this machine's Debian, from the machine's own source
# entry (its mirror, its keyring): no registry is named here.
enable_backports() {
  local codename list
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "i386: cannot tell the Debian release" >&2; return 1; }
  if grep -rqsE "^[^#]*\\b${codename}-backports\\b" /etc/apt/sources.list /etc/apt/sources.list.d/; then return 0; fi
  list=/etc/apt/sources.list.d/kestrane-backports.sources
  local uri keyring
  # deb822 entries first, then one-line entries.
  uri=$(awk -v c="$codename" '
      /^URIs:/ { u = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == c) s = 1 }
      /^Signed-By:/ { k = $2 }
      /^$/ { if (s && u != "") { print u "|" k; exit } u = ""; s = 0; k = "" }
      END { if (s && u != "") print u "|" k }' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk -v c="$codename" '$1 == "deb" && $0 !~ /^#/ { for (i = 2; i <= NF; i++) if ($i == c) { u = ($2 ~ /^\[/) ? $3 : $2; print u "|"; exit } }' \
            /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || { echo "i386: no Debian source entry for $codename to take the mirror from" >&2; return 1; }
  keyring=${uri#*|}
  uri=${uri%%|*}
  {
    echo "Types: deb"
    echo "URIs: $uri"
    echo "Suites: ${codename}-backports"
    echo "Components: main"
    [ -n "$keyring" ] && echo "Signed-By: $keyring"
  } >"$list"
  echo "i386: enabled ${codename}-backports from $uri"
}

install_qemu() {
  if [ -x "$qemu" ] && version_ok "$(qemu_version "$qemu")"; then return 0; fi
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  enable_backports
  # Always read the lists again: an entry written by an earlier run whose
  # update failed would otherwise leave the suite unknown to apt.
  apt-get update -qq
  echo "i386: installing qemu-user-static from ${codename}-backports"
  # Only the static emulator: binfmt-support or systemd would otherwise register
  # handlers of their own for every architecture.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -t "${codename}-backports" qemu-user-static >/dev/null
  version_ok "$(qemu_version "$qemu")" || {
    echo "i386: $qemu is $(qemu_version "$qemu"), older than $min_major.$min_minor" >&2
    return 1
  }
}

register() {
  mount_binfmt || { echo "i386: binfmt_misc cannot be mounted at $binfmt" >&2; return 1; }
  local interp
  if interp=$(i386_interpreter); then
    # Already taken by a qemu new enough (ours from an earlier run, or a package's).
    if version_ok "$(qemu_version "$interp")"; then return 0; fi
    echo "i386: the registered handler $interp is too old; replacing it" >&2
    local e
    for e in "$binfmt"/*; do
      grep -q "^interpreter $interp\$" "$e" 2>/dev/null && echo -1 >"$e"
    done
  fi
  # F: the kernel opens the interpreter now, so the handler works inside any
  # mount namespace and chroot later.
  printf '%s' ":$handler:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
    >"$binfmt/register"
  echo "i386: registered $qemu for i386 ELF files"
}

ensure() {
  if [ "${KESTRANE_EMULATE_I386:-}" != 1 ] && runs_i386; then return 0; fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "i386: 32-bit programs do not run here and only root can install and register qemu-i386" >&2
    return 1
  fi
  install_qemu
  register
  runs_i386 || { echo "i386: the i386 test program still does not run through $qemu" >&2; return 1; }
}

remove() {
  if [ -e "$binfmt/$handler" ]; then
    echo -1 >"$binfmt/$handler"
    echo "i386: removed the $handler handler"
  fi
}

case "${1:-}" in
  ensure) ensure ;;
  describe) describe ;;
  remove) remove ;;
  *) echo "usage: $0 ensure|describe|remove" >&2; exit 2 ;;
esac
