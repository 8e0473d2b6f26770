#!/usr/bin/env bash
# The PC/SC drop-in DLLs export exactly the vendor functions of their .def
# file (src/media/vendor/), under the plain stdcall names, and need nothing a
# kiosk PC lacks: Windows system DLLs (winscard.dll among them) and msvcrt.
# Usage: check_exports.sh <objdump> <vendor .def folder> <RC500_232.dll> <MWIC_32.dll>
set -uo pipefail
objdump=$1
defs=$2
shift 2
fail=0
allowed="kernel32.dll user32.dll advapi32.dll msvcrt.dll winscard.dll"
for dll in "$@"; do
  name=$(basename "$dll" .dll)
  dump=$("$objdump" -p "$dll")
  want=$(sed -n 's/^[[:space:]]\+\([A-Za-z0-9_]\+\)@[0-9]\+.*/\1/p' "$defs/$name.def" | LC_ALL=C sort)
  exports=$(printf '%s\n' "$dump" | awk '
      /\[Ordinal\/Name Pointer\] Table/ { intable = 1; next }
      intable && /^[[:space:]]*\[ *[0-9]+\]/ { sub(/^[[:space:]]*\[ *[0-9]+\][[:space:]]*/, ""); print; next }
      intable { intable = 0 }' | tr -d '\r' | LC_ALL=C sort)
  if [ -z "$want" ] || [ "$exports" != "$want" ]; then
    echo "FAIL: $name.dll exports differ from $name.def:"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$exports")
    fail=1
  fi
  imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r' | tr 'A-Z' 'a-z')
  for lib in $imports; do
    case " $allowed " in *" $lib "*) ;; *) echo "FAIL: $name.dll imports $lib"; fail=1 ;; esac
  done
  case " $(echo $imports) " in *" winscard.dll "*) ;; *) echo "FAIL: $name.dll does not import winscard.dll"; fail=1 ;; esac
  echo "$name.dll: $(printf '%s\n' "$exports" | wc -l) exports; imports $(echo $imports)"
done
exit $fail
