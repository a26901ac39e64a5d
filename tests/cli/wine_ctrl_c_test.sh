#!/usr/bin/env bash
# Ctrl-C under Wine reaches zelhost.exe's console control handler: the
# channel is closed and the exit status is 0. zelpanel.exe, stopped between
# its messages, exits 130. COM5 of $WINEPREFIX is mapped
# to LINK_DIR/host (tools/demo/wine-ports.sh), which socat provides here.
# Usage: wine_ctrl_c_test.sh BIN_DIR LINK_DIR
set -u
bin=$1
links=$2
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=-all
work=$(mktemp -d)
socat_pid=
cleanup() {
    wineserver -w 2>/dev/null
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; cat "$work/host.out"; exit 1; }

mkdir -p "$links"
rm -f "$links/host" "$links/panel"
socat pty,raw,echo=0,link="$links/host" pty,raw,echo=0,link="$links/panel" 2>/dev/null &
socat_pid=$!
for _ in $(seq 600); do [ -e "$links/host" ] && [ -e "$links/panel" ] && break; sleep 0.05; done
[ -e "$links/host" ] || fail "socat made no pseudo-terminals"

: >"$work/host.out"
wine "$bin/zelhost.exe" monitor --port COM5 >"$work/host.out" 2>&1 &
host=$!
for _ in $(seq 1200); do  # up to 60 s: Wine starts slowly on a busy machine
    grep -q '^listening on COM5' "$work/host.out" && break
    kill -0 "$host" 2>/dev/null || break
    sleep 0.05
done
grep -q '^listening on COM5' "$work/host.out" || fail "zelhost.exe is not listening"
kill -INT "$host"
status=0
wait "$host" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after Ctrl-C"
grep -q '^channel closed: CloseChannel answered 0 (success)$' "$work/host.out" || fail "the channel was not closed"

wine "$bin/zelpanel.exe" send --port COM6 clear "wait 60" clear >"$work/host.out" 2>&1 &
panel=$!
for _ in $(seq 1200); do
    grep -q '^message 1 ' "$work/host.out" && break
    kill -0 "$panel" 2>/dev/null || break
    sleep 0.05
done
kill -INT "$panel"
status=0
wait "$panel" || status=$?
[ "$status" -eq 130 ] || fail "zelpanel.exe exited with $status after Ctrl-C between its messages, not 130"
echo "ok"
