#!/bin/sh
# qvhost's status --watch and watch against two real Wine printers that the
# simulated XPML server answers each with its own state: a change of one
# printer reaches the watch of that printer, once, with the change number one
# higher, and no other printer's.
#   check_watch.sh BUILD_DIR
set -u
. "$(dirname "$0")/prelude.sh"
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null
  for p in A B; do demo remove "QV Watch $p" >/dev/null; done
  rm -rf "$tmp" "$work/watch-port.txt" "$work/watch-state.txt"
}
trap cleanup EXIT
# state LINES: the server's state file, read again at its next request.
state() { printf '%s\n' "status=Ready" "severity=1" "flags2=00000000" "$@" >"$work/watch-state.txt"; }
# seen FILE TEXT: waits up to 10 s for TEXT in FILE.
seen() { for _ in $(seq 100); do grep -q "$2" "$1" && return 0; sleep 0.1; done; return 1; }

state
start_server watch
for p in A B; do demo install "QV Watch $p" >/dev/null && demo label "QV Watch $p" "$module" "$port" >/dev/null; done

"$run" "$bin/qvhost.exe" --json status --printer "QV Watch A" --watch 0.1 --count 80 >"$tmp/status" 2>"$tmp/err" &
single=$!
"$run" "$bin/qvhost.exe" --json watch 0.1 --count 80 >"$tmp/all" 2>>"$tmp/err" &
all=$!
seen "$tmp/status" '"sequence":1,' && seen "$tmp/all" '"printer":"QV Watch B".*"sequence":1,'
state "printer=QV Watch A" "status=Paper Jam" "severity=2" "flags2=00000008"
seen "$tmp/status" 'Paper Jam'
# A printer keeps its own states until they are set again.
state "printer=QV Watch A" "status=Ready" "severity=1" "flags2=00000000"
seen "$tmp/status" '"sequence":3,'
state "printer=QV Watch B" "status=Head Open" "severity=3"
seen "$tmp/all" 'Head Open'
wait $single $all

python3 - "$tmp/status" "$tmp/all" <<'PY' || status=1
import json, sys
def lines(path):
    return [json.loads(l) for l in open(path, encoding='utf-8').read().replace('\r', '').splitlines() if l.startswith('{')]
def check(name, ok, detail):
    print(('ok: ' if ok else 'FAIL: ') + name + ('' if ok else ': %r' % (detail,)))
    return ok
single, every = lines(sys.argv[1]), lines(sys.argv[2])
ok = check('status --watch starts with the spooler or the first answer',
           bool(single) and single[0]['provenanceCode'] in (0, 16), single[:1])
answered = [(l['sequence'], l['text'], l['extendedFlags']) for l in single if l['sequence'] > 0]
ok &= check('status --watch: one line per change, each one higher',
            answered == [(1, 'Ready', 0), (2, 'Paper Jam', 0x80000008), (3, 'Ready', 0)], answered)
b = [l['text'] for l in every if l['printer'] == 'QV Watch B' and l['sequence'] > 0]
a = [l['text'] for l in every if l['printer'] == 'QV Watch A' and l['sequence'] > 0]
ok &= check('watch follows each printer on its own', b == ['Ready', 'Head Open'] and
            a == ['Ready', 'Paper Jam', 'Ready'], (a, b))
sys.exit(0 if ok else 1)
PY
[ -s "$tmp/err" ] && { echo "stderr: $(cat "$tmp/err")"; status=1; }
exit $status
