#!/usr/bin/env bash
# What an integrator gets: installs the build tree into an empty prefix,
# checks the files it holds, builds programs against the installed tree (not
# the build tree) and runs them, runs the installed tool on a bench, then
# makes the packages and checks what they hold.
#   check_install.sh native|win32 BUILD_DIR SOURCE_DIR [CROSS_PREFIX]
#   check_install.sh win64 BUILD_DIR SOURCE_DIR CROSS_PREFIX WIN32_BUILD_DIR
# (win64: the 64-bit bridge's files, and the zip the win32 build makes with
# them beside Kestrane.dll.)
set -euo pipefail
platform=$1 build=$(cd "$2" && pwd) source=$(cd "$3" && pwd) cross=${4:-} win32_build=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

# The Des2 known answer every consumer checks: the first "data | result"
# line of the vector file.
vector=$(grep -v '^#' "$source/tests/vectors/des.txt" | awk -F'|' 'NF == 2 { print; exit }')
data=${vector%%|*} expected=${vector#*|}
[ -n "$vector" ] || fail "no Des2 vector in tests/vectors/des.txt"

expect_files() {  # every named file exists in the tree
  local root=$1; shift
  for f in "$@"; do [ -e "$root/$f" ] || fail "missing from $(basename "$root"): $f"; done
}
listing_has() {   # every name appears in a package listing
  local listing=$1 what=$2; shift 2
  for f in "$@"; do grep -q -- "$f\$" <<<"$listing" || fail "$what lacks $f"; done
}

if [ "$platform" = native ]; then
  files=(lib/libkestrane.so lib/libkestrane.so.1 "lib/libkestrane.so.$version" include/kestrane.h
         lib/pkgconfig/kestrane.pc lib/pkgconfig/kestrane-bench.pc lib/cmake/Kestrane/KestraneConfig.cmake
         lib/cmake/Kestrane/KestraneConfigVersion.cmake bin/kestrane lib/kestrane/bench/libkestrane_bench.so
         share/doc/kestrane/README.md share/doc/kestrane/tool.md
         lib/libkestrane_pcsc.so lib/libkestrane_pcsc.so.1 lib/pkgconfig/kestrane-pcsc.pc)
  expect_files "$prefix" "${files[@]}"
  # The bench provides the vendor functions; it must not sit where the
  # loader finds a device library by default.
  [ -z "$(find "$prefix/lib" -maxdepth 1 -name 'libkestrane_bench*')" ] || fail "the bench library is in lib/"

  # C, through pkg-config.
  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
  [ "$(pkg-config --modversion kestrane)" = "$version" ] || fail "pkg-config reports another version"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror -o "$work/consumer_c" "$source/tests/install/consumer.c" \
     $(pkg-config --cflags --libs kestrane kestrane-bench)
  LD_LIBRARY_PATH=$prefix/lib "$work/consumer_c" "$data" "$expected"

  # C++, through find_package(Kestrane).
  cmake -S "$source/tests/install/cmake_consumer" -B "$work/cmake_consumer" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER_LAUNCHER= >/dev/null
  cmake --build "$work/cmake_consumer" >/dev/null
  "$work/cmake_consumer/consumer" "$data" "$expected"

  # The installed tool finds its library and the bench by itself.
  tool=$prefix/bin/kestrane
  "$tool" bench init --medium mifare "$work/bench" >/dev/null
  "$tool" --bench "$work/bench" issue guest --rooms 101 --start "2026-03-01 14:00" --end "2026-03-03 12:00" >/dev/null
  "$tool" --bench "$work/bench" --json read | grep -q '"kind":"guest"' || fail "installed tool did not read back the guest card"

  # The tarball holds the same tree, stripped. (The Debian packages come
  # from the package preset, configured for /usr: scripts/package-test.sh.)
  (cd "$build" && cpack -B "$work/packages" >/dev/null)
  tarball=$work/packages/Kestrane-$version-Linux.tar.gz
  [ -f "$tarball" ] || fail "no $(basename "$tarball")"
  listing_has "$(tar -tzf "$tarball")" "$(basename "$tarball")" "${files[@]}"
  mkdir -p "$work/unpacked" && tar -xzf "$tarball" -C "$work/unpacked"
  sections=$(readelf -S -W "$work/unpacked/Kestrane-$version-Linux/bin/kestrane")
  if grep -qE '\.debug_info|\.symtab' <<<"$sections"; then fail "the tarball's tool is not stripped"; fi
elif [ "$platform" = win32 ]; then
  files=(bin/Kestrane.dll bin/kestrane.exe bin/KestraneBench.dll lib/libKestrane.dll.a lib/Kestrane.def
         include/kestrane.h bin/bench/README.txt share/doc/kestrane/README.md
         bin/pcsc/RC500_232.dll bin/pcsc/MWIC_32.dll)
  facades=(MWIC_32.dll RC500_232.dll clsic32.dll IBFS32.dll CP2101.dll)
  expect_files "$prefix" "${files[@]}" "${facades[@]/#/bin/bench/}"
  # DLLs with the vendor libraries' names: the bench's facades only under
  # bin/bench/, the PC/SC drop-ins only under bin/pcsc/, never beside
  # Kestrane.dll, and no PC/SC drop-in is a facade.
  for f in "${facades[@]}"; do
    found=$(find "$prefix" -iname "$f" | grep -v -e "^$prefix/bin/bench/" -e "^$prefix/bin/pcsc/" || true)
    [ -z "$found" ] || fail "a vendor-named DLL outside bin/bench and bin/pcsc: $found"
    if [ -e "$prefix/bin/pcsc/$f" ] && cmp -s "$prefix/bin/pcsc/$f" "$prefix/bin/bench/$f"; then
      fail "bin/pcsc/$f is the bench's facade"
    fi
  done

  # The version resource, as Windows reads it.
  "${cross}gcc" -o "$work/version_info.exe" "$source/tests/install/version_info.c" -lversion
  info=$(wine "$work/version_info.exe" "$prefix/bin/Kestrane.dll" | tr -d '\r')
  for want in "CompanyName=Kestrane" "ProductName=Kestrane" "FileVersion=$version" "ProductVersion=$version" \
              "OriginalFilename=Kestrane.dll" "Fixed=$version.0"; do
    grep -qx -- "$want" <<<"$info" || fail "version resource lacks $want; it holds: $info"
  done
  grep -q '^FileDescription=.' <<<"$info" || fail "version resource has no FileDescription"

  # C, linked with the installed import library; run as one tries things
  # out: the DLL beside the bench's DLLs in a scratch folder.
  mkdir -p "$work/try"
  "${cross}gcc" -std=c99 -Wall -Werror -I"$prefix/include" -o "$work/try/consumer.exe" \
     "$source/tests/install/consumer.c" -L"$prefix/lib" -lKestrane
  cp "$prefix/bin/Kestrane.dll" "$prefix/bin/KestraneBench.dll" "$prefix"/bin/bench/*.dll "$work/try/"
  (cd "$work/try" && wine consumer.exe "$data" "$expected")

  # The installed kestrane.exe reaches the bench's facades in bin/bench by itself.
  tool=$prefix/bin/kestrane.exe
  (cd "$work" && wine "$tool" bench init --medium mifare bench >/dev/null &&
   wine "$tool" --bench bench issue guest --rooms 101 --start "2026-03-01 14:00" --end "2026-03-03 12:00" >/dev/null &&
   wine "$tool" --bench bench --json read) | grep -q '"kind":"guest"' || fail "installed kestrane.exe did not read back the guest card"

  # The zip: the same tree under one top folder, facades only under bench/.
  (cd "$build" && cpack -B "$work/packages" >/dev/null)
  zip=$work/packages/Kestrane-$version-win32.zip
  [ -f "$zip" ] || fail "no $(basename "$zip")"
  listing=$(python3 -m zipfile -l "$zip" | awk 'NR > 1 { print $1 }')
  listing_has "$listing" "$(basename "$zip")" "${files[@]}" "${facades[@]/#/bin/bench/}"
  for f in "${facades[@]}"; do
    outside=$(grep -i "/$f\$" <<<"$listing" | grep -v -e '/bin/bench/' -e '/bin/pcsc/' || true)
    [ -z "$outside" ] || fail "the zip holds a vendor-named DLL outside bin/bench and bin/pcsc: $outside"
  done
  # The 64-bit bridge's host sits beside Kestrane.dll.
  expect_files "$prefix" bin/KestraneHost32.exe
else
  expect_files "$prefix" bin/Kestrane64.dll lib/libKestrane64.dll.a
  # The zip: the 64-bit bridge beside the 32-bit library and its host.
  (cd "$win32_build" && cpack -B "$work/packages" >/dev/null)
  zip=$work/packages/Kestrane-$version-win32.zip
  [ -f "$zip" ] || fail "no $(basename "$zip")"
  python3 -m zipfile -e "$zip" "$work/unpacked"
  kit=$work/unpacked/Kestrane-$version-win32
  expect_files "$kit" bin/Kestrane.dll bin/KestraneHost32.exe bin/Kestrane64.dll lib/libKestrane64.dll.a \
               lib/libKestrane.dll.a include/kestrane.h
  # A 64-bit C program linked with the zip's import library, run over the
  # bridge with the bench's DLLs beside it.
  mkdir -p "$work/try64"
  "${cross}gcc" -std=c99 -Wall -Werror -I"$kit/include" -o "$work/try64/consumer.exe" \
     "$source/tests/install/consumer.c" -L"$kit/lib" -lKestrane64
  cp "$kit"/bin/*.dll "$kit/bin/KestraneHost32.exe" "$kit"/bin/bench/*.dll "$work/try64/"
  (cd "$work/try64" && wine consumer.exe "$data" "$expected")
fi
echo "check_install: $platform install tree, consumers and packages of Kestrane $version are as expected"
