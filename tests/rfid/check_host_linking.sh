#!/bin/sh
# What a host links against: the DLL's export table (nothing else in it), the
# import library and the public header agree on the decorated names of
# exports/*.def, and hosts built with an MSVC-ABI toolchain and with mingw-w64
# g++ link and run.
#   check_host_linking.sh SOURCE_DIR BUILD_DIR MINGW_CXX [CLANGXX LLD_LINK]
# Exits 77 (skipped) for the MSVC-ABI host when clang++ or lld-link is missing.
set -eu
src=$1
build=$2
mingw_cxx=$3
clangxx=${4:-}
lld_link=${5:-}
dll=$build/bin/QuorvelDriverUtility.dll
lib=$build/lib/QuorvelDriverUtility.lib
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

# Decorated names are quoted, the flat C names plain.
sed -n 's/^[[:space:]]\{1,\}"\{0,1\}\([^"[:space:]]\{1,\}\).*/\1/p' "$src"/exports/*.def | sort >"$work/def.txt"
grep '^?' "$work/def.txt" >"$work/decorated.txt" || fail "no decorated names in exports/*.def"

# Every name of the export table, so that a plain or implementation name
# exported beside the decorated one shows too.
x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] \(.*\)$/\1/p' |
    sort >"$work/dll.txt"
comm -23 "$work/def.txt" "$work/dll.txt" >"$work/missing.txt"
[ -s "$work/missing.txt" ] && fail "not in the DLL's export table: $(cat "$work/missing.txt")"
comm -13 "$work/def.txt" "$work/dll.txt" >"$work/extra.txt"
[ -s "$work/extra.txt" ] && fail "exported beside the decorated names: $(cat "$work/extra.txt")"

x86_64-w64-mingw32-nm "$lib" | sed -n 's/^[0-9a-f]* I __imp_\(.*\)$/\1/p' | sort >"$work/lib.txt"
comm -23 "$work/def.txt" "$work/lib.txt" >"$work/missing.txt"
[ -s "$work/missing.txt" ] && fail "not in the import library: $(cat "$work/missing.txt")"
echo "export table (alone) and import library carry all $(wc -l <"$work/def.txt") names"

cp "$dll" "$work/"
"$mingw_cxx" -O1 -I"$src/include" "$src/tests/rfid/host_link_probe.cpp" "$lib" -loleaut32 -static \
    -o "$work/mingw_host.exe" || fail "mingw host does not link against the import library"
"$build/wine-run" "$work/mingw_host.exe" || fail "mingw host exits with failure"
echo "mingw g++ host links and runs"

if [ -z "$clangxx" ] || [ -z "$lld_link" ] || [ ! -x "$clangxx" ] || [ ! -x "$lld_link" ]; then
    echo "clang++ or lld-link missing: MSVC-ABI host not checked"
    exit 77
fi
# The symbols an MSVC host asks for must be the ones the import library has.
"$clangxx" --target=x86_64-pc-windows-msvc -O1 -fno-exceptions -I"$src/include" \
    -c "$src/tests/rfid/host_link_probe.cpp" -o "$work/msvc_host.obj"
x86_64-w64-mingw32-nm "$work/msvc_host.obj" | sed -n 's/^ *U __imp_\(?.*\)$/\1/p' | sort >"$work/msvc.txt"
cmp -s "$work/msvc.txt" "$work/decorated.txt" ||
    fail "MSVC decoration of the header differs: $(diff "$work/decorated.txt" "$work/msvc.txt")"
"$lld_link" /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib "$work/msvc_host.obj" "$lib" \
    /usr/x86_64-w64-mingw32/lib/liboleaut32.a /out:"$work/msvc_host.exe" || fail "MSVC-ABI host does not link"
"$build/wine-run" "$work/msvc_host.exe" || fail "MSVC-ABI host exits with failure"
echo "MSVC-ABI host links and runs"
