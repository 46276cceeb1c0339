#!/bin/sh
# qvhost as a script uses it: its output and exit codes.
#   check_qvhost.sh BUILD_DIR VERSION (the project's, which the DLL must carry)
set -u
build=$1
version=$2
run="$build/wine-run"
qvhost="$build/bin/qvhost.exe"
status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect CODE EXPECTED_STDOUT ARGS...: EXPECTED_STDOUT is matched exactly, or
# as a substring when it starts with '~'.
expect() {
    code=$1
    want=$2
    shift 2
    "$run" "$@" >"$work/out" 2>"$work/err"
    got=$?
    out=$(tr -d '\r' <"$work/out")
    case "$want" in
        "~"*) case "$out" in *"${want#\~}"*) ok=1 ;; *) ok=0 ;; esac ;;
        *) [ "$out" = "$want" ] && ok=1 || ok=0 ;;
    esac
    if [ "$got" -ne "$code" ] || [ $ok -ne 1 ]; then
        echo "FAIL: qvhost $* -> exit $got, output '$out' (wanted exit $code, '$want'); stderr: $(cat "$work/err")"
        status=1
    else
        echo "ok: qvhost $* -> exit $got"
    fi
}

sgtin="8#30;3;3#X;20:P1;44:P2;38"
expect 0 "3074257BF7194E4000001A85" "$qvhost" rfid-epc --layout "$sgtin" --values "3;0614141;812345;6789"
expect 0 "3074257BF7194E4000001A85" "$qvhost" rfid-epc --values=3\;0614141\;812345\;6789 --layout="$sgtin" --mode decimal
expect 0 '~"hex":"3074257BF7194E4000001A85","bits":96}' "$qvhost" --json rfid-epc --layout "$sgtin" --values "3;0614141;812345;6789"
expect 0 "3;0614141;812345;6789" "$qvhost" rfid-decode 3074257BF7194E4000001A85 "$sgtin"
expect 1 '~"lastError":13' "$qvhost" --json rfid-decode 3174257BF7194E4000001A85 "$sgtin"
# By name: the same tag from its URI and its element string, and back.
expect 0 "3074257BF7194E4000001A85" "$qvhost" rfid-encode urn:epc:tag:sgtin-96:3.0614141.812345.6789
expect 0 "3074257BF7194E4000001A85" "$qvhost" rfid-encode --gs1 "(01)80614141123458(21)6789" --scheme sgtin-96 --filter 3 --prefix-digits 7
expect 0 '~"elementString":"(01)80614141123458(21)6789"' "$qvhost" --json rfid-decode 3074257BF7194E4000001A85
expect 1 "" "$qvhost" rfid-encode urn:epc:tag:sgtin-96:3.0614141.812345.274877906944
expect 0 '~"verified":true' "$qvhost" --json rfid-epc --layout "$sgtin" --values "3;0614141;012345;6789" --verify
# A filter above 7 is cut to its 3 bits: the check names it and fails.
expect 1 '~"lost":1' "$qvhost" --json rfid-epc --layout "$sgtin" --values "9;0614141;812345;6789" --verify
# Without --verify the tag stays the result, and standard error names the value.
expect 0 "3034257BF7194E4000001A85" "$qvhost" rfid-epc --layout "$sgtin" --values "9;0614141;812345;6789"
grep -q "value 1 '9' reads back as '1'" "$work/err" || { echo "FAIL: rfid-epc kept quiet about a cut value"; status=1; }
expect 0 '~"hex":"0ABC"' "$qvhost" rfid-raw abc --mode 1 --json
expect 0 "FF" "$qvhost" rfid-raw 255
expect 1 "" "$qvhost" rfid-raw 0
expect 1 '~"hex":null' "$qvhost" rfid-raw xyz --mode 4 --json
expect 1 "" "$qvhost" rfid-epc --layout "0;0"
expect 1 '~"values":"a\\b\tc"' "$qvhost" --json rfid-epc --layout "0;0" --values "$(printf 'a\\b\tc')"
expect 2 "" "$qvhost" rfid-raw
expect 2 "" "$qvhost" rfid-raw 1 2
expect 2 "" "$qvhost" rfid-epc --values 1
expect 2 "" "$qvhost" rfid-epc --layout 8 --mode x
expect 2 "" "$qvhost" rfid-epc --layout 8 --layout 8
expect 2 "" "$qvhost" rfid-epc --layout 8 --colour red
expect 2 "" "$qvhost" no-such-command
expect 2 "" "$qvhost"
expect 0 "~rfid-epc" "$qvhost" --help
expect 0 "~--layout" "$qvhost" rfid-epc --help
expect 0 "~--layout" "$qvhost" help rfid-epc
expect 2 "" "$qvhost" help no-such-command
# An import file that cannot be read fails before any printer is asked; what
# a readable one holds is the driver's to judge, so the printer is asked.
printf 'Darkness=30\r\nno setting\r\n' >"$work/bad.settings"
expect 4 "" "$qvhost" settings --printer none import "$work/missing.settings"
expect 4 "" "$qvhost" settings --printer none import "$work/bad.settings"
expect 0 "QuorvelDriverUtility.dll file version $version, product version $version" "$qvhost" --version
expect 0 "~\"fileVersion\":\"$version\",\"productVersion\":\"$version\"" "$qvhost" --json --version

# Without the DLL beside it, the program says so with its own exit code.
cp "$qvhost" "$work/qvhost.exe"
expect 3 "" "$work/qvhost.exe" rfid-raw 255
exit $status
