#!/usr/bin/env bash
# zelhost publish against the real Mosquitto broker, which this script
# starts on a free loopback port: zelpanel plays the panel on a
# pseudo-terminal, the gateway publishes, mosquitto_sub listens. The modbus_*
# scenarios need no broker: the gateway serves Modbus TCP alone, read by
# independent clients (mbpoll, and pymodbus under /usr/bin/python3).
# Usage: mqtt_test.sh SCENARIO BIN_DIR
set -u
scenario=$1
bin=$2
units=10  # read time-out of 0.1 s
work=$(mktemp -d)
prefix=zelwnqx/test
pids=()
broker=
gateway=
cleanup() {
    for pid in "${pids[@]}" $gateway $broker; do kill -9 "$pid" 2>/dev/null; done
    rm -f "${links[@]}"
    rm -rf "$work"
}
links=()
trap cleanup EXIT
. "$(dirname "$0")/../../tools/zelpanel/announced_port.sh"

fail() {
    echo "FAIL: $*"
    for f in "$work"/*.out "$work"/*.log; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
    exit 1
}

# Starts the broker with the listener settings given (added to a free
# port's listener), or on the same port again when BROKER_PORT is set.
start_broker() {
    for _ in $(seq 20); do
        port=${BROKER_PORT:-$((20000 + RANDOM % 20000))}
        # As root the broker would drop to its own user, which cannot read
        # this test's files.
        # The site settings of docs/mosquitto-site.conf: no QoS 1 message is
        # dropped for a subscriber that falls behind.
        { echo "listener $port 127.0.0.1"; echo "persistence false"; echo "user $(id -un)";
          grep -v '^#' "$(dirname "$0")/../../docs/mosquitto-site.conf" | grep -v '^listener\|^persistence\|^$';
          printf '%s\n' "$@"; } >"$work/broker.conf"
        mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
        broker=$!
        for _ in $(seq 40); do
            grep -q "Opening ipv4 listen socket on port $port" "$work/broker.log" 2>/dev/null && sleep 0.1 && return 0
            kill -0 "$broker" 2>/dev/null || break
            sleep 0.05
        done
        kill "$broker" 2>/dev/null
        [ -n "${BROKER_PORT:-}" ] && sleep 0.5
    done
    fail "the broker did not start"
}

# zelpanel on a new pseudo-terminal; sets `pty`.
start_panel() {
    "$bin/zelpanel" "$@" >"$work/panel.out" 2>&1 &
    pids+=($!)
    pty=$(zelpanel_port "$work/panel.out" "${pids[-1]}") || fail "zelpanel printed no port"
}

start_gateway() {
    "$bin/zelhost" publish --port "$pty" --timeout $units --broker 127.0.0.1 --broker-port "$port" \
        --prefix "$prefix" "$@" >"$work/gateway.out" 2>&1 &
    gateway=$!
    wait_for "$work/gateway.out" "publishing to" || fail "the gateway did not connect"
}

# The gateway as `zelhost ARGUMENTS...` (run by the command in `launcher`,
# if any), serving Modbus TCP on a free loopback port; sets `mport`.
launcher=()
start_modbus_gateway() {
    "${launcher[@]}" "$bin/zelhost" "$@" >"$work/gateway.out" 2>&1 &
    gateway=$!
    wait_for "$work/gateway.out" "serving Modbus TCP on" || fail "the Modbus server did not start"
    mport=$(sed -n 's/.*serving Modbus TCP on .*:\([0-9]*\), units.*/\1/p' "$work/gateway.out")
}

# The gateway as `zelhost ARGUMENTS...`, serving HTTP on a free loopback
# port; sets `hport` and `scheme`.
start_http_gateway() {
    "$bin/zelhost" "$@" >"$work/gateway.out" 2>&1 &
    gateway=$!
    wait_for "$work/gateway.out" "serving HTTPS? on" || fail "the HTTP server did not start"
    hport=$(sed -n 's/.*serving HTTPS\{0,1\} on .*:\([0-9]*\), read-only.*/\1/p' "$work/gateway.out")
    scheme=http
    grep -q "serving HTTPS on" "$work/gateway.out" && scheme=https
}

# Runs the Python program on standard input with pymodbus, given the port.
modbus_client() { /usr/bin/python3 - "$mport" "$@" >"$work/client.out" 2>&1 || fail "$(cat "$work/client.out")"; }

# Waits up to SECONDS for process PID to end.
# A test CA and a server certificate for 127.0.0.1 signed by it, in $work
# (ca.crt, server.crt, server.key); openssl's output in openssl.log.
make_server_certificate() {
    (cd "$work" &&
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj /CN=zel-test-ca &&
        openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1 &&
        printf 'subjectAltName=IP:127.0.0.1\n' >san.ext &&
        openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt -days 2 \
            -extfile san.ext) >"$work/openssl.log" 2>&1 || fail "openssl"
}

wait_ended() {
    for _ in $(seq $(($1 * 20))); do kill -0 "$2" 2>/dev/null || return 0; sleep 0.05; done
    return 1
}

