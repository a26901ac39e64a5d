#!/usr/bin/env bash
# The chain under Wine: zelpanel.exe sends on COM6, zelhost.exe listens on
# COM5; COM5 and COM6 of $WINEPREFIX are mapped to LINK_DIR/host and
# LINK_DIR/panel (tools/demo/wine-ports.sh), which socat joins here.
# Usage: wine_chain_test.sh SCENARIO BIN_DIR LINK_DIR
set -u
scenario=$1
bin=$2
links=$3
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=-all
work=$(mktemp -d)
socat_pid=
host=
cleanup() {
    [ -n "$host" ] && kill "$host" 2>/dev/null
    wineserver -w 2>/dev/null
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    for f in "$work"/*.out "$work"/*.txt "$work"/*.jsonl; do
        [ -f "$f" ] && { echo "--- $f"; tr -d '\r' <"$f"; }
    done
    exit 1
}

mkdir -p "$links"
rm -f "$links/host" "$links/panel"
socat pty,raw,echo=0,link="$links/host" pty,raw,echo=0,link="$links/panel" 2>/dev/null &
socat_pid=$!
for _ in $(seq 600); do [ -e "$links/host" ] && [ -e "$links/panel" ] && break; sleep 0.05; done
[ -e "$links/host" ] || fail "socat made no pseudo-terminals"

# Waits up to 60 s (Wine starts slowly on a busy machine) for a line of
# FILE that matches PATTERN, while process PID runs.
wait_for() {
    for _ in $(seq 1200); do
        tr -d '\r' <"$2" | grep -Eq -- "$1" && return 0
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# Starts `zelhost.exe ARGS` in the background, its output in host.out, and
# waits until it listens on COM5.
start_host() {
    : >"$work/host.out"
    "$@" >"$work/host.out" 2>&1 &
    host=$!
    wait_for '^listening on COM5' "$work/host.out" "$host" || fail "zelhost.exe is not listening"
}

# Waits for the host started last; its exit status in `status`.
host_ended() {
    status=0
    wait "$host" || status=$?
    host=
}

# The host's output as text: Wine's console ends lines with CR LF.
host_text() { tr -d '\r' <"$work/host.out"; }

case $scenario in
ctrl_c_closes)
    # Ctrl-C reaches zelhost.exe's console control handler: the channel is
    # closed and the exit status is 0. zelpanel.exe, stopped between its
    # messages, exits 130.
    start_host wine "$bin/zelhost.exe" monitor --port COM5
    kill -INT "$host"
    host_ended
    [ "$status" -eq 0 ] || fail "exit status $status after Ctrl-C"
    host_text | grep -q '^channel closed: CloseChannel answered 0 (success)$' || fail "the channel was not closed"

    wine "$bin/zelpanel.exe" send --port COM6 clear "wait 60" clear >"$work/panel.out" 2>&1 &
    panel=$!
    wait_for '^message 1 ' "$work/panel.out" "$panel" || fail "zelpanel.exe sent nothing"
    kill -INT "$panel"
    status=0
    wait "$panel" || status=$?
    [ "$status" -eq 130 ] || fail "zelpanel.exe exited with $status after Ctrl-C between its messages, not 130"
    ;;
walk_test_on_console)
    # A walk test at a Windows console: Enter lists the active points and
    # the sheet; the event history is written as the changes come (put on
    # disk with _commit); the panel's noise before each message is counted
    # byte for byte, and no message is lost to it. Wine gives a program on a
    # Unix terminal no key events from it: Enter goes into the console's
    # input queue from zel_press_enter.exe, as a keyboard's would.
    printf '%s\r\n' '"0104130","Boiler room, east",ckt' '0201005,Lobby,REGULAR' '0301148,Panel battery,Battery' \
        >"$work/points.csv"
    start_host /usr/bin/python3 "$(dirname "$0")/on_terminal.py" \
        wine "$bin/zelhost.exe" monitor --port COM5 --timeout 20 --idle 3 --points "$work/points.csv" --walk-test \
        --events "$work/events.jsonl"
    (wait_for '0 -> 1  Boiler room, east' "$work/host.out" "$host" &&
        wine "$bin/zel_press_enter.exe" zelhost.exe >"$work/press.out" 2>&1) &
    presser=$!
    wine "$bin/zelpanel.exe" send --port COM6 --timeout 20 --noise --fault-seed 5 "ckt bus=1 slot=4 point=130" \
        "wait 2" "bit0 bus=2 slot=1 point=5" >"$work/panel.out" 2>&1 || fail "zelpanel.exe exited with $?"
    host_ended
    wait "$presser" || fail "Enter could not be pressed"
    [ "$status" -eq 1 ] || fail "zelhost.exe exited with $status, not 1 (a named point never reported)"
    host_text | grep -q '^walk test: 1 of 3 named points reported$' || fail "Enter gave no sheet"
    host_text | grep -q '^walk test: 2 of 3 named points reported$' || fail "no final sheet"
    noise=$(tr -d '\r' <"$work/panel.out" | sed -En 's/^line faults: ([0-9]+) bytes? of noise, 0 bytes corrupted$/\1/p')
    [ "${noise:-0}" -gt 0 ] || fail "zelpanel.exe sent no noise"
    host_text | grep -Eq "^line: LINK 0 up, SILENCE [0-9]+ s, MESSAGES 2, LOSSES 0, NOISE $noise\$" ||
        fail "the line summary does not show 2 messages and $noise bytes of noise"
    grep -o '"monitor":"[a-z]*"\|"name":"[A-Za-z, ]*"' "$work/events.jsonl" | tr '\n' ' ' >"$work/history.txt"
    grep -qx '"monitor":"start" "name":"Boiler room, east" "name":"Lobby" "monitor":"stop" ' "$work/history.txt" ||
        fail "the history is $(cat "$work/history.txt")"
    ;;
random_then_replay)
    # zelpanel.exe's random traffic, captured by zelhost.exe; the capture
    # played back four times as fast gives the same points. The host reads
    # its expectations before it listens: the same seed gives them first,
    # sent to the null device.
    random=(random --timeout 20 --seed 20261209 --count 10 --max-events 6)
    wine "$bin/zelpanel.exe" "${random[@]}" --port NUL --report "$work/expected.txt" >"$work/panel.out" 2>&1 ||
        fail "zelpanel.exe random on NUL exited with $?"
    start_host wine "$bin/zelhost.exe" monitor --port COM5 --timeout 20 --idle 3 --expect "$work/expected.txt" \
        --capture "$work/capture.txt"
    wine "$bin/zelpanel.exe" "${random[@]}" --port COM6 --report "$work/sent.txt" >"$work/panel.out" 2>&1 ||
        fail "zelpanel.exe random exited with $?"
    host_ended
    cmp <(grep '^expect ' "$work/expected.txt") <(grep '^expect ' "$work/sent.txt") >/dev/null ||
        fail "the same seed gave other messages"
    [ "$status" -eq 0 ] || fail "zelhost.exe exited with $status"
    host_text | grep -Eq '^summary: all [0-9]+ points match$' || fail "the random traffic's points do not match"
    [ "$(grep -c '^rx ' "$work/capture.txt")" -ge 10 ] || fail "the capture holds fewer than 10 messages"
    mv "$work/host.out" "$work/host-random.out"
    start_host wine "$bin/zelhost.exe" monitor --port COM5 --timeout 20 --idle 3 --expect "$work/expected.txt"
    # A path beginning with a slash would be an option to a Windows program.
    wine "$bin/zelpanel.exe" replay --port COM6 --timeout 20 --speed 4 "Z:$work/capture.txt" >"$work/panel.out" 2>&1 ||
        fail "zelpanel.exe replay exited with $?"
    host_ended
    [ "$status" -eq 0 ] && host_text | grep -Eq '^summary: all [0-9]+ points match$' ||
        fail "the replay's points do not match (exit status $status)"
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
echo "ok: $scenario"
