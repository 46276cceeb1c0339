# Sourced by the qvhost checks with BUILD_DIR as $1: its runner and programs,
# the Wine prefix's work folder, a scratch folder, and what every check uses.
build=$1
run="$build/wine-run"
bin="$build/bin"
WINEPREFIX=$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$run")
work_win='C:\ProgramData\Quorvel'
work="$WINEPREFIX/drive_c/ProgramData/Quorvel"
mkdir -p "$work"
tmp=$(mktemp -d)
status=0
server=""
module="Z:$(printf '%s' "$bin/qvsimdal.dll" | tr '/' '\\')"
qvhost() { "$run" "$bin/qvhost.exe" "$@" 2>"$tmp/err" | tr -d '\r'; }
# Under Wine a server that qvdemoprinter start leaves running inherits the
# caller's output: its output goes to a file, never to a pipe a script waits on.
demo() { "$run" "$bin/qvdemoprinter.exe" "$@" >"$tmp/demo" 2>&1; tr -d '\r' <"$tmp/demo"; }
# start_server NAME: a simulated XPML server on a free port that reads
# $work/NAME-state.txt; sets server (its process) and port.
start_server() {
  rm -f "$work/$1-port.txt"
  "$run" "$bin/qvxpmlserver.exe" --port 0 --port-file "$work_win\\$1-port.txt" \
    --state-file "$work_win\\$1-state.txt" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 100); do [ -s "$work/$1-port.txt" ] && break; sleep 0.1; done
  port=$(tr -dc '0-9' <"$work/$1-port.txt")
}