# Waits up to 20 s for a line matching PATTERN in FILE.
wait_for() {
    for _ in $(seq 400); do
        grep -Eq -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# The retained state under the prefix, one "topic payload" line each, sorted.
retained() {
    timeout 5 mosquitto_sub -h 127.0.0.1 -p "$port" -t "$prefix/#" -v --retained-only -W 1 "${sub_options[@]}" 2>/dev/null |
        sort
}
sub_options=()

# Waits up to 10 s for the retained topics matching PATTERN to be EXPECTED.
expect_retained() {
    local got
    for _ in $(seq 10); do
        got=$(retained | grep -E "$1")
        [ "$got" = "$2" ] && return 0
    done
    fail "retained state '$1': expected [$2], got [$got]"
}

case $scenario in
retained_and_events)
    # A burst, every point as sent: the retained state and the events in order.
    start_broker "allow_anonymous true"
    timeout 20 mosquitto_sub -h 127.0.0.1 -p "$port" -t "$prefix/1/events" -C 4 >"$work/events.out" 2>&1 &
    pids+=($!)
    sleep 0.2
    start_panel send --pty --timeout $units --pause 0 --start-delay 2 --hold 20 "ckt bus=1 slot=4 point=130" \
        "bit0 bus=2 slot=1 point=5" "bit1 bus=2 slot=1 point=5" "battery bus=3"
    printf '0104130,Lobby\n0301148,Battery 3,Battery\n' >"$work/points.csv"
    start_gateway --points "$work/points.csv" --homeassistant
    wait_for "$work/events.out" '"address":"0301148"' || fail "not all events arrived"
    addresses=$(sed 's/.*"address":"\([0-9]*\)".*"old":\([0-3]\),"new":\([0-3]\).*/\1 \2 \3/' "$work/events.out" | tr '\n' ' ')
    [ "$addresses" = "0104130 0 1 0201005 0 1 0201005 1 3 0301148 0 1 " ] || fail "events out of order: $addresses"
    expect_retained '/point/' "$(printf '%s\n' "$prefix/1/point/0104130 1" "$prefix/1/point/0201005 3" \
        "$prefix/1/point/0301148 1")"
    expect_retained '/named/' "$(printf '%s\n' "$prefix/1/named/Battery 3 1" "$prefix/1/named/Lobby 1")"
    expect_retained 'status|line' "$(printf '%s\n' "$prefix/1/line up" "$prefix/status online")"
    configs=$(timeout 5 mosquitto_sub -h 127.0.0.1 -p "$port" -t 'homeassistant/#' --retained-only -W 1 2>/dev/null | grep -c state_topic)
    [ "$configs" = 3 ] || fail "expected 3 discovery configs (two points, the line), got $configs"
    ;;
undone_then_restart)
    # An alarm and the panel's clear in one read are two events; a restarted
    # gateway leaves no state of its earlier run retained.
    start_broker "allow_anonymous true"
    timeout 20 mosquitto_sub -h 127.0.0.1 -p "$port" -t "$prefix/1/events" -C 3 >"$work/events.out" 2>&1 &
    pids+=($!)
    sleep 0.2
    start_panel send --pty --timeout $units --pause 0 --start-delay 2 --hold 20 "ckt bus=1 slot=4 point=130" clear \
        "wait 1" "bit0 bus=2 slot=1 point=5"
    printf '0104130,Lobby\n' >"$work/points.csv"
    start_gateway --points "$work/points.csv"
    wait_for "$work/events.out" '"address":"0201005"' || fail "not all events arrived"
    addresses=$(sed 's/.*"address":"\([0-9]*\)".*"old":\([0-3]\),"new":\([0-3]\).*/\1 \2 \3/' "$work/events.out" | tr '\n' ' ')
    [ "$addresses" = "0104130 0 1 0104130 1 0 0201005 0 1 " ] || fail "events: $addresses"
    # Numbered from 1 in one run; known from the panel's clear on.
    numbers=$(sed 's/.*"run":"\([0-9a-f]*\)","seq":\([0-9]*\),"known":\([a-z]*\)}$/\1 \2 \3/' "$work/events.out" | tr '\n' ' ')
    run=${numbers%% *}
    [ "${#run}" -eq 16 ] && [ "$numbers" = "$run 1 false $run 2 true $run 3 true " ] || fail "numbers: $numbers"
    grep -q "zelhost: publishing to 127.0.0.1:$port under $prefix, run $run$" "$work/gateway.out" ||
        fail "the log does not name the run $run"
    expect_retained '/point/|/named/' "$(printf '%s\n' "$prefix/1/named/Lobby 0" "$prefix/1/point/0104130 0" \
        "$prefix/1/point/0201005 1")"
    expect_retained '/diag/LINK' "$prefix/1/diag/LINK 0"
    kill "$gateway"
    wait "$gateway"
    # The panel is reset after the restart: the new run's table is all 0,
    # and a named point's state is known from then, not before.
    timeout 20 mosquitto_sub -h 127.0.0.1 -p "$port" -t "$prefix/1/known/0201005" -C 2 >"$work/known.out" 2>&1 &
    pids+=($!)
    start_panel send --pty --timeout $units --start-delay 2 --hold 20 clear
    printf '0201005,Office\n' >"$work/points.csv"
    start_gateway --points "$work/points.csv"
    wait_for "$work/gateway.out" "retained topics of an earlier run cleared" || fail "nothing cleared"
    expect_retained '/point/|/named/' "$prefix/1/named/Office 0"
    wait_for "$work/known.out" "^1$" || fail "the point's state did not become known"
    [ "$(tr '\n' ' ' <"$work/known.out")" = "0 1 " ] ||
        fail "the point was not unknown until the panel's clear: $(tr '\n' ' ' <"$work/known.out")"
    expect_retained '/diag/KNOWN' "$prefix/1/diag/KNOWN 1"
    ;;
latin1_points)
    # A points file saved as Latin-1 is refused before anything is opened.
    printf '0104130,Lobby\n0104001,B\xfcro\n' >"$work/points.csv"
    status=0
    timeout 10 "$bin/zelhost" publish --port NUL --points "$work/points.csv" --dry-run >"$work/refused.out" 2>&1 || status=$?
    [ "$status" -eq 2 ] || fail "a Latin-1 name gave exit status $status"
    grep -q "points.csv: line 2: the name is not UTF-8" "$work/refused.out" || fail "the line is not named"
    ;;
