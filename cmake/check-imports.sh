#!/bin/sh
# Fails when the DLL imports anything but the system DLLs a host machine always has.
dll="$1"
allowed="KERNEL32.dll ADVAPI32.dll USER32.dll GDI32.dll WINSPOOL.DRV OLEAUT32.dll WS2_32.dll VERSION.dll SHELL32.dll DBGHELP.dll msvcrt.dll"
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table read from $dll"; exit 1; }
status=0
for name in $imports; do
  ok=0
  for a in $allowed; do
    if [ "$(echo "$name" | tr a-z A-Z)" = "$(echo "$a" | tr a-z A-Z)" ]; then ok=1; fi
  done
  case "$(echo "$name" | tr A-Z a-z)" in api-ms-win-crt-*|ucrtbase.dll) ok=1 ;; esac
  if [ $ok -eq 1 ]; then echo "import ok: $name"; else echo "unexpected import: $name"; status=1; fi
done
exit $status
