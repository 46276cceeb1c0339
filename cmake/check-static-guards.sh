#!/bin/sh
# Fails when the DLL contains the guard of a function-local static with a
# dynamic initialiser. With the static runtime the guard goes through the
# static thread library, which takes a TLS slot and two handles at load and
# never gives them back: a host that loads and frees the DLL runs out of slots.
# Make such an object a namespace-scope one instead.
dll="$1"
symbols=$(x86_64-w64-mingw32-nm "$dll") || { echo "cannot read the symbols of $dll"; exit 1; }
if printf '%s\n' "$symbols" | grep -q '__cxa_guard_acquire'; then
  echo "guarded function-local static in $dll:"
  x86_64-w64-mingw32-objdump -d "$dll" | grep -B30 'call.*__cxa_guard_acquire' | grep '>:$' | sort -u
  exit 1
fi
echo "no guarded function-local statics"