two_prefixes)
    # Two gateways on one host, one prefix under the other: neither replaces
    # the other's Home Assistant entities, and the outer one's start-up
    # clean-up leaves the inner one's retained topics alone.
    start_broker "allow_anonymous true"
    start_panel send --pty --timeout $units --start-delay 2 --hold 20 "ckt bus=1 slot=4 point=130"
    printf '0104130,Lobby\n' >"$work/a.csv"
    prefix=bldgA/east start_gateway --homeassistant --points "$work/a.csv"
    first=$gateway
    pids+=("$first")
    mv "$work/gateway.out" "$work/gateway-a.out"
    prefix=bldgA/east expect_retained '/point/' "bldgA/east/1/point/0104130 1"
    east=$(prefix=bldgA/east retained | cut -d' ' -f1)
    start_panel send --pty --timeout $units --start-delay 2 --hold 20 "ckt bus=1 slot=4 point=130"
    printf '0104130,Garage\n' >"$work/b.csv"
    prefix=bldgA start_gateway --homeassistant --points "$work/b.csv"
    prefix=bldgA expect_retained '^bldgA/1/diag/NOISE' "bldgA/1/diag/NOISE 0"  # published after its clean-up
    [ "$(prefix=bldgA/east retained | cut -d' ' -f1)" = "$east" ] || fail "the outer gateway cleared the inner one's topics"
    configs() { timeout 5 mosquitto_sub -h 127.0.0.1 -p "$port" -t 'homeassistant/#' -v --retained-only -W 1 2>/dev/null; }
    for _ in $(seq 20); do [ "$(configs | grep -c state_topic)" = 4 ] && break; sleep 0.2; done
    configs | grep -q '^homeassistant/binary_sensor/bldgA_east_1_0104130/config .*"name":"Lobby"' || fail "the east wing's point"
    configs | grep -q '^homeassistant/binary_sensor/bldgA_1_0104130/config .*"name":"Garage"' || fail "building A's point"
    [ "$(configs | grep -c state_topic)" = 4 ] || fail "expected 4 configs (two points, two lines)"
    ;;
absent_port)
    # A port not there at the start (an adapter pulled while the gateway
    # restarts): the other panel is served, the channel reads "no port" and
    # is opened once its port comes.
    start_broker "allow_anonymous true"
    start_panel send --pty --timeout $units --start-delay 2 --hold 30 "bit0 bus=1 slot=1 point=1"
    first=$pty
    link=$(mktemp -u /tmp/XXXXXX)  # 11 characters: fits the driver's port field
    links+=("$link")
    start_gateway --port "$link"
    expect_retained '/1/point/|/2/line' "$(printf '%s\n' "$prefix/1/point/0101001 1" "$prefix/2/line no port")"
    grep -q "zelhost: channel 2: no such port: $link; opened once it is there" "$work/gateway.out" || fail "the wait is not logged"
    mv "$work/panel.out" "$work/panel1.out"
    start_panel send --pty --timeout $units --start-delay 2 --hold 30 "bit0 bus=2 slot=2 point=2"
    ln -s "/dev/$pty" "$link"
    expect_retained '/2/point/|/2/line' "$(printf '%s\n' "$prefix/2/line up" "$prefix/2/point/0202002 1")"
    grep -q "zelhost: channel 2 on $link: its port is there now" "$work/gateway.out" || fail "the opening is not logged"
    ;;
silent_panel)
    # A panel falls quiet while its port stays (a cut RS-232 cable leaves LINK
    # at 0): silent within --silence-limit and a second, up with the next
    # message; SILENCE published at most every 10 s.
    start_broker "allow_anonymous true"
    timeout 40 mosquitto_sub -h 127.0.0.1 -p "$port" -t "$prefix/1/#" -F '%U %t %p' >"$work/watch.out" 2>&1 &
    pids+=($!)
    sleep 0.2
    start_panel send --pty --timeout $units --start-delay 1 --hold 30 "bit0 bus=1 slot=1 point=1" "wait 9" "bit0 bus=1 slot=1 point=2"
    start_gateway --silence-limit 5
    wait_for "$work/watch.out" '"address":"0101002"' || fail "the second message did not arrive"
    sleep 1.5
    awk '/"address":"0101001"/ { first = $1 } /"address":"0101002"/ { second = $1 } $2 ~ /SILENCE$/ { often += n++ && $1 - last < 9.9; last = $1 }
        $2 ~ /line$/ { states = states $3 " " } / silent$/ { silent = $1 - first } / up$/ && second { up = $1 - second }
        END { printf "line %s: silent %.2f s after the last message (limit 5), up %.2f s after the next\n", states, silent, up
              exit !(states == "up silent up " && silent >= 4.9 && silent <= 6.3 && up <= 1.2 && n >= 2 && !often) }' \
        "$work/watch.out" || fail "the silent line, or SILENCE published more often than every 10 s"
    ;;
clean_stop)
    # SIGTERM while the broker stalls: the gateway says offline and waits for
    # the acknowledgements, so that all 60 points are retained.
    start_broker "allow_anonymous true"
    events=()
    for point in $(seq 1 60); do events+=("bit0 bus=1 slot=1 point=$point"); done
    start_panel send --pty --timeout $units --start-delay 4 --pause 0.01 --hold 30 "${events[@]}"
    start_gateway
    kill -STOP "$broker"
    wait_for "$work/panel.out" "^message 60 at" || fail "the panel did not send"
    sleep 1
    kill -TERM "$gateway"
    sleep 1
    kill -CONT "$broker"
    wait "$gateway" || fail "the gateway exited with $?"
    gateway=
    [ "$(retained | grep -c '/point/0101[0-9]* 1$')" = 60 ] || fail "$(retained | grep -c '/point/') of 60 points retained"
    expect_retained 'status' "$prefix/status offline"
    ;;
stop_while_connecting)
    # A broker that takes the connection and never answers: Ctrl-C ends the
    # wait at once, not after its 10 s.
    port=$((20000 + RANDOM % 20000))
    python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); print("listening", flush=True)
c = s.accept(); time.sleep(30)' "$port" >"$work/silent.out" 2>&1 &
    pids+=($!)
    wait_for "$work/silent.out" "^listening" || fail "the silent broker did not start"
    "$bin/zelhost" publish --port NUL --broker 127.0.0.1 --broker-port "$port" >"$work/gateway.out" 2>&1 &
    gateway=$!
    sleep 1
    kill -INT "$gateway"
    wait_ended 2 "$gateway" || fail "Ctrl-C did not stop the connecting gateway within 2 s"
    gateway=
    grep -q "stopped while connecting to the broker" "$work/gateway.out" || fail "no line about the stop"
    ;;
