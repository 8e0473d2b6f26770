#!/usr/bin/env bash
# Checks what Kestrane.dll (or Kestrane64.dll) needs from a front-desk PC and what it offers:
# - it imports only Windows system DLLs, msvcrt and the five vendor DLLs (no
#   mingw runtime such as libgcc, libstdc++ or libwinpthread);
# - CP2101.dll is imported by ordinal only (the vendor DLL has no names);
# - it exports exactly the 25 functions, under their plain names.
# Usage: check_imports.sh <objdump> <Kestrane.dll>
set -euo pipefail
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")
fail=0

allowed="kernel32.dll user32.dll advapi32.dll msvcrt.dll mwic_32.dll clsic32.dll rc500_232.dll ibfs32.dll cp2101.dll"
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
for name in $imports; do
    lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    case " $allowed " in
        *" $lower "*) ;;
        *) echo "FAIL: imports $name, which a front-desk PC need not have"; fail=1 ;;
    esac
done
echo "imports: $(echo $imports)"

# Entries of the CP2101 import block: "<vma> <hint/ordinal> <name>"; by-ordinal
# entries carry no member name ("<none>").
cp2101=$(printf '%s\n' "$dump" | awk '
    /DLL Name:/ { inblock = (tolower($3) == "cp2101.dll"); next }
    inblock && /^[[:space:]]*$/ { inblock = 0 }
    inblock && /^[[:space:]]*[0-9a-fA-F]+[[:space:]]+[0-9]+/ { print }')
if [ -n "$cp2101" ]; then
    if printf '%s\n' "$cp2101" | grep -v '<none>' | grep -q .; then
        echo "FAIL: CP2101.dll imported by name:"
        printf '%s\n' "$cp2101" | grep -v '<none>'
        fail=1
    fi
fi

expected="ClearCardData Des2 EncodeExit EncodeInit M1_ReadSn MakeBuildingCard MakeChiefCard \
MakeCleanDistrictCard MakeDataCard MakeEmergentCard MakeFloorCard MakeGuestCard MakeGuestLeaveCard \
MakeInstallCard MakeLongOpenCard MakeLostCard MakeSealCard MakeTimeCard PDA_SetRoomNumber \
PDA_SetTime ReadCard ReadDataCard ReadOneOpenDoorRecord ReadSystemPas TM_ReadSn"
exports=$(printf '%s\n' "$dump" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { intable = 1; next }
    intable && /^[[:space:]]*\[ *[0-9]+\]/ { sub(/^[[:space:]]*\[ *[0-9]+\][[:space:]]*/, ""); print; next }
    intable { intable = 0 }' | tr -d '\r' | LC_ALL=C sort)
want=$(printf '%s\n' $expected | LC_ALL=C sort)
if [ "$exports" != "$want" ]; then
    echo "FAIL: exports differ from the 25 plain names:"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$exports") || true
    fail=1
fi
echo "exports: $(printf '%s\n' "$exports" | wc -l)"

exit $fail
