#!/bin/sh
# qvhost's support commands against real Wine printers: a healthy advanced one
# (simulated DAL module and XPML server), an advanced one whose server port is
# closed, and a basic one (no DAL entry). Facts are read from the JSON.
#   check_support.sh BUILD_DIR
set -u
. "$(dirname "$0")/prelude.sh"
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null
  for p in Healthy Unreachable Basic; do demo remove "QV Diagnose $p" >/dev/null; done
  rm -rf "$tmp" "$work/diagnose-port.txt" "$work/diagnose-state.txt"
}
trap cleanup EXIT

# check NAME PYTHON-EXPRESSION JSON: the expression over the parsed object d.
check() {
  if printf '%s' "$3" | python3 -c "import json,sys; d=json.load(sys.stdin); sys.exit(0 if ($2) else 1)" 2>/dev/null; then
    echo "ok: $1"
  else
    echo "FAIL: $1: ($2) on $3; stderr: $(cat "$tmp/err")"
    status=1
  fi
}

printf 'status=Ready\nseverity=1\nflags2=00000000\n' >"$work/diagnose-state.txt"
start_server diagnose
for p in Healthy Unreachable Basic; do demo install "QV Diagnose $p" >/dev/null; done
# The network settings are the machine's: each advanced printer is checked
# while it is the one they lead to.
demo label "QV Diagnose Healthy" "$module" "$port" >/dev/null
list=$(qvhost --json printers)
check "printers lists each kind" "{p['name']: p['interface'] for p in d['printers']}.get('QV Diagnose Healthy') == 'advanced' and {p['name']: p['interface'] for p in d['printers']}.get('QV Diagnose Basic') == 'basic' and d['count'] == len(d['printers'])" "$list"

# diagnose NAME KIND MODULE PROBE CODES: the interface, the module file that
# qvdemoprinter installed (none: unavailable), the probe's outcome and the
# provenance codes the status call may give.
diagnose() {
  out=$(qvhost diagnose --json "QV Diagnose $1")
  check "diagnose $1: interface $2" "d['interface'] == '$2' and d['driver']['name'] == 'QV Diagnose $1 Driver'" "$out"
  check "diagnose $1: module" "(d['dal']['modulePath'].endswith('$3') and d['dal']['image'] is True and d['dal']['runs'] == 'in-process') if '$3' else d['dal']['modulePath'].startswith('(unavailable')" "$out"
  check "diagnose $1: probe, provenance, number types" "d['probe']['outcome'].startswith('$4') and d['status']['provenanceCode'] in ($5) and type(d['network']['timeoutMs']) is int and type(d['attributes']) is int and type(d['printerInterface']['mask']) is int" "$out"
}
# The TCP library's file log (as the library names it) holds 12 lines: the last 10 show.
logs="$WINEPREFIX/drive_c/Log Files"
mkdir -p "$logs" && seq 12 | sed 's/^/line /' >"$logs/Quorvel_TCP_Library_V3.txt"
diagnose Healthy advanced qv-diagnose-healthy.d64 answered "0,"
check "printers says where status comes from" "{p['name']: p['statusFrom'] for p in d['printers']}.get('QV Diagnose Healthy') == 'printer' and {p['name']: p['gateCode'] for p in d['printers']}.get('QV Diagnose Basic') == 9" "$list"
check "diagnose names the attributes and masks, says how to log to a file" "'ENABLE_BIDI' in d['attributeNames'] and ('Errors' in d['printerInterface']['maskNames']) == (d['printerInterface']['mask'] >= 0x80000000) and (d['printerInterface']['fileLog'] or '0x04000000' in d['printerInterface']['fileLogHint']) and not d['probe']['text'].startswith('spooler:')" "$out"
check "diagnose shows a file log's last lines" "d['tcpLibrary']['lastLines'] == ['line %d' % i for i in range(3, 13)]" "$out"
rm -f "$logs/Quorvel_TCP_Library_V3.txt"
diagnose Basic basic "" "(unavailable" "9,"
[ -n "$(qvhost diagnose "QV Diagnose Healthy" | grep '^  gate: open')" ] && echo "ok: plain diagnose" || { echo "FAIL: plain diagnose gate line"; status=1; }
qvhost diagnose "QV Diagnose Healthy" | head -1 | grep -q '^verdict: Status comes from the printer itself' && echo "ok: plain diagnose verdict first" || { echo "FAIL: plain diagnose verdict"; status=1; }
# The mask the report names is where the library keeps it.
"$run" reg query 'HKLM\SOFTWARE\Brantheon\Drivers\DebugLogMasks' /v 'Quorvel Printer Interface V3' 2>/dev/null | grep -q REG_DWORD && echo "ok: mask value" || { echo "FAIL: no mask value where diagnose says"; status=1; }
qvhost status --help | grep -q '14 no status call yet' && echo "ok: status --help lists every provenance code" || { echo "FAIL: status --help codes"; status=1; }