broker_restart)
    # The broker goes away and comes back without its state: the gateway
    # reconnects, sends the whole state again, then the events it kept.
    start_broker "allow_anonymous true"
    start_panel send --pty --timeout $units --start-delay 2 --hold 30 "bit0 bus=1 slot=1 point=1" "wait 2" \
        "bit0 bus=1 slot=1 point=2" "bit0 bus=1 slot=1 point=3"
    start_gateway
    expect_retained '/point/' "$prefix/1/point/0101001 1"
    kill "$broker"
    wait "$broker" 2>/dev/null
    wait_for "$work/gateway.out" "Z zelhost: lost the broker" || fail "the loss of the broker was not logged when it happened"
    sleep 2.5  # the panel sends the other two meanwhile
    BROKER_PORT=$port start_broker "allow_anonymous true"
    timeout 30 mosquitto_sub -h 127.0.0.1 -p "$port" -t "$prefix/1/events" -C 2 >"$work/events.out" 2>&1 &
    pids+=($!)
    wait_for "$work/gateway.out" "state sent again" || fail "no reconnection"
    expect_retained '/point/' "$(printf '%s\n' "$prefix/1/point/0101001 1" "$prefix/1/point/0101002 1" \
        "$prefix/1/point/0101003 1")"
    # The events of the outage, kept and sent after the state, in order.
    wait_for "$work/events.out" '"address":"0101003"' || fail "the events of the outage were not sent"
    [ "$(grep -o '"address":"[0-9]*"' "$work/events.out" | tr '\n' ' ')" = '"address":"0101002" "address":"0101003" ' ] ||
        fail "the outage's events out of order"
    # Stopped while the broker is away again: it tells what was not
    # acknowledged as a count it can have (nothing was left open here).
    kill "$broker"
    wait "$broker" 2>/dev/null
    kill -TERM "$gateway"
    wait "$gateway" || fail "the gateway exited with $? when stopped without a broker"
    gateway=
    ! grep -q "publications were not acknowledged" "$work/gateway.out" || fail "$(grep acknowledged "$work/gateway.out")"
    ;;
sigkill_offline)
    # A gateway killed outright leaves "offline" behind as its last will
    # (over MQTT 5 here; the other scenarios speak 3.1.1).
    start_broker "allow_anonymous true"
    start_panel send --pty --timeout $units --start-delay 2 --wait-reader 5 "bit0 bus=1 slot=1 point=1"
    start_gateway --mqtt-version 5
    expect_retained 'status' "$prefix/status online"
    kill -9 "$gateway"
    sleep 0.5
    expect_retained 'status' "$prefix/status offline"
    ;;
password)
    # The right password (from the environment) is accepted; a wrong one
    # (from a file) is refused at once with a clear error, not retried.
    mosquitto_passwd -c -b "$work/passwords" site 'right pass' >/dev/null 2>&1 || fail "mosquitto_passwd"
    start_broker "allow_anonymous false" "password_file $work/passwords"
    sub_options=(-u site -P 'right pass')
    start_panel send --pty --timeout $units --start-delay 2 "bit0 bus=1 slot=1 point=9"
    ZELHOST_MQTT_PASSWORD='right pass' start_gateway --username site
    expect_retained 'status' "$prefix/status online"
    kill "$gateway"
    wait "$gateway"
    gateway=
    printf 'wrong\n' >"$work/wrong"
    status=0
    timeout 10 "$bin/zelhost" publish --port NUL --broker 127.0.0.1 --broker-port "$port" --username site \
        --password-file "$work/wrong" >"$work/refused.out" 2>&1 || status=$?
    [ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "a wrong password gave exit status $status"
    grep -q "refused the connection: .*not authori[sz]ed" "$work/refused.out" || fail "no clear refusal"
    ;;
tls)
    # A TLS listener with a certificate this test makes: the right CA
    # connects, another CA fails with a clear error.
    make_server_certificate
    (cd "$work" && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.crt -days 2 -subj /CN=other) \
        >>"$work/openssl.log" 2>&1 || fail "openssl"
    start_broker "allow_anonymous true" "cafile $work/ca.crt" "certfile $work/server.crt" "keyfile $work/server.key"
    start_panel send --pty --timeout $units --start-delay 2 "bit0 bus=1 slot=1 point=9"
    start_gateway --cafile "$work/ca.crt"
    got=$(timeout 5 mosquitto_sub -h 127.0.0.1 -p "$port" --cafile "$work/ca.crt" -t "$prefix/status" -C 1 -W 3 2>&1)
    [ "$got" = online ] || fail "over TLS: expected online, got [$got]"
    status=0
    timeout 10 "$bin/zelhost" publish --port NUL --broker 127.0.0.1 --broker-port "$port" --cafile "$work/other.crt" \
        >"$work/untrusted.out" 2>&1 || status=$?
    [ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "an untrusted certificate gave exit status $status"
    grep -q "the broker's certificate is not signed by the CA in $work/other.crt" "$work/untrusted.out" ||
        fail "an unknown CA is not named"
    status=0
    timeout 10 "$bin/zelhost" publish --port NUL --broker localhost --broker-port "$port" --cafile "$work/ca.crt" \
        >"$work/mismatch.out" 2>&1 || status=$?
    [ "$status" -eq 3 ] || fail "a certificate for another host gave exit status $status"
    grep -q "the broker's certificate does not name localhost" "$work/mismatch.out" || fail "a host name mismatch is not named"
    ;;
config_dry_run)
    # Options from a TOML file; --dry-run prints what would be published.
    start_panel send --pty --timeout $units --start-delay 1.5 --hold 3 "ckt bus=1 slot=4 point=130"
    printf '[publish]\nport = ["%s"]\ntimeout = %s\nprefix = "cfg/site"\ndry-run = true\n' "$pty" $units \
        >"$work/gateway.toml"
    timeout -s INT 4 "$bin/zelhost" --config "$work/gateway.toml" publish >"$work/dry.out" 2>"$work/dry.log"
    for line in "cfg/site/status online  (retained)" "cfg/site/1/point/0104130 1  (retained)"; do
        grep -qxF "$line" "$work/dry.out" || fail "no line '$line'"
    done
    grep -q '^cfg/site/1/events {"time":"[0-9T:.-]*Z","channel":1,.*"address":"0104130","type":"CKT","old":0,"new":1,"run":"[0-9a-f]\{16\}","seq":1,"known":false}$' \
        "$work/dry.out" || fail "no event line"
    ;;
