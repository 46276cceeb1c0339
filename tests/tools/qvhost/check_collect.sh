#!/bin/sh
# qvhost collect read back by independent readers (Python's zipfile, unzip),
# on a printer qvdemoprinter starts with its own XPML server, then on a
# printer whose server is switched off; and qvdemoprinter start/stop.
#   check_collect.sh BUILD_DIR
set -u
. "$(dirname "$0")/prelude.sh"
drive="$WINEPREFIX/drive_c"
logs="$drive/Log Files"
dumps="$drive/ProgramData/Quorvel/Drivers/Dump"
down=""
limit='HKLM\SOFTWARE\Brantheon\Drivers'
cleanup() {
  [ -z "$down" ] || kill "$down" 2>/dev/null
  demo stop "QV Collect Healthy" >/dev/null
  demo remove "QV Collect Down" >/dev/null
  "$run" reg delete "$limit" /v DebugLogFileLimit /f >/dev/null 2>&1
  rm -rf "$tmp" "$drive/collect.zip" "$drive/collect-one.zip" "$drive/collect-down.zip" \
    "$logs/Quorvel_TCP_Library_V3.txt" "$logs/Quorvel_TCP_Library_V3.1.txt" \
    "$logs/Quorvel_Printer_Interface_V3.txt" "$logs/Quorvel_Tést.txt" \
    "$dumps/qvcrash_9007.dmp" "$dumps/qvcrash_9008.dmp" "$dumps/qvcrash_12.dmp"
}
trap cleanup EXIT

# check NAME PYTHON-EXPRESSION: the expression over the zip z (zipfile), its
# manifest m, and j(name): an entry read as JSON.
check() {
  if python3 - "$1" "$2" "$3" 2>"$tmp/py" <<'PY'
import json, sys, zipfile
z = zipfile.ZipFile(sys.argv[3])
m = json.loads(z.read("manifest.json"))
j = lambda name: json.loads(z.read(name))
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
  then echo "ok: $1"; else echo "FAIL: $1: $2 ($(tail -1 "$tmp/py")); qvhost said: $(cat "$tmp/err")"; status=1; fi
}

# Files the zip must carry byte for byte: lines, bytes deflate cannot shrink,
# an empty rolled copy, a name beyond ASCII, and a log over the cap of 4 MiB.
mkdir -p "$logs" "$dumps"
seq 12 | sed 's/^/tcp line /' >"$logs/Quorvel_TCP_Library_V3.txt"
: >"$logs/Quorvel_TCP_Library_V3.1.txt"
head -c 300000 /dev/urandom >"$logs/Quorvel_Tést.txt"
python3 -c "import sys; sys.stdout.write(''.join('line %07d\n' % i for i in range(420000)))" \
  >"$logs/Quorvel_Printer_Interface_V3.txt"
head -c 5000 /dev/urandom >"$dumps/qvcrash_9007.dmp"
head -c 7000 /dev/urandom >"$dumps/qvcrash_9008.dmp"
head -c 10 /dev/urandom >"$dumps/qvcrash_12.dmp"
# Dated ahead of any dump an earlier test's fault left in the shared folder,
# so that 9008 is the newest whatever ran before.
touch -d 'tomorrow 10:00' "$dumps/qvcrash_9008.dmp"
touch -d 'tomorrow 09:00' "$dumps/qvcrash_9007.dmp"
"$run" reg add "$limit" /v DebugLogFileLimit /t REG_DWORD /d 1048576 /f >/dev/null 2>&1

started=$(demo start "QV Collect Healthy")
port=$(printf '%s\n' "$started" | sed -n 's/^server port: //p')
[ -n "$port" ] && echo "ok: qvdemoprinter start prints the port" || { echo "FAIL: start printed: $started"; status=1; }
version=$(qvhost --json --version)
qvhost collect 'C:\collect.zip' --dumps >/dev/null
zip="$drive/collect.zip"
unzip -tq "$zip" >/dev/null 2>&1 && echo "ok: unzip reads the zip" || { echo "FAIL: unzip -t: $(unzip -tq "$zip" 2>&1 | tail -2)"; status=1; }
check "zipfile reads every entry (CRC included)" "z.testzip() is None and not [n for n in z.namelist() if '\\\\' in n]" "$zip"
check "the listed entries" "{'manifest.json', 'printers.json', 'system.json', 'event-sources.json', 'dumps.json', 'diagnose/QV Collect Healthy.json', 'dumps/qvcrash_9008.dmp'} <= set(z.namelist())" "$zip"
check "the printer's report, as diagnose --json gives it" "j('diagnose/QV Collect Healthy.json')['command'] == 'diagnose' and j('diagnose/QV Collect Healthy.json')['probe']['outcome'] == 'answered' and j('diagnose/QV Collect Healthy.json')['network']['port'] == $port" "$zip"
check "printers.json names driver, interface and DAL module" "[(p['driver'], p['interface'], p['dalModule'].endswith('qv-collect-healthy.d64')) for p in j('printers.json')['printers'] if p['name'] == 'QV Collect Healthy'] == [('QV Collect Healthy Driver', 'advanced', True)]" "$zip"
check "system.json: the library's version and Windows" "j('system.json')['library']['fileVersion'] == $(printf '%s' "$version" | python3 -c 'import json,sys; print(repr(json.load(sys.stdin)["fileVersion"]))') and j('system.json')['windows']['major'] >= 5 and any(d['printer'] == 'QV Collect Healthy' for d in j('system.json')['dalModules'])" "$zip"
check "event sources: masks and the file-log limit from the registry" "j('event-sources.json')['fileLimit']['bytes'] == 1048576 and any(s['source'] == 'Quorvel TCP Library V3' and type(s['mask']) is int for s in j('event-sources.json')['sources'])" "$zip"
for f in Quorvel_TCP_Library_V3.txt Quorvel_TCP_Library_V3.1.txt Quorvel_Tést.txt; do
  check "logs/$f byte for byte" "z.read('logs/$f') == open('$logs/$f', 'rb').read()" "$zip"
