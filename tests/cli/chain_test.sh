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
. "$(dirname "$0")/../../tools/zelpanel/announced_port.sh"

fail() {
    echo "FAIL: $*"
    for f in "$work"/*.out "$work"/*.txt; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
    done
    exit 1
}

# Starts zelpanel with ARGS and sets `port` to the pseudo-terminal it made,
# `panel_out` to its output.
start_panel() {
    local out=$work/panel${#panel_pids[@]}.out
    panel_out=$out
    "$bin/zelpanel" "$@" >"$out" 2>&1 &
    panel_pid=$!
    panel_pids+=("$panel_pid")
    port=$(zelpanel_port "$out" "$panel_pid") || fail "zelpanel printed no port"
}

# Waits for every zelpanel started.
finish_panel() {
    for pid in "${panel_pids[@]}"; do wait "$pid" || fail "zelpanel exited with $?"; done
    panel_pids=()
}

# Waits up to 30 s for a line of the host's output (or of FILE) that
# matches PATTERN.
wait_for() {
    for _ in $(seq 600); do
        grep -Eq -- "$1" "${2:-$work/host.out}" && return 0
        sleep 0.05
    done
    return 1
}

# Waits up to SECONDS for process PID to end; its exit status in `status`.
wait_ended() {
    for _ in $(seq $(($1 * 20))); do
        kill -0 "$2" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$2" 2>/dev/null && return 1
    status=0
    wait "$2" || status=$?
}

case $scenario in
read_after_listening)
    # A burst: the messages go back to back.
    start_panel send --pty --timeout $units --pause 0 "ckt bus=1 slot=4 point=130" \
        "bit0 bus=2 slot=1 point=127; bit1 bus=2 slot=1 point=127" "battery bus=3"
    "$bin/zelhost" read --port "$port" --timeout $units --idle 1.5 0104130 0201127 0301148 0102141 MESSAGES LINK \
        >"$work/host.out" || fail "zelhost read exited with $?"
    finish_panel
    for line in "0104130 1 CKT" "0201127 3 Regular" "0301148 1 Battery" "0102141 0 Line Shorted" \
        "MESSAGES 3 diagnostic tag"; do
        grep -qx "$line" "$work/host.out" || fail "no line '$line'"
    done
    # Up, or lost once the panel has closed its end.
    grep -Eqx "LINK [01] diagnostic tag" "$work/host.out" || fail "no LINK line"
    ;;
capture_and_replay)
    # A site's traffic, captured, then played back with the same timing. Pauses
    # longer than the read time-out give each message a read of its own, so
    # that the times the driver takes them do not hang on where reads end.
    # The capture goes to standard output, the console to standard error;
    # it keeps every byte (a NUL and what follows it) and the UTC time.
    start_panel send --pty --timeout $units --pause 0.7 "ckt bus=1 slot=4 point=130" "wait 0.8" \
        'raw "\r\nhhhhhhhhhhS1\x300003000000000000000000\x00after\xFF"' "battery bus=3" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 2 --capture - >"$work/first.txt" 2>"$work/host1.out" ||
        fail "first zelhost monitor exited with $?"
    finish_panel
    # Twice as fast, with the wall-clock time on the monitor's lines.
    start_panel replay --pty --timeout $units --speed 2 "$work/first.txt"
    "$bin/zelhost" monitor --utc --port "$port" --timeout $units --idle 2.5 --capture "$work/second.txt" >"$work/host2.out" ||
        fail "second zelhost monitor exited with $?"
    finish_panel
    time='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'
    [ "$(grep -Ec "^rx [0-9.]+ $time \"" "$work/first.txt")" -eq 4 ] ||
        fail "the capture holds $(grep -c '^rx ' "$work/first.txt") messages with their time, not 4"
    grep -qF '0000\x00after\xFF"' "$work/first.txt" || fail "the capture cut the message at its NUL byte"
    # Same messages in the same order, each within 0.15 s of half its time.
    paste -d '\n' <(grep '^rx ' "$work/first.txt") <(grep '^rx ' "$work/second.txt") | awk '
        NR % 2 == 1 { t = $2 / 2; $1 = $2 = $3 = ""; text = $0; next }
        { u = $2; $1 = $2 = $3 = ""
          if ($0 != text) { print "message " NR / 2 " differs"; bad = 1 }
          d = u - t; if (d < 0) d = -d
          if (d > 0.15) { print "message " NR / 2 " at " u " instead of " t; bad = 1 } }
        END { exit bad }' || fail "the replay differs from the capture"
    grep -Eq "^$time +[0-9.]+  0301148  Battery       0 -> 1$" "$work/host2.out" ||
        fail "the replay did not set the Battery point, or the line has no UTC time"
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
undone_in_one_read)
    # An alarm and the panel's clear in one read: both changes are shown, and
    # --expect passes only because both were seen.
    start_panel send --pty --timeout $units --pause 0 --report "$work/sent.txt" "ckt bus=1 slot=4 point=130" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 1.5 --expect "$work/sent.txt" >"$work/host.out" ||
        fail "zelhost monitor exited with $?"
    finish_panel
    grep -Eq '  0104130  CKT +0 -> 1$' "$work/host.out" && grep -Eq '  0104130  CKT +1 -> 0$' "$work/host.out" ||
        fail "the alarm or its clear was not shown"
    grep -Eq '^summary: all 1 points match$' "$work/host.out" || fail "the summary does not match"
    # The panel closes its end as it ends: the line is lost by then.
    grep -Eq '^line: LINK [01] (up|lost.*), SILENCE [0-9]+ s, MESSAGES 2, LOSSES [01], NOISE 0$' "$work/host.out" ||
        fail "no line summary"
    # Restarted after the panel's reset: nothing of before is shown.
    start_panel send --pty --timeout $units --report "$work/sent2.txt" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 1.5 --expect "$work/sent2.txt" >"$work/host2.out" ||
        fail "the second zelhost monitor exited with $?"
    finish_panel
    grep -q '^summary: nothing was expected and nothing changed$' "$work/host2.out" || fail "a state of before was shown"
    ;;
line_faults)
    # Noise before every message: each is still applied, and the driver
    # counts every byte of noise that zelpanel sent, however the reads cut
    # the stream, and nothing else.
    start_panel send --pty --timeout $units --noise --fault-seed 5 "ckt bus=1 slot=4 point=130" "battery bus=3" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 1.5 >"$work/host.out" ||
        fail "zelhost monitor exited with $?"
    finish_panel
    noise=$(sed -En 's/^line faults: ([0-9]+) bytes? of noise, 0 bytes corrupted$/\1/p' "$panel_out")
    [ "${noise:-0}" -gt 0 ] || fail "zelpanel sent no noise"
    grep -Eq '  0301148  Battery +1 -> 0$' "$work/host.out" || fail "the messages were not all applied"
    counted=$(sed -En 's/^line: LINK [01] (up|lost.*), SILENCE [0-9]+ s, MESSAGES 3, LOSSES [01], NOISE ([0-9]+)$/\2/p' "$work/host.out")
    [ "${counted:-0}" -eq "$noise" ] || fail "the line summary does not show 3 messages and $noise bytes of noise"
    # Every byte corrupted: no message is left, the driver drops it all.
    start_panel send --pty --timeout $units --corrupt 1 "ckt bus=1 slot=4 point=130" "battery bus=3"
    "$bin/zelhost" monitor --port "$port" --timeout $units --idle 1.5 >"$work/host2.out" 2>&1
    finish_panel
    grep -Eq "^line: LINK [01] (up|lost.*), SILENCE [0-9]+ s, MESSAGES 0, LOSSES [01], NOISE [1-9][0-9]*\$" "$work/host2.out" ||
        fail "the corrupted messages were not all counted as noise"
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
    ;;
panel_stops)
    # Ctrl-C and SIGTERM end zelpanel at once, also while it waits for a
    # reader; cut short, it exits 128 + the signal.
    for stage in "INT 130 reader" "TERM 143 reader" "INT 130 message" "TERM 143 message"; do
        set -- $stage
        start_panel send --pty --timeout $units --start-delay 0 clear "wait 60" clear
        if [ "$3" = message ]; then
            exec 3<"/dev/$port"  # a reader: the first message goes out, then the wait
            wait_for '^message 1 ' "$panel_out" || fail "no message sent"
        else
            wait_for '^waiting for a reader' "$panel_out" || fail "zelpanel is not waiting"
        fi
        kill -"$1" "$panel_pid"
        wait_ended 3 "$panel_pid" || fail "zelpanel did not stop on SIG$1 ($3)"
        [ "$status" -eq "$2" ] || fail "zelpanel exited with $status after SIG$1 ($3), expected $2"
        exec 3<&-
        panel_pids=()
    done
    # A reader that opens and closes the port at once (as zelhost read does
    # within milliseconds) is seen.
    start_panel send --pty --timeout $units --start-delay 0 --wait-reader 60 clear
    wait_for '^waiting for a reader' "$panel_out" || fail "zelpanel is not waiting"
    : <"/dev/$port"
    wait_ended 10 "$panel_pid" || fail "zelpanel missed the reader"
    [ "$status" -eq 3 ] && grep -q 'the reader has closed the port' "$panel_out" ||
        fail "zelpanel exited with $status, not for the reader that left"
    panel_pids=()
    # Its progress reaches a file line by line, while it still runs.
    "$bin/zelpanel" random --port NUL --count 3 --pause 5 >"$work/random.out" 2>&1 &
    panel_pids+=($!)
    wait_for '^message 1 at ' "$work/random.out" && kill -0 "${panel_pids[0]}" ||
        fail "zelpanel random wrote its progress only at its end"
    ;;
silent_line)
    # Nothing arrives: --idle counts from the start of listening and ends
    # with a line that says so, and exit status 1.
    start_panel send --pty --timeout $units "wait 60" clear
    for command in "monitor|" "read|0104130"; do
        status=0
        timeout 20 "$bin/zelhost" "${command%|*}" --port "$port" --timeout $units --idle 0.5 ${command#*|} \
            >"$work/host.out" 2>"$work/host-err.out" || status=$?
        [ "$status" -eq 1 ] || fail "zelhost ${command%|*} exited with $status"
        grep -qx 'zelhost: no message received in 0.5 s: check the cable, the line settings and the panel' \
            "$work/host-err.out" || fail "zelhost ${command%|*} did not say that nothing came"
    done
    # A line quiet for its --silence-limit (a cut cable leaves LINK up) is
    # told at once, and so is the message that ends the silence.
    kill "${panel_pids[@]}" 2>/dev/null
    panel_pids=()
    start_panel send --pty --timeout $units "ckt bus=1 slot=4 point=130" "wait 3.5" clear
    "$bin/zelhost" monitor --port "$port" --timeout $units --silence-limit 2 --idle 4 --events "$work/events.jsonl" \
        >"$work/host.out" || fail "zelhost monitor exited with $?"
    finish_panel
    grep -Eq '^ +[0-9.]+  line silent: no message for 2 s$' "$work/host.out" || fail "the silence was not told"
    grep -Eq '^ +[0-9.]+  line up: messages again$' "$work/host.out" || fail "the end of the silence was not told"
    # (The panel closes its end as it ends: a loss may follow.)
    [ "$(grep -o '"line":"[a-z]*"' "$work/events.jsonl" | head -n 2 | tr '\n' ' ')" = '"line":"silent" "line":"up" ' ] ||
        fail "the history does not hold the silence and its end"
    ;;
port_busy)
    # A port that another program holds is "in use", in both tools and the gateway.
    start_panel send --pty --timeout $units "wait 60" clear
    held=$port
    start_panel send --port "$held" --timeout $units "wait 60" clear
    wait_for "^port $held: " "$panel_out" || fail "the second zelpanel did not open $held"
    for command in "zelhost read --port $held 0104130" "zelpanel send --port $held clear" \
        "zelhost publish --port $held --dry-run"; do
        status=0
        "$bin/${command%% *}" ${command#* } >"$work/host.out" 2>"$work/host-err.out" || status=$?
        [ "$status" -eq 2 ] && grep -q "$held: in use by another program" "$work/host-err.out" ||
            fail "$command: exit status $status, $(cat "$work/host-err.out")"
    done
    ;;
refusals)
    # Refused before anything is opened, each with a line of its own that
    # holds no control character and no more than a few hundred bytes.
    printf '' >"$work/empty.txt"
    printf '# zelhost capture: rx SECONDS UTC-TIME TEXT\nrx 0.000 "gggggggggg"\n' >"$work/capture.txt"
    printf 'sent 1 0.000 "x" raw\nexpect 1 0104130 4\n' >"$work/impossible.txt"
    long=$(head -c 100000 /dev/zero | tr '\0' x)
    while IFS='|' read -r want pattern command; do
        status=0
        eval "$command" >"$work/out.txt" 2>"$work/err.txt" || status=$?
        [ "$status" -eq "$want" ] || fail "$command: exit status $status, expected $want"
        grep -Eq -- "$pattern" "$work/err.txt" || fail "$command: standard error does not match $pattern"
        [ "$(wc -c <"$work/err.txt")" -lt 400 ] || fail "$command: standard error is too long"
        ! LC_ALL=C grep -q '[[:cntrl:]]' <(tr -d '\n' <"$work/err.txt") || fail "$command: a control character on the terminal"
    done <<'CASES'
2|--expect .*empty.txt: is empty$|"$bin/zelhost" monitor --port NUL --expect "$work/empty.txt"
2|--expect .*capture.txt: is a zelhost capture|"$bin/zelhost" monitor --port NUL --expect "$work/capture.txt"
2|line 2: value 4 for 0104130 is impossible: a point's value is 0-3|"$bin/zelhost" monitor --port NUL --expect "$work/impossible.txt"
2|^zelhost: KORVAN_REGISTER 'abc' is not a number|KORVAN_REGISTER=abc "$bin/zelhost" info
2|^zelhost: KORVAN_LOG_FILE .* cannot be opened|KORVAN_LOG_FILE=/nonexistent/korvan.log "$bin/zelhost" info
2|^zelhost: no such port: \\x1B\[31m|"$bin/zelhost" monitor --port $'\e[31m'
2|\(1000[0-9]{2} bytes\)|"$bin/zelpanel" show "bit0 bus=1 slot=1 point=$long"
CASES
    # A script as Windows editors write it; the stand-in's log file gets the
    # driver's lines while zelhost shows them.
    printf '\xEF\xBB\xBFclear\r\n' >"$work/bom.txt"
    "$bin/zelpanel" show --script "$work/bom.txt" | grep -q '^sent 1 0.000 "gggggggggg' || fail "the byte-order mark was not skipped"
    KORVAN_LOG_FILE=$work/korvan.log "$bin/zelhost" read --port NUL 0104130 >"$work/host.out" || fail "zelhost read exited with $?"
    grep -q '^\[32\] ZelQX : Start Unsoliceted Thread$' "$work/korvan.log" || fail "KORVAN_LOG_FILE holds no driver line"
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
    printf '0104130,Boiler room\n' >"$work/points.csv"
    "$bin/zelhost" monitor --port "$link" --timeout $units --points "$work/points.csv" --events "$work/events.jsonl" \
        >"$work/host.out" 2>&1 &
    host=$!
    wait_for '0104130  CKT           0 -> 1  Boiler room$' || fail "the first event was not shown with its name"
    # SIGUSR1 lists the active points at once, grouped, with their names.
    kill -USR1 "$host"
    wait_for '^    0104130  CKT           1  Boiler room$' || fail "SIGUSR1 gave no listing"
    grep -q '^  bus 01, slot 04$' "$work/host.out" || fail "the listing is not grouped by bus and slot"
    rm "$link"
    kill "$panel_pid"
    finish_panel
    wait_for "^ +[0-9.]+  $link  line lost: reopening every second$" || fail "the loss was not shown"
    wait_for "^ +[0-9.]+  link: lost \(device away" || fail "LINK did not read lost"
    start_panel send --pty --timeout $units "battery bus=3"
    ln -s "/dev/$port" "$link"
    wait_for "^ +[0-9.]+  $link  line back$" || fail "the return was not shown"
    wait_for '0301148  Battery       0 -> 1' || fail "no event after the line came back"
    [ "$(grep -c '  link: up, silent' "$work/host.out")" -eq 2 ] || fail "LINK did not read up again"
    kill -INT "$host"
    wait "$host" || fail "zelhost exited with $? after Ctrl-C"
    host=
    finish_panel
    # The history holds the start, the changes, the loss and the return, and the stop, in that order.
    grep -o '"monitor":"[a-z]*"\|"line":"[a-z]*"\|"name":"Boiler room"\|"address":"0301148"' "$work/events.jsonl" | tr '\n' ' ' \
        >"$work/history.txt"
    grep -qx '"monitor":"start" "name":"Boiler room" "line":"lost" "line":"back" "address":"0301148" "monitor":"stop" ' \
        "$work/history.txt" || fail "the history is $(cat "$work/history.txt")"
    ;;
walk_test)
    # A walk test: two of three named points trip, the first twice (a trip
    # after the panel's reset has its own time), and a device the list does
    # not name. Enter on the terminal lists the active points and the sheet;
    # the sheet file to hand in is rewritten at each listing; at the end the
    # sheet names the point that never reported and the mis-addressed
    # device, and the exit status says the test is not done.
    printf '%s\r\n' '"0104130","Boiler room, east",ckt' '0201005,Lobby,REGULAR' '0301148,Panel battery,Battery' \
        >"$work/points.csv"
    start_panel send --pty --timeout $units "ckt bus=1 slot=4 point=130" "wait 1" clear "wait 0.5" \
        "ckt bus=1 slot=4 point=130" "bit0 bus=2 slot=1 point=5" "bit0 bus=2 slot=1 point=6"
    status=0
    /usr/bin/python3 "$(dirname "$0")/on_terminal.py" --enter '0 -> 1  Boiler room, east' "$bin/zelhost" monitor --port "$port" \
        --timeout $units --idle 1.5 --points "$work/points.csv" --walk-test --utc --sheet "$work/sheet.txt" \
        --site "Main building, east" --engineer "J. Smith" >"$work/host.out" || status=$?
    finish_panel
    [ "$status" -eq 1 ] || fail "zelhost monitor exited with $status, not 1"
    # Enter, before the second point tripped: one point reported so far.
    wait_for '^walk test: 1 of 3 named points reported$' || fail "Enter gave no sheet"
    grep -q '^walk test: 2 of 3 named points reported$' "$work/host.out" || fail "no final sheet"
    grep -A1 '^never reported: 1$' "$work/host.out" | grep -Eq '^  0301148  Battery +Panel battery$' ||
        fail "the sheet does not name the battery"
    # The record: its heading, both trips of the boiler room, the lobby, and the device not on the list.
    for line in '^Walk test record$' '^  site: +Main building, east$' '^  engineer: J\. Smith$' \
        "^  ports: +$port \(channel 1\)\$" '^  started: +20[0-9-]+T[0-9:.]+Z$' '^  ended: +20[0-9-]+T[0-9:.]+Z$' \
        '^  times: +UTC$' '^  driver: +ZELWNQX [0-9.]+$' '^walk test: 2 of 3 named points reported$' \
        '^reported but not on the list: 1$' '^  20[0-9-]+T[0-9:.]+Z  0201006  Regular +0 -> 1$'; do
        grep -Eq -- "$line" "$work/sheet.txt" || fail "the sheet file has no line $line"
    done
    [ "$(grep -Ec '^  20[0-9-]+T[0-9:.]+Z  0104130  CKT +Boiler room, east +0 -> 1$' "$work/sheet.txt")" -eq 2 ] ||
        fail "the sheet file does not hold both trips of the boiler room"
    grep -Eq '^  20[0-9-]+T[0-9:.]+Z  0201005  Regular +Lobby +0 -> 1$' "$work/sheet.txt" || fail "the sheet lacks the lobby"
    ;;
piped)
    # The reader of the monitor's output ends (head): the monitor ends as on
    # Ctrl-C, and its record is whole: the history's stop line, the sheet's
    # final listing.
    printf '0104130,Boiler room\n' >"$work/points.csv"
    start_panel send --pty --timeout $units "ckt bus=1 slot=4 point=130" "wait 1" "ckt bus=1 slot=4 point=131" "wait 30" clear
    status=0
    timeout 20 bash -c '"$@" | head -n 3 >/dev/null' _ "$bin/zelhost" monitor --port "$port" --timeout $units \
        --points "$work/points.csv" --walk-test --sheet "$work/sheet.csv" --events "$work/events.jsonl" \
        2>"$work/host-err.out" || status=$?
    [ "$status" -ne 124 ] || fail "the monitor did not end when its reader did"
    tail -n 1 "$work/events.jsonl" | grep -q '"monitor":"stop"' || fail "the history has no stop line"
    grep -q '^ended,20' "$work/sheet.csv" || fail "the sheet file has no final listing"
    grep -q '^port,channel,entry,address,type,name,time,old,new' "$work/sheet.csv" || fail "the sheet file has no table"
    ;;
freed_number)
    # Each test has terminals of its own (scripts/own-ptys.sh). A first test's
    # host, whose panel has ended, reopens the freed name every second; the
    # panel of a second test, started then, is read by its own host alone.
    own=$(dirname "$0")/../../scripts/own-ptys.sh
    [ "$(ZEL_PTYS='' "$own" printenv ZEL_PTYS)" = own ] || { echo "SKIP: no terminals of its own here (root only)"; exit 77; }
    # PANEL-OUT PANEL-COMMAND... -- HOST-COMMAND...: both in terminals of
    # their own, {port} in the host's command replaced by the panel's port.
    export -f zelpanel_port
    in_own_terminals() {
        ZEL_PTYS='' "$own" bash -c '
            out=$1; shift
            panel=(); while [ "$1" != -- ]; do panel+=("$1"); shift; done; shift
            "${panel[@]}" >"$out" 2>&1 &
            port=$(zelpanel_port "$out" $!) || { echo "zelpanel printed no port"; exit 1; }
            exec "${@//\{port\}/$port}"' _ "$@"
    }
    in_own_terminals "$work/first-panel.out" "$bin/zelpanel" send --pty --timeout $units clear -- \
        "$bin/zelhost" monitor --port '{port}' --timeout $units --idle 15 >"$work/first-host.out" 2>&1 &
    host=$!
    wait_for "line lost: reopening every second$" "$work/first-host.out" || fail "the first host did not lose its line"
    # The second host opens its port after the first host's next attempt.
    status=0
    in_own_terminals "$work/second-panel.out" "$bin/zelpanel" send --pty --timeout $units "ckt bus=1 slot=4 point=130" -- \
        bash -c 'sleep 1.5; exec "$@"' _ "$bin/zelhost" read --port '{port}' --timeout $units --idle 1.5 0104130 \
        >"$work/second-host.out" 2>&1 || status=$?
    [ "$status" -eq 0 ] && grep -qx "0104130 1 CKT" "$work/second-host.out" ||
        fail "the second host exited with $status without its panel's message"
    ! grep -q "line back" "$work/first-host.out" || fail "the first host took another test's line"
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
echo "ok: $scenario"