modbus_registers)
    # After a burst, with the options from a TOML file: every register of the
    # map as the burst left the table, the exceptions, mbpoll's lines of docs/modbus.md.
    start_panel send --pty --timeout $units --pause 0 --start-delay 1 --hold 30 "ckt bus=1 slot=4 point=130" \
        "bit0 bus=2 slot=1 point=5" "bit1 bus=2 slot=1 point=5" "battery bus=3"
    printf '[publish]\nport = ["%s"]\ntimeout = %s\nchannel = [5]\nno-mqtt = true\nmodbus = "127.0.0.1:0"\n%s\n%s\n' \
        "$pty" $units 'modbus-allow = ["127.0.0.0/8", "10.0.0.0/8"]' 'silence-limit = [4]' >"$work/gateway.toml"
    start_modbus_gateway --config "$work/gateway.toml" publish
    wait_for "$work/panel.out" "^message 4 at" || fail "the panel did not send"
    sleep 0.5
    mb() { mbpoll -m tcp -p "$mport" -a 5 -1 "$@" 127.0.0.1 | grep '^\['; }
    [ "$(mb -t 3 -0 -r 2930)" = "$(printf '[2930]: \t1')" ] || fail "mbpoll 0-based: $(mb -t 3 -0 -r 2930)"
    [ "$(mb -t 4 -r 4206)" = "$(printf '[4206]: \t3')" ] || fail "mbpoll 1-based: $(mb -t 4 -r 4206)"
    [ "$(mb -t 1 -0 -r 6348)" = "$(printf '[6348]: \t1')" ] || fail "mbpoll discrete input: $(mb -t 1 -0 -r 6348)"
    [ "$(mb -t 3 -0 -r 20000 -c 3 | tr -d '\t' | sed -n '1p;3p' | tr '\n' ' ')" = "[20000]: 0 [20002]: 4 " ] ||
        fail "mbpoll diagnostics (LINK, MESSAGES): $(mb -t 3 -0 -r 20000 -c 3)"
    [ "$(mb -t 3 -0 -r 20005)" = "$(printf '[20005]: \t0')" ] || fail "LINE before the silence limit: $(mb -t 3 -0 -r 20005)"
    modbus_client <<'PY'
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.register_read_message import ReadWriteMultipleRegistersRequest
from pymodbus.register_write_message import MaskWriteRegisterRequest
c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]))
assert c.connect()
def unit5(request):  # the client's helpers for these two drop the unit id
    request.unit_id = 5
    return c.execute(request)
burst = {2930: 1, 4205: 3, 6348: 1}
for block in range(81):
    first = block // 9 * 2000 + block % 9 * 200
    for start, count in ((first, 125), (first + 125, 26)):
        for name, read in (("input", c.read_input_registers), ("holding", c.read_holding_registers),
                           ("discrete", c.read_discrete_inputs)):
            r = read(start, count, slave=5)
            assert not r.isError(), (name, start, r)
            got = r.registers if name != "discrete" else [int(b) for b in r.bits[:count]]
            want = [burst.get(start + i, 0) if name != "discrete" else int(burst.get(start + i, 0) != 0)
                    for i in range(count)]
            assert got == want, (name, start, got, want)
exceptions = [
    ("write coil", lambda: c.write_coil(0, True, slave=5), 1),
    ("write register", lambda: c.write_register(2930, 0, slave=5), 1),
    ("write coils", lambda: c.write_coils(0, [True], slave=5), 1),
    ("write registers", lambda: c.write_registers(2930, [0, 0], slave=5), 1),
    ("mask write", lambda: unit5(MaskWriteRegisterRequest(2930, 0, 0)), 1),
    ("read/write", lambda: unit5(ReadWriteMultipleRegistersRequest(read_address=2930, read_count=1, write_address=2930,
                                                                   write_registers=[0])), 1),
    ("coils", lambda: c.read_coils(0, 1, slave=5), 1),
    ("point 151", lambda: c.read_input_registers(151, 1, slave=5), 2),
    ("crossing 151", lambda: c.read_holding_registers(100, 60, slave=5), 2),
    ("beyond 0808150", lambda: c.read_input_registers(17751, 1, slave=5), 2),
    ("crossing 20000", lambda: c.read_input_registers(19999, 2, slave=5), 2),
    ("beyond KNOWN", lambda: c.read_discrete_inputs(20006, 2, slave=5), 2),
    ("no registers", lambda: c.read_input_registers(0, 0, slave=5), 3),
    ("126 registers", lambda: c.read_holding_registers(0, 126, slave=5), 3),
    ("2001 inputs", lambda: c.read_discrete_inputs(0, 2001, slave=5), 3),
    ("unit 1", lambda: c.read_input_registers(2930, 1, slave=1), 11),
]
for name, call, code in exceptions:
    r = call()
    assert r.isError() and getattr(r, "exception_code", None) == code, (name, r)
assert c.read_input_registers(2930, 1, slave=5).registers == [1], "the connection serves on"
PY
    # The panel holds its peace: past the silence limit, LINE is 3 and its discrete input on.
    for _ in $(seq 50); do [ "$(mb -t 1 -0 -r 20005)" = "$(printf '[20005]: \t1')" ] && break; sleep 0.2; done
    [ "$(mb -t 3 -0 -r 20005)" = "$(printf '[20005]: \t3')" ] || fail "LINE after the silence limit: $(mb -t 3 -0 -r 20005)"
    ;;