done
check "a log over the cap keeps its newest whole lines" "(lambda b: len(b) <= 4 << 20 and b.endswith(b'line 0419999\n') and b[:5] == b'line ' and b.count(b'\n') == len(b) // 13)(z.read('logs/Quorvel_Printer_Interface_V3.txt')) and any(e['name'] == 'logs/Quorvel_Printer_Interface_V3.txt' and 'cut' in e.get('note', '') for e in m['entries'])" "$zip"
check "dumps.json lists the dumps, the newest goes in whole" "sorted((d['name'], d['bytes']) for d in j('dumps.json')['dumps'] if d['name'].startswith('qvcrash_900')) == [('qvcrash_9007.dmp', 5000), ('qvcrash_9008.dmp', 7000)] and not any(d['name'] == 'qvcrash_12.dmp' for d in j('dumps.json')['dumps']) and z.read('dumps/qvcrash_9008.dmp') == open('$dumps/qvcrash_9008.dmp', 'rb').read()" "$zip"
check "the manifest lists every entry but itself" "sorted(e['name'] for e in m['entries']) == sorted(n for n in z.namelist() if n != 'manifest.json')" "$zip"
check "the manifest names the logs that are not there, and why" "any(x['what'].endswith('.1.txt') and x['what'] != r'C:\\Log Files\\Quorvel_TCP_Library_V3.1.txt' and 'no such file' in x['why'] for x in m['missing']) and not any('TCP_Library' in x['what'] for x in m['missing'])" "$zip"

# One printer that does not exist, without dumps: the manifest says why.
qvhost collect 'C:\collect-one.zip' --printer 'QV Collect Missing' >/dev/null
check "a missing printer is named with the reason" "any('QV Collect Missing' in x['what'] and '1801' in x['why'] for x in m['missing']) and not [n for n in z.namelist() if n.startswith('dumps/') or n.startswith('diagnose/')] and m['printer'] == 'QV Collect Missing'" "$drive/collect-one.zip"
check "without --dumps the zip stays under 32 MiB" "__import__('os').path.getsize(sys.argv[3]) < 32 << 20" "$drive/collect-one.zip"

# A zip that cannot be written is a failure, not a zip with less in it.
out=$(qvhost --json collect 'C:\qv-no-such-folder\x.zip')
printf '%s' "$out" | python3 -c "import json,sys; sys.exit(0 if json.load(sys.stdin)['exitCode'] == 4 else 1)" 2>/dev/null &&
  [ ! -e "$drive/qv-no-such-folder" ] && echo "ok: an unwritable zip fails with exit 4" || { echo "FAIL: unwritable zip: $out"; status=1; }

# The printer switched off: a port whose full accept queue drops every
# connection attempt, so only the library's own bound ends the wait (an
# unbounded connect takes about 127 s). Two printers lead to it (the network
# settings are the machine's): asked at once, they cost one bound.
python3 -c '
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(0)
held = []
for _ in range(4):
    c = socket.socket(); c.setblocking(False); c.connect_ex(s.getsockname()); held.append(c)
time.sleep(0.3); print(s.getsockname()[1], flush=True); time.sleep(600)' >"$tmp/down" &
down=$!
for _ in $(seq 50); do [ -s "$tmp/down" ] && break; sleep 0.1; done
demo install "QV Collect Down" >/dev/null
demo label "QV Collect Down" "$module" "$(cat "$tmp/down")" >/dev/null
before=$(date +%s.%N)
qvhost collect 'C:\collect-down.zip' >/dev/null
elapsed=$(python3 -c "print(round($(date +%s.%N) - $before, 1))")
echo "collect with two printers switched off took $elapsed s"
check "a switched-off printer: collect ends within one network bound" "(lambda n: $elapsed < ((n['retries'] + 2) * n['timeoutMs']) / 1000 + 15)(j('diagnose/QV Collect Down.json')['network']) and j('diagnose/QV Collect Down.json')['probe']['outcome'] == 'no answer' and 'diagnose/QV Collect Healthy.json' in z.namelist()" "$drive/collect-down.zip"

stopped=$(demo stop "QV Collect Healthy")
case "$stopped" in
  *'server: stopped'*'(removed)'*) echo "ok: qvdemoprinter stop ends the server and removes the printer" ;;
  *) echo "FAIL: stop printed: $stopped"; status=1 ;;
esac
python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 2)" 2>/dev/null &&
  { echo "FAIL: the server still listens on $port"; status=1; } || echo "ok: the server's port is closed"
demo stop "QV Collect Healthy" | grep -q 'server: was not running' && echo "ok: a second stop" || { echo "FAIL: second stop: $(cat "$tmp/demo")"; status=1; }
exit $status