# --watch: a line for the first poll and one for the change, then --count ends it.
"$run" "$bin/qvhost.exe" status --printer "QV Diagnose Healthy" --watch 0.1 --count 60 >"$tmp/watch" 2>&1 &
watcher=$!
for _ in $(seq 100); do grep -q Ready "$tmp/watch" && break; sleep 0.1; done
printf 'status=Paper Jam\nseverity=2\nflags2=00000008\n' >"$work/diagnose-state.txt"
wait $watcher
watched=$(tr -d '\r' <"$tmp/watch")
case "$watched" in
  *'text "Ready"'*'extended 0x80000008 error text "Paper Jam"'*) echo "ok: status --watch" ;;
  *) echo "FAIL: status --watch printed: $watched"; status=1 ;;
esac

check "status --json flags are numbers" "d['extendedFlags'] == 0x80000008 and d['printerStates'] == [204] and d['provenanceCode'] == 0" "$(qvhost --json status --printer 'QV Diagnose Healthy')"
check "status --json severity is its number" "d['severity'] == 2 and d['severityName'] == 'error'" "$(qvhost --json status --printer 'QV Diagnose Healthy')"
# Monitoring off: the host gets the spooler's word, the report shows the jam it hides.
settings='HKLM\System\CurrentControlSet\Control\Print\Printers\QV Diagnose Healthy\PrinterDriverData\Settings\Status'
"$run" reg add "$settings" /v 'Status Monitoring Mode' /t REG_DWORD /d 0 /f >/dev/null 2>&1
check "diagnose shows what a closed gate hides" "d['monitoring']['gateCode'] == 1 and d['probe']['printerStatus'] == 'Paper Jam' and d['verdict'].startswith('Status comes from the spooler, not the printer') and 'Paper Jam' in d['verdict'] and d['status']['provenanceCode'] == 1" "$(qvhost --json diagnose 'QV Diagnose Healthy')"
"$run" reg add "$settings" /v 'Status Monitoring Mode' /t REG_DWORD /d 1 /f >/dev/null 2>&1
check "xpml takes --printer" "d['route'] == 1 and 'Paper Jam' in d['answer']" "$(qvhost --json xpml --printer 'QV Diagnose Healthy' "<state name='Status' action='get' />&#00;")"
# A port nobody listens on: the connection is refused at once.
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
demo label "QV Diagnose Unreachable" "$module" "$closed" >/dev/null
diagnose Unreachable advanced qv-diagnose-unreachable.d64 "no answer" "3, 5"
check "diagnose reads the closed port as the address" "d['network']['address'] == 'localhost:$closed' and d['probe']['code'] in (3, 5)" "$(qvhost --json diagnose --printer 'QV Diagnose Unreachable')"
# exit code | arguments: an error is one JSON object with the same exit code.
while IFS='|' read -r code args; do
  eval "out=\$(qvhost --json $args)"
  check "--json $args fails with $code" "d['exitCode'] == $code and d['error'] and 'command' in d" "$out"
done <<ROWS
2|status
2|no-such-command
2|status --printer X --count 3
4|diagnose --printer 'QV Diagnose Missing'
ROWS
cp "$bin/qvhost.exe" "$tmp/qvhost.exe"
check "--json library failure" "d['exitCode'] == 3 and d['command'] == 'rfid-raw'" "$("$run" "$tmp/qvhost.exe" --json rfid-raw 255 2>/dev/null | tr -d '\r')"
exit $status