modbus_load)
    # 32 clients at once beside a silent one; the one beyond the limit takes
    # the silent one's place; malformed frames end their own connection only;
    # the idle connection ends; a clean stop is prompt while a client is connected.
    start_panel send --pty --timeout $units --start-delay 1 --hold 40 "ckt bus=1 slot=4 point=130"
    start_modbus_gateway publish --port "$pty" --timeout $units --no-mqtt --modbus 127.0.0.1:0 \
        --modbus-max-clients 33 --modbus-max-per-address 40 --modbus-idle 5
    wait_for "$work/panel.out" "^message 1 at" || fail "the panel did not send"
    sleep 0.3
    modbus_client <<'PY'
import socket, struct, sys, threading, time
from pymodbus.client import ModbusTcpClient
port = int(sys.argv[1])
def raw(data=b""):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(data)
    return s
def closed_within(s, seconds):
    s.settimeout(seconds)
    try:
        return s.recv(1) == b""
    except (socket.timeout, ConnectionResetError):
        return False
silent = raw()
clients = [ModbusTcpClient("127.0.0.1", port=port) for _ in range(32)]
assert all(c.connect() for c in clients)
start, worst, failures = threading.Barrier(32), [], []
def reader(c):
    start.wait()
    for _ in range(20):
        t = time.monotonic()
        r = c.read_input_registers(2826, 125, slave=1)
        worst.append(time.monotonic() - t)
        if r.isError() or r.registers[104] != 1:
            failures.append(r)
threads = [threading.Thread(target=reader, args=(c,)) for c in clients]
for t in threads: t.start()
for t in threads: t.join()
assert not failures and len(worst) == 640, failures[:3]
assert max(worst) < 1.0, "a silent client delayed the others: %.3f s" % max(worst)
newcomer = raw()
newcomer_since = time.monotonic()
assert closed_within(silent, 2), "the client beyond the limit did not take the place of the idlest, the silent one"
for c in clients: c.close()
time.sleep(0.3)
good = ModbusTcpClient("127.0.0.1", port=port)
assert good.connect()
frame = lambda protocol, length: struct.pack(">HHHBBHH", 1, protocol, length, 1, 4, 2930, 1)
for bad in (frame(1, 6), frame(0, 5), frame(0, 9), b"\x00\x01\x00"):
    assert closed_within(raw(bad), 3), bad
    assert good.read_input_registers(2930, 1, slave=1).registers == [1], "a good client lost its connection"
assert closed_within(newcomer, 10), "the idle connection stayed"
assert time.monotonic() - newcomer_since > 4.5, "the idle connection ended too early"
PY
    for line in "closed: replaced by 127.0.0.1:[0-9]*, idle the longest ([0-9]* s) of 33 clients (--modbus-max-clients)" \
        "closed: malformed frame: protocol id 1," \
        "closed: malformed frame: header declares 5 bytes" "closed: incomplete" "closed: idle for 5 s"; do
        grep -q "Z zelhost: modbus client 127.0.0.1:[0-9]* $line" "$work/gateway.out" || fail "no log line '$line'"
    done
    exec 3<>/dev/tcp/127.0.0.1/"$mport"
    wait_for "$work/gateway.out" "connected$" || fail "no connection"
    kill -TERM "$gateway"
    wait_ended 2 "$gateway" || fail "the gateway did not stop within 2 s with a client connected"
    wait "$gateway" || fail "the gateway exited with $?"
    gateway=
    ;;
modbus_allow_list)
    # A client outside --modbus-allow is closed at once, and logged.
    start_modbus_gateway publish --port NUL --no-mqtt --modbus 127.0.0.1:0 --modbus-allow 192.0.2.0/24
    modbus_client <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.settimeout(2)
assert s.recv(1) == b"", "the client outside the allow-list was served"
PY
    grep -q "Z zelhost: modbus client 127.0.0.1:[0-9]* refused: not in --modbus-allow" "$work/gateway.out" ||
        fail "the refusal is not logged"
    ;;
modbus_clients)
    # On a dual-stack listener, IPv4 peers are written as IPv4 (and match an
    # IPv4-mapped allow-list entry), IPv6 ones in brackets; a busy address
    # and a full table give up their idlest connection; a client that takes
    # no answers ends after the idle time.
    start_modbus_gateway publish --port NUL --no-mqtt --modbus '[::]:0' --modbus-allow ::ffff:127.0.0.0/104 \
        --modbus-allow ::1 --modbus-max-clients 3 --modbus-max-per-address 2 --modbus-idle 3
    modbus_client <<'PY'
import socket, struct, sys, time
def connect(host, rcvbuf=0):
    s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    if rcvbuf: s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect((host, int(sys.argv[1])))
    return s
request = lambda count: struct.pack(">HHHBBHH", 1, 0, 6, 1, 4, 0, count)
def read(*sockets):
    for s in sockets:
        s.sendall(request(6))
        assert len(s.recv(64)) == 21
# Each newcomer served (read) has taken its place: a1's, then a2's.
a1 = connect("127.0.0.1"); read(a1)
a2 = connect("127.0.0.1"); read(a2)
a3 = connect("127.0.0.1"); read(a2, a3)
b1 = connect("::1"); read(b1)
b2 = connect("::1"); read(b2, a3, b1)
c = connect("127.0.0.1", rcvbuf=4096)  # requests, and no answer read
c.settimeout(1)
try:
    while True: c.sendall(request(125) * 100)
except socket.timeout:
    time.sleep(5)
PY
    for line in "closed: replaced by 127\.0\.0\.1:[0-9]+, idle the longest \([0-9]+ s\) of its address's 2 connections" \
        "closed: replaced by \[::1\]:[0-9]+, idle the longest \([0-9]+ s\) of 3 clients \(--modbus-max-clients\)$" \
        "closed: the client takes no answers \(send timed out after 3 s\)$"; do
        grep -Eq "Z zelhost: modbus client 127\.0\.0\.1:[0-9]+ $line" "$work/gateway.out" || fail "no log line '$line'"
    done
    ;;
