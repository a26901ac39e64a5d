#!/usr/bin/env bash
# The chain on Linux: zelpanel plays the panel on a pseudo-terminal pair it
# creates, zelhost opens the other end through the driver.
# Usage: chain_test.sh SCENARIO BIN_DIR
set -u
scenario=$1
bin=$2
units=20  # read time-out of 0.2 s
work=$(mktemp -d)
panel_pid=  # the last zelpanel started
panel_pids=()
host=
link=
cleanup() {
    for pid in "${panel_pids[@]}" $host; do kill "$pid" 2>/dev/null; done
    [ -n "$link" ] && rm -f "$link"
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for f in "$work"/*.out "$work"/*.txt; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
    done
    exit 1
}

# Starts zelpanel with ARGS and sets `port` to the pseudo-terminal it made.
start_panel() {
    local out=$work/panel${#panel_pids[@]}.out
    "$bin/zelpanel" "$@" >"$out" 2>&1 &
    panel_pid=$!
    panel_pids+=("$panel_pid")
    port=
    for _ in $(seq 600); do
        port=$(sed -n 's/^port //p' "$out")
        [ -n "$port" ] && return 0
        sleep 0.05
    done
    fail "zelpanel printed no port"
}

# Waits for every zelpanel started.
finish_panel() {
    for pid in "${panel_pids[@]}"; do wait "$pid" || fail "zelpanel exited with $?"; done
    panel_pids=()
}

# Waits up to 30 s for a line of the host's output that matches PATTERN.
wait_for() {
    for _ in $(seq 600); do
        grep -Eq -- "$1" "$work/host.out" && return 0
        sleep 0.05
    done
    return 1
}

case $scenario in
read_after_listening)
    # A burst: the messages go back to back.
    start_panel send --pty --timeout $units --pause 0 "ckt bus=1 slot=4 point=130" \
        "bit0 bus=2 slot=1 point=127; bit1 bus=2 slot=1 point=127" "battery bus=3"
    "$bin/zelhost" read --port "$port" --timeout $units --idle 1.5 0104130 0201127 0301148 0102141 >"$work/host.out" ||
        fail "zelhost read exited with $?"
    finish_panel
    for line in "0104130 1 CKT" "0201127 3 Regular" "0301148 1 Battery" "0102141 0 Line Shorted"; do
        grep -qx "$line" "$work/host.out" || fail "no line '$line'"
    done
    ;;
capture_and_replay)
    # A site's traffic, captured, then played back with the same timing. Pauses
    # longer than the read time-out give each message a read of its own, so
    # that the times the driver takes them do not hang on where reads end.
    start_panel send --pty --timeout $units --pause 0.7 "ckt bus=1 slot=4 point=130" "wait 0.8" \
        'raw "\r\nhhhhhhhhhhS1\x300003000000000000000000\xFF"' "battery bus=3" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 2 --capture "$work/first.txt" >"$work/host1.out" ||
        fail "first zelhost monitor exited with $?"
    finish_panel
    start_panel replay --pty --timeout $units "$work/first.txt"
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 2.5 --capture "$work/second.txt" >"$work/host2.out" ||
        fail "second zelhost monitor exited with $?"
    finish_panel
    [ "$(grep -c '^rx ' "$work/first.txt")" -eq 4 ] || fail "the capture holds $(grep -c '^rx ' "$work/first.txt") messages, not 4"
    # Same messages in the same order, each within 0.15 s of its time.
    paste -d '\n' <(grep '^rx ' "$work/first.txt") <(grep '^rx ' "$work/second.txt") | awk '
        NR % 2 == 1 { t = $2; $1 = $2 = ""; text = $0; next }
        { u = $2; $1 = $2 = ""
          if ($0 != text) { print "message " NR / 2 " differs"; bad = 1 }
          d = u - t; if (d < 0) d = -d
          if (d > 0.15) { print "message " NR / 2 " at " u " instead of " t; bad = 1 } }
        END { exit bad }' || fail "the replay differs from the capture"
    grep -q '0301148  Battery       0 -> 1' "$work/host2.out" || fail "the replay did not set the Battery point"
    ;;
random_soak)
    # With zelpanel's short default pause, several messages share each read.
    start_panel random --pty --seed 20261208 --count 12 --max-events 6 --timeout $units --report "$work/sent.txt"
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 1.5 --expect "$work/sent.txt" >"$work/host.out" ||
        fail "zelhost monitor exited with $?"
    finish_panel
    [ "$(grep -c '^sent ' "$work/sent.txt")" -eq 12 ] || fail "the report lists $(grep -c '^sent ' "$work/sent.txt") messages"
    grep -Eq '^summary: all [0-9]+ points match$' "$work/host.out" || fail "the summary does not match"
    grep -q '^12 messages received$' "$work/host.out" || fail "not all 12 messages received"
    ;;
stable_path)
    # A path like /dev/serial/by-id/... reaches the driver as the device's name.
    start_panel send --pty --timeout $units "bit0 bus=1 slot=1 point=1"
    mkdir "$work/by-id"
    link=$work/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0
    ln -s "/dev/$port" "$link"
    "$bin/zelhost" read --port "$link" --timeout $units --idle 1.5 0101001 >"$work/host.out" ||
        fail "zelhost read exited with $?"
    finish_panel
    grep -qx "port $link is /dev/$port, driver port name $port" "$work/host.out" || fail "the device is not named"
    grep -qx "0101001 1 Regular" "$work/host.out" || fail "the event did not arrive"
    ;;
client_refused)
    start_panel send --pty --timeout $units --wait-reader 5 clear
    status=0
    KORVAN_REGISTER=1 "$bin/zelhost" monitor --port "$port" --timeout $units >"$work/host.out" 2>"$work/host-err.out" ||
        status=$?
    [ "$status" -eq 3 ] || fail "exit status $status, expected 3"
    [ "$(wc -l <"$work/host-err.out")" -eq 1 ] || fail "standard error is not one line"
    grep -q "OpenChannel answered 1 (the host refused the channel's client)" "$work/host-err.out" ||
        fail "the driver's result is not explained"
    ;;
ctrl_c_closes)
    start_panel send --pty --timeout $units "ckt bus=1 slot=4 point=130" "wait 60" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units >"$work/host.out" 2>&1 &
    host=$!
    wait_for '0104130  CKT' || fail "the event was not shown"
    kill -INT "$host"
    status=0
    wait "$host" || status=$?
    host=
    [ "$status" -eq 0 ] || fail "zelhost exited with $status after Ctrl-C"
    grep -q '^channel closed: CloseChannel answered 0 (success)$' "$work/host.out" || fail "the channel was not closed"
    kill -INT "$panel_pid"
    finish_panel
    ;;
two_ports)
    # One monitor, a channel block per port: each panel's points on its own
    # port, also where both panels set the same address.
    start_panel send --pty --timeout $units --report "$work/sent1.txt" "ckt bus=1 slot=4 point=130" \
        "bit1 bus=2 slot=1 point=5" "wait 0.5" clear "battery bus=3"
    first=$port
    start_panel send --pty --timeout $units --report "$work/sent2.txt" "shorted bus=1 slot=2 point=141" \
        "bit0 bus=2 slot=1 point=5"
    second=$port
    "$bin/zelhost" monitor --port "$first" --port "$second" --timeout $units --idle 1.5 \
        --expect "$work/sent1.txt" --expect "$work/sent2.txt" >"$work/host.out" || fail "zelhost monitor exited with $?"
    finish_panel
    for line in "summary for $first: all 3 points match" "summary for $second: all 2 points match" \
        "summary: all 5 points match" "6 messages received ($first 4, $second 2)"; do
        grep -qxF "$line" "$work/host.out" || fail "no line '$line'"
    done
    grep -Eq "^ +[0-9.]+  $second +0201005  Regular +0 -> 1$" "$work/host.out" || fail "the second port's change is not shown"
    ;;
port_lost_and_back)
    # The panel's line goes away and comes back under the same short link,
    # as under a udev name: the driver reopens it by that name.
    link=$(mktemp -u /tmp/XXXXXX)  # 11 characters: fits the driver's port field
    start_panel send --pty --timeout $units --hold 60 "ckt bus=1 slot=4 point=130"
    ln -s "/dev/$port" "$link"
    "$bin/zelhost" monitor --port "$link" --timeout $units >"$work/host.out" 2>&1 &
    host=$!
    wait_for '0104130  CKT           0 -> 1' || fail "the first event was not shown"
    rm "$link"
    kill "$panel_pid"
    finish_panel
    wait_for "^ +[0-9.]+  $link  line lost: reopening every second$" || fail "the loss was not shown"
    start_panel send --pty --timeout $units "battery bus=3"
    ln -s "/dev/$port" "$link"
    wait_for "^ +[0-9.]+  $link  line back$" || fail "the return was not shown"
    wait_for '0301148  Battery       0 -> 1' || fail "no event after the line came back"
    kill -INT "$host"
    wait "$host" || fail "zelhost exited with $? after Ctrl-C"
    host=
    finish_panel
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
echo "ok: $scenario"
