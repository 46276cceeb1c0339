#!/bin/sh
# The consumer project against the unpacked release archive alone: configured
# with the cross toolchain through the SDK's CMake package, built, and run
# under Wine on a Wine printer whose status word is set; then the same host
# for the MSVC ABI, linked with the SDK's import library.
#   check_consumer.sh BUILD_DIR SOURCE_DIR ARCHIVE [CLANGXX LLD_LINK]
set -eu
build=$1
src=$2
archive=$3
clangxx=${4:-}
lld_link=${5:-}
run="$build/wine-run"
printer="QV SDK Consumer"
tmp=$(mktemp -d)
cleanup() {
  "$run" "$build/bin/qvdemoprinter.exe" remove "$printer" >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

python3 -m zipfile -e "$archive" "$tmp"
sdk="$tmp/$(basename "$archive" .zip)"
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$sdk/lib/cmake/QuorvelDriverUtility/QuorvelDriverUtilityConfigVersion.cmake")

# A cross build finds packages only under its root path, so the package's
# folder is named directly, as the README tells mingw-w64 hosts.
cmake -S "$src/tests/sdk/consumer" -B "$tmp/gnu" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
  -DQuorvelDriverUtility_DIR="$sdk/lib/cmake/QuorvelDriverUtility" >"$tmp/configure.log" 2>&1 ||
  { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/gnu"
hosts="$tmp/gnu/consumer.exe"

if [ -x "$clangxx" ] && [ -x "$lld_link" ]; then
  mingw=/usr/x86_64-w64-mingw32/lib
  mkdir -p "$tmp/msvc"
  # mingw's Windows headers stand in for the Windows SDK's; these defines let
  # clang read them for the MSVC ABI.
  "$clangxx" --target=x86_64-pc-windows-msvc -std=c++17 -O1 -fno-exceptions \
    -D__GNUC__=12 -D__GNUC_MINOR__=0 -D__USE_MINGW_ANSI_STDIO=0 "-Wno-#warnings" \
    -idirafter /usr/x86_64-w64-mingw32/include -I"$sdk/include" "-DQV_SDK_VERSION=L\"$version\"" \
    -c "$src/tests/sdk/consumer/consumer.cpp" -o "$tmp/msvc/consumer.obj"
  "$lld_link" /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib "$tmp/msvc/consumer.obj" \
    "$sdk/lib/QuorvelDriverUtility.lib" "$mingw/libkernel32.a" "$mingw/libuser32.a" \
    "$mingw/libwinspool.a" "$mingw/libversion.a" "$mingw/libshell32.a" "$mingw/liboleaut32.a" \
    /out:"$tmp/msvc/consumer.exe"
  cp "$sdk/bin/QuorvelDriverUtility.dll" "$tmp/msvc/"
  hosts="$hosts $tmp/msvc/consumer.exe"
else
  echo "clang++ or lld-link missing: the MSVC ABI host is not built"
fi

"$run" "$build/bin/qvdemoprinter.exe" install "$printer" >/dev/null
"$run" "$build/bin/qvdemoprinter.exe" set-status "$printer" 8 >/dev/null
status=0
# host PROGRAM ARGUMENT...: its output, and a failure noted with its exit code.
host() {
  echo "$1:"
  code=0
  "$run" "$@" >"$tmp/out" 2>&1 || code=$?
  tr -d '\r' <"$tmp/out"
  [ "$code" -eq 0 ] || { echo "exit code $code"; status=1; }
}
for program in $hosts; do
  host "$program" "$printer" 8
done
# The shipped C example finds the DLL beside it at run time.
host "$tmp/gnu/host_flat.exe" "$printer"
# The shipped qvhost reads the shipped DLL's version, which the package announced.
shipped=$("$run" "$sdk/bin/qvhost.exe" --version | tr -d '\r') || true
case "$shipped" in
  *"file version $version,"*) echo "qvhost --version: $shipped" ;;
  *) echo "qvhost --version: '$shipped', expected file version $version"; status=1 ;;
esac
exit $status