modbus_descriptors)
    # Descriptors up to 1100 held when the gateway starts: a client's socket
    # at or above 896 is refused, where libmodbus's select() would abort.
    ulimit -S -n 4096 || fail "cannot set the open-files limit to 4096"
    launcher=(/usr/bin/python3 -c 'import os, sys
for _ in range(1100): os.set_inheritable(os.open("/dev/null", os.O_RDONLY), True)
os.execv(sys.argv[1], sys.argv[1:])')
    start_modbus_gateway publish --port NUL --no-mqtt --modbus 127.0.0.1:0
    exec 3<>/dev/tcp/127.0.0.1/"$mport"
    (printf '\0\1\0\0\0\6\1\4\0\0\0\1' >&3) 2>/dev/null  # a request, which libmodbus would wait for
    [ "$(timeout 3 head -c 9 <&3 2>/dev/null | wc -c)" = 0 ] || fail "a client at descriptor 896 or above was served"
    wait_for "$work/gateway.out" "refused: its socket is descriptor 1[0-9]{3}, at or above 896 \(FD_SETSIZE 1024" ||
        fail "the refusal is not logged"
    kill -0 "$gateway" || fail "the gateway died"
    ;;
modbus_no_thread)
    # No thread left for a connection (a container's pids limit): that client
    # is refused, the one served stays served. The gateway runs under a user
    # id of its own, whose thread limit counts its threads alone.
    [ "$(id -u)" = 0 ] || fail "needs root, to run the gateway under a user id of its own"
    launcher=(setpriv --reuid=61234 --regid=61234 --clear-groups)
    start_modbus_gateway publish --port NUL --no-mqtt --modbus 127.0.0.1:0
    "${launcher[@]}" prlimit --pid "$gateway" --nproc=$(($(ls "/proc/$gateway/task" | wc -l) + 1)) || fail "prlimit"
    exec 3<>/dev/tcp/127.0.0.1/"$mport"
    wait_for "$work/gateway.out" "connected$" || fail "the first client was not served"
    exec 4<>/dev/tcp/127.0.0.1/"$mport"
    wait_for "$work/gateway.out" "refused: no thread can be started for it: Resource temporarily unavailable$" ||
        fail "the refusal is not logged"
    printf '\0\1\0\0\0\6\1\4\0\0\0\1' >&3
    [ "$(timeout 3 head -c 11 <&3 | wc -c)" = 11 ] || fail "the client served lost its connection"
    ;;
http_api)
    # Beside MQTT and Modbus: the JSON API, its resumption, the stream's
    # first frames, the methods refused, the headers, and the metrics as
    # Prometheus's own checker reads them.
    start_broker "allow_anonymous true"
    start_panel send --pty --timeout $units --pause 0 --start-delay 1 --hold 30 "ckt bus=1 slot=4 point=130" \
        "battery bus=3" "bit0 bus=2 slot=1 point=5"
    printf '0104130,Lobby\n0301148,Battery 3,Battery\n' >"$work/points.csv"
    start_gateway --points "$work/points.csv" --modbus 127.0.0.1:0 --http 127.0.0.1:0
    hport=$(sed -n 's/.*serving HTTP on .*:\([0-9]*\), read-only.*/\1/p' "$work/gateway.out")
    wait_for "$work/panel.out" "^message 3 at" || fail "the panel did not send"
    mport=$(sed -n 's/.*serving Modbus TCP on .*:\([0-9]*\), units.*/\1/p' "$work/gateway.out")
    mbpoll -m tcp -p "$mport" -a 1 -1 -t 3 -0 -r 2930 127.0.0.1 >/dev/null || fail "mbpoll"
    sleep 1.5  # the diagnostic tags and the counters are looked at every second
    /usr/bin/python3 - "$hport" >"$work/client.out" 2>&1 <<'PY' || fail "$(cat "$work/client.out")"
import http.client, json, sys
port = int(sys.argv[1])
def get(path, method="GET", body=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    c.request(method, path, body=body)
    r = c.getresponse()
    data = r.read()
    for header, part in (("Content-Security-Policy", "frame-ancestors 'none'"), ("X-Frame-Options", "DENY"),
                         ("X-Content-Type-Options", "nosniff")):
        assert part in (r.getheader(header) or ""), (path, method, header, r.getheaders())
    return r, data
r, data = get("/api/state")
assert r.status == 200 and r.getheader("Content-Type") == "application/json", r.status
state = json.loads(data)
points = [(p["address"], p["kind"], p["value"], p.get("name")) for p in state["channels"][0]["points"]]
assert points == [("0104130", "alarm", 1, "Lobby"), ("0201005", "alarm", 1, None), ("0301148", "trouble", 1, "Battery 3")], points
assert state["channels"][0]["line"] == "up" and state["channels"][0]["diag"]["MESSAGES"] == 3, state
walk = state["channels"][0]["walk"]
assert [p["address"] for p in walk["reported"]] == ["0104130", "0301148"] and walk["never"] == [], walk
assert [p["address"] for p in walk["unlisted"]] == ["0201005"], walk
events = json.loads(get("/api/events")[1])
assert [e["id"] for e in events["events"]] == [1, 2, 3], events
assert [e["event"]["seq"] for e in events["events"]] == [1, 2, 3], events
assert events["events"][0]["event"]["run"] == state["run"] and events["events"][0]["event"]["name"] == "Lobby", events
resumed = json.loads(get("/api/events?after=2")[1])
assert [e["event"]["address"] for e in resumed["events"]] == ["0201005"], resumed
assert get("/api/events?after=two")[0].status == 400
for method in ("POST", "PUT", "DELETE", "PATCH"):
    r, _ = get("/api/state", method, body=b"x=1")
    assert r.status == 405 and r.getheader("Allow") == "GET, HEAD", (method, r.status)
r, data = get("/", "HEAD")
assert r.status == 200 and data == b"" and r.getheader("Content-Type").startswith("text/html"), r.status
assert get("/nowhere")[0].status == 404
page = get("/")[1].decode()
assert '<script src="/app.js"></script>' in page and "http" not in page.split("<body")[1].replace("/api", ""), page
# The stream: the state, then the recent events.
c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
c.request("GET", "/events")
r = c.getresponse()
assert r.getheader("Content-Type") == "text/event-stream", r.getheaders()
frames = []
while len(frames) < 2:
    line = r.fp.readline().decode()
    if line.startswith("event: "): frames.append(line[7:].strip())
    if line.startswith("data: ") and frames[-1] == "events": assert json.loads(line[6:]) == events
assert frames == ["state", "events"], frames
PY
    curl -sf "http://127.0.0.1:$hport/metrics" >"$work/metrics.txt" || fail "no metrics"
    promtool check metrics <"$work/metrics.txt" >"$work/promtool.out" 2>&1 || fail "promtool: $(cat "$work/promtool.out")"
    for line in 'zelwnqx_channel_line_state{channel="1",port="[^"]*",state="up"} 1' \
        'zelwnqx_channel_active_points{channel="1",port="[^"]*",type="Battery"} 1' \
        'zelwnqx_channel_messages_total{channel="1",port="[^"]*"} 3' 'zelwnqx_gateway_events_total 3' \
        'zelwnqx_gateway_mqtt_published_total [1-9][0-9]*' 'zelwnqx_gateway_modbus_requests_total [1-9][0-9]*' \
        'zelwnqx_gateway_http_clients [1-9][0-9]*'; do
        grep -qx "$line" "$work/metrics.txt" || fail "no metrics line '$line'"
    done
    ;;
http_security)
    # HTTPS with basic authentication (the password from a file), the
    # allow-list, the idle time-out, the connection limit, and a prompt stop
    # while a page's stream is open.
    make_server_certificate
    printf 'right pass\n' >"$work/http-password"
    start_http_gateway publish --port NUL --no-mqtt --http 127.0.0.1:0 --http-cert "$work/server.crt" \
        --http-key "$work/server.key" --http-user site --http-password-file "$work/http-password" \
        --http-max-clients 3 --http-idle 2
    [ "$scheme" = https ] || fail "not HTTPS"
    status() { curl -s -o /dev/null -w '%{http_code}' --cacert "$work/ca.crt" "$@"; }
    [ "$(status "https://127.0.0.1:$hport/api/state")" = 401 ] || fail "no credentials: not 401"
    [ "$(status -u site:wrong "https://127.0.0.1:$hport/api/state")" = 401 ] || fail "a wrong password: not 401"
    [ "$(status -u site:'right pass' "https://127.0.0.1:$hport/api/state")" = 200 ] || fail "the right password: not 200"
    [ "$(status -u site:'right pass' -X POST "https://127.0.0.1:$hport/api/state")" = 405 ] || fail "POST: not 405"
    [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$hport/")" = 000 ] || fail "plain HTTP answered on the HTTPS port"
    wait_for "$work/gateway.out" "http client 127\.0\.0\.1:[0-9]+ refused: wrong user name or password$" ||
        fail "the wrong password is not logged"
    /usr/bin/python3 - "$hport" >"$work/client.out" 2>&1 <<'PY' || fail "$(cat "$work/client.out")"
import socket, sys, time
port = int(sys.argv[1])
def ended(s, seconds):
    """What came before the connection's end (a TLS alert at most), and when it ended."""
    begun, data = time.monotonic(), b""
    s.settimeout(seconds)
    try:
        while chunk := s.recv(4096): data += chunk
    except ConnectionResetError:
        pass
    return data, time.monotonic() - begun
# A connection that sends nothing ends after --http-idle 2, unanswered.
data, took = ended(socket.create_connection(("127.0.0.1", port)), 6)
assert b"HTTP/" not in data and 1.5 < took < 4.5, "the idle connection ended after %.2f s (--http-idle 2): %r" % (took, data)
# Three connections held: a fourth is closed at once.
held = [socket.create_connection(("127.0.0.1", port)) for _ in range(3)]
time.sleep(0.3)
data, took = ended(socket.create_connection(("127.0.0.1", port)), 1.5)
assert b"HTTP/" not in data and took < 1, "the fourth connection stayed %.2f s: %r" % (took, data)
PY
    wait_for "$work/gateway.out" "http: .*limit" || fail "the connection limit is not logged"
    kill "$gateway"
    wait "$gateway" || fail "the gateway exited with $?"
    # A client outside --http-allow is closed at once, and logged.
    start_http_gateway publish --port NUL --no-mqtt --http 127.0.0.1:0 --http-allow 192.0.2.0/24
    [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$hport/")" = 000 ] || fail "a client outside the allow-list was served"
    wait_for "$work/gateway.out" "Z zelhost: http client 127\.0\.0\.1:[0-9]+ refused: not in --http-allow$" ||
        fail "the refusal is not logged"
    kill "$gateway"
    wait "$gateway"
    # A page's stream open: the stop is prompt, and the stream ends cleanly.
    start_http_gateway publish --port NUL --no-mqtt --http 127.0.0.1:0
    curl -sN "http://127.0.0.1:$hport/events" >"$work/stream.out" 2>&1 &
    stream=$!
    pids+=("$stream")
    wait_for "$work/stream.out" "^event: events" || fail "the stream did not start"
    kill -TERM "$gateway"
    wait_ended 2 "$gateway" || fail "the gateway did not stop within 2 s with a stream open"
    wait "$gateway" || fail "the gateway exited with $?"
    gateway=
    wait_ended 2 "$stream" || fail "the stream did not end with the gateway"
    ;;
http_page)
    # The page in headless Chromium: tests/cli/http_page_test.py.
    /usr/bin/python3 "$(dirname "$0")/http_page_test.py" "$bin" "$work" || exit 1
    ;;
*)
    echo "mqtt_test.sh: unknown scenario '$scenario'" >&2
    exit 2
    ;;
esac
echo "PASS: $scenario"
