#!/usr/bin/env bash
# The chaos soak: the whole chain on one machine, with faults at random.
# Four zelpanel panels send random traffic and clears on pseudo-terminals,
# each behind a short link in the work folder (/tmp/zXXX/1 ... /4, which fit
# the driver's 11-character port name, as a udev name would), one gateway
# `zelhost publish` serves MQTT to mosquitto (persistent) and Modbus TCP,
# and scripts/chaos_check.py, written apart from the gateway, reads both.
#
# Rounds: the panels send a stretch of traffic (a new zelpanel each, whose
# report is what it sent) while faults are injected; then they hold their
# lines quiet and the checker compares every output with the reports. The
# panels' lines go away between rounds, as a pulled adapter's does.
#
# Faults: broker SIGKILL and SIGTERM (restarted), gateway SIGKILL and SIGTERM
# (restarted by the loop below, as systemd would), an adapter pulled for
# 1-5 s, the checker stopped (SIGSTOP) for up to 10 s, a burst of Modbus
# clients, the gateway restarted while the broker is down, the gateway
# restarted while an adapter is away.
#
# The fault schedule comes from the seed (bash's RANDOM); the panels' traffic
# from the seed, the panel and the stretch's number. The same seed injects
# the same faults in the same order; their timing against the traffic
# varies with the machine's load.
#
# Usage: scripts/chaos.sh [SECONDS] [--seed N]
# ZEL_CHAOS_BIN: the folder of zelhost and zelpanel, already built (the test
# run gives it); otherwise they are built here.
set -u
cd "$(dirname "$0")/.."
seconds=300
seed=
while [ $# -gt 0 ]; do
    case $1 in
    --seed) seed=${2:-}; shift 2 ;;
    *) seconds=$1; shift ;;
    esac
done
case $seconds$seed in *[!0-9]*) echo "chaos.sh: SECONDS and the seed must be whole numbers" >&2; exit 2 ;; esac
[ -n "$seed" ] || seed=$(( $(date +%s%N) % 1000000 ))

# Terminals of its own (scripts/own-ptys.sh), where it can: a panel's freed
# terminal number must not reach another program's line, nor theirs ours.
if [ -z "${ZEL_PTYS:-}" ]; then
    exec scripts/own-ptys.sh bash "$PWD/scripts/chaos.sh" "$seconds" --seed "$seed"
fi
[ "$ZEL_PTYS" = own ] ||
    echo "chaos: the pseudo-terminals are shared with the machine's other programs (no devpts instance of its own could be made)"
echo "chaos: seed $seed, $seconds s (replay: scripts/chaos.sh $seconds --seed $seed)"
RANDOM=$seed

if ! command -v mosquitto >/dev/null && ! [ -x /usr/sbin/mosquitto ]; then echo "SKIP: no mosquitto"; exit 77; fi
if ! /usr/bin/python3 -c 'import paho.mqtt' 2>/dev/null; then echo "SKIP: no python3-paho-mqtt"; exit 77; fi
PATH=/usr/sbin:$PATH
if [ -n "${ZEL_CHAOS_BIN:-}" ]; then
    bin=$ZEL_CHAOS_BIN
else
    cmake --preset linux >/dev/null && cmake --build --preset linux --target zelwnqx zelhost zelpanel >/dev/null || exit 1
    bin=build/linux/bin
fi
. tools/zelpanel/announced_port.sh

panels=4
work=$(mktemp -d /tmp/zXXX)  # short, for the links' names
prefix=chaos/$seed
broker=
supervisor=
checker=
segment_pid=()
holder_pid=()
segment_log=()
segment_no=()
declare -A faults=()
unnamed=0
violations=0
broker_starts=0
away=  # the panel whose adapter is pulled: not replaced meanwhile
cleanup() {
    touch "$work/stop"
    for pid in $supervisor $(cat "$work/gateway.pid" 2>/dev/null) "${segment_pid[@]}" "${holder_pid[@]}" $broker $checker; do
        kill -CONT "$pid" 2>/dev/null
        kill -9 "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    [ -n "${ZEL_CHAOS_KEEP:-}" ] && { echo "chaos: kept $work"; return; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
trap '' PIPE  # a checker that died is found by its status, not by a signal here

free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
bport=$(free_port)
mport=$(free_port)
now() { echo $((SECONDS - began)); }
say() { echo "$(date -u +%H:%M:%S) [$(now) s] $*"; }
size() { stat -c %s "$1" 2>/dev/null || echo 0; }

# The broker, persistent (saved every second), on the same port each time; the site's settings.
{ echo "listener $bport 127.0.0.1"; echo "persistence true"; echo "persistence_location $work/"
  echo "autosave_interval 1"; echo "user $(id -un)"; echo "allow_anonymous true"
  grep -v '^#' docs/mosquitto-site.conf | grep -v '^listener\|^persistence\|^$'; } >"$work/broker.conf"
start_broker() {
    local from
    for _ in $(seq 20); do
        from=$(size "$work/broker.log")
        mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
        broker=$!
        for _ in $(seq 100); do
            if tail -c +$((from + 1)) "$work/broker.log" 2>/dev/null | grep -q "Opening ipv4 listen socket on port $bport"; then
                broker_starts=$((broker_starts + 1))
                return 0
            fi
            kill -0 "$broker" 2>/dev/null || break
            sleep 0.05
        done
        kill -9 "$broker" 2>/dev/null
        wait "$broker" 2>/dev/null
        sleep 0.5
    done
    echo "chaos: the broker does not start" >&2
    exit 1
}

# Names for the CKT points and the batteries, whose known/ topics the checker follows.
for i in $(seq $panels); do
    for bus in 1 2 3 4; do
        echo "0${bus}01148,battery $bus"
        for slot in 1 2 3 4 5 6 7 8; do for p in 130 131 132 133; do echo "0${bus}0${slot}$p,ckt $bus-$slot-$p"; done; done
    done >"$work/points$i.csv"
done

# The gateway, started again whenever it ends (as Restart= would, after 1 s)
# until the soak stops. Its log accumulates in gateway.log.
gateway_args=(publish --timeout 10 --broker 127.0.0.1 --broker-port "$bport" --prefix "$prefix"
              --modbus "127.0.0.1:$mport")
for i in $(seq $panels); do gateway_args+=(--port "$work/$i" --points "$work/points$i.csv" --silence-limit 300); done
supervise() {
    while [ ! -e "$work/stop" ]; do
        "$bin/zelhost" "${gateway_args[@]}" >>"$work/gateway.log" 2>&1 &
        echo $! >"$work/gateway.pid"
        wait $!
        echo "exit $?" >>"$work/gateway.exits"
        sleep 1
    done
}
gateway_starts() { grep -c "zelhost: publishing to" "$work/gateway.log" 2>/dev/null; }
current_run() { sed -n 's/.*zelhost: publishing to .*, run \([0-9a-f]*\)$/\1/p' "$work/gateway.log" | tail -1; }
# Waits (up to 60 s) until the gateway has connected more than N times.
wait_gateway() {
    for _ in $(seq 600); do [ "$(gateway_starts)" -gt "$1" ] && return 0; revive; sleep 0.1; done
    say "the gateway did not connect again"; tail -5 "$work/gateway.log"; return 1
}

# A stretch of traffic on panel I: a new zelpanel, its pseudo-terminal
# behind the panel's link. Its traffic follows from the seed, I and the stretch's number.
new_segment() {
    local i=$1 n=$(( ${segment_no[$1]:-0} + 1 ))
    segment_no[$i]=$n
    local s=$(( (seed * 7919 + i * 104729 + n * 1299709) % 4294967296 ))
    local count=$(( 20 + s % 41 )) events=$(( 1 + s / 41 % 6 )) pause=0.0$(( s / 246 % 10 ))
    local out=$work/seg$i.$n
    segment_log[$i]=$(size "$work/gateway.log")
    "$bin/zelpanel" random --pty --seed "$s" --count "$count" --max-events "$events" --pause "$pause" --timeout 10 \
        --wait-reader 120 --hold 3600 --report "$out.report" >"$out.out" 2>&1 &
    segment_pid[$i]=$!
    echo "$count" >"$out.count"
    local pty
    pty=$(zelpanel_port "$out.out" "${segment_pid[$i]}") || { say "zelpanel $i.$n made no port"; cat "$out.out"; return 1; }
    # A pseudo-terminal hangs up on its panel when its last reader closes it,
    # a serial line does not: the line is held open here too, so that a
    # gateway that stops does not end the panel. What the panel sends
    # meanwhile waits in the line for the gateway's next start.
    sleep 2147483647 <>"/dev/$pty" &
    holder_pid[$i]=$!
    ln -sfn "/dev/$pty" "$work/$i"
}
# The link goes before its line does, as a device name goes with its
# adapter: the name never points at a number that is free to be reused.
unlink_panel() { rm -f "$work/$1"; }
end_segment() {
    kill "${segment_pid[$1]}" "${holder_pid[$1]}" 2>/dev/null
    wait "${segment_pid[$1]}" "${holder_pid[$1]}" 2>/dev/null
}
segment_done() {  # panel I has sent all of its stretch
    local out=$work/seg$1.${segment_no[$1]}
    grep -q "^message $(cat "$out.count") at" "$out.out"
}
# A stretch that ended before its last message (its reader, the gateway, went away) is replaced.
revive() {
    local i
    for i in $(seq $panels); do
        [ "$i" = "$away" ] && continue
        if ! kill -0 "${segment_pid[$i]}" 2>/dev/null && ! segment_done "$i"; then
            unlink_panel "$i"
            say "panel $i ended early: $(tail -1 "$work/seg$i.${segment_no[$i]}.out")"
            end_segment "$i"
            new_segment "$i"
        fi
    done
}

# Faults. Each notes where the gateway's log stood, and what it should say from there on.
expect_log=()
fault() { faults[$1]=$(( ${faults[$1]:-0} + 1 )); say "fault: $*"; }
broker_down() {  # SIG
    # A broker killed outright loses what it has taken since its last save
    # (every second), the queue of a subscriber that is away included: that
    # is the broker's loss, not the gateway's. So it is killed once the
    # checker is back on it and a save has passed.
    if [ "$1" = KILL ]; then
        for _ in $(seq 300); do
            [ "$(grep -c '^mqtt connected' "$work/checker.out")" -ge "$broker_starts" ] && break
            sleep 0.1
        done
        sleep 1.5
    fi
    # Only a gateway connected at the time loses the broker (it may still be reconnecting from the last time).
    grep -E "zelhost: (publishing to|connected to the broker again|lost the broker)" "$work/gateway.log" | tail -1 |
        grep -q "lost the broker" || expect_log+=("$(size "$work/gateway.log")|lost the broker|broker $1")
    kill -"$1" "$broker"
    wait "$broker" 2>/dev/null
}
inject() {
    local starts
    case $1 in
    0) fault broker_kill; broker_down KILL; sleep "0.$((RANDOM % 10))"; start_broker ;;
    1) fault broker_term; broker_down TERM; sleep "$((RANDOM % 3)).$((RANDOM % 10))"; start_broker ;;
    2|3) local sig=KILL; [ "$1" = 3 ] && sig=TERM
       fault "gateway_${sig,,}"; starts=$(gateway_starts)
       kill -"$sig" "$(cat "$work/gateway.pid")"; restarted=1
       wait_gateway "$starts" ;;
    4) local i=$((1 + RANDOM % panels)) gone=$((1 + RANDOM % 5))
       fault adapter_pulled "panel $i for $gone s"
       # A line still away since the last pull or stretch is no new loss: the gateway has it back first.
       for _ in $(seq 50); do
           tail -c +$((segment_log[$i] + 1)) "$work/gateway.log" 2>/dev/null | grep -qE "Port $work/$i back|channel $i on $work/$i$" && break
           sleep 0.1
       done
       expect_log+=("$(size "$work/gateway.log")|Port $work/$i lost|panel $i pulled")
       away=$i; unlink_panel "$i"; end_segment "$i"; sleep "$gone"; away=; new_segment "$i" ;;
    5) local stop=$((1 + RANDOM % 10))
       fault checker_stopped "$stop s"
       # Not beside a broker's kill: what the broker holds for a stopped
       # subscriber since its last save (every second) dies with it.
       kill -STOP "$checker"; sleep "$stop"; kill -CONT "$checker" ;;
    6) local clients=$((10 + RANDOM % 40)) burst_seed=$RANDOM
       fault modbus_burst "$clients clients"
       /usr/bin/python3 scripts/chaos_check.py burst --modbus-port "$mport" --clients "$clients" --seed "$burst_seed" \
           >>"$work/burst.out" 2>&1 &
       helpers+=($!) ;;
    7) fault gateway_restart_broker_down; starts=$(gateway_starts)
       broker_down TERM
       expect_log+=("$(size "$work/gateway.log")|cannot connect to the broker|gateway started without a broker")
       local pid
       pid=$(cat "$work/gateway.pid")
       kill -TERM "$pid"; restarted=1
       # It waits up to 5 s for the broker's acknowledgements, then the next one finds no broker.
       while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
       sleep "$((2 + RANDOM % 3))"
       start_broker
       wait_gateway "$starts" ;;
    8) local i=$((1 + RANDOM % panels)) gone=$((2 + RANDOM % 3))
       fault gateway_restart_adapter_away "panel $i away for $gone s"; starts=$(gateway_starts)
       expect_log+=("$(size "$work/gateway.log")|channel $i: no such port: $work/$i|panel $i away at the start")
       away=$i; unlink_panel "$i"; end_segment "$i"
       kill -TERM "$(cat "$work/gateway.pid")"; restarted=1
       wait_gateway "$starts"
       # Its return is named as the late opening ("channel N on PATH: its port
       # is there now"), or, when a later fault restarts the gateway before its
       # next look, as the opening at that start ("channel N on PATH").
       expect_log+=("$(size "$work/gateway.log")|channel $i on $work/$i|panel $i back")
       sleep "$gone"; away=; new_segment "$i" ;;
    esac
}

began=$SECONDS
mkfifo "$work/control"
start_broker
# The checker ignores hangups: stopped (a fault) in a process group whose
# starter has gone (a soak started in the background), it would get the
# kernel's SIGHUP and end, which would be the soak's fault, not the gateway's.
trap '' HUP
/usr/bin/python3 scripts/chaos_check.py watch --broker-port "$bport" --modbus-port "$mport" --prefix "$prefix" \
    --points $(for i in $(seq $panels); do echo "$work/points$i.csv"; done) --control "$work/control" \
    --client-id "zelchaos-$seed" >"$work/checker.out" 2>&1 &
checker=$!
trap - HUP
exec 3>"$work/control"
for i in $(seq $panels); do new_segment "$i" || exit 1; done
supervise &
supervisor=$!
wait_gateway 0 || exit 1

round=0
while [ "$(now)" -lt "$seconds" ]; do
    round=$((round + 1))
    restarted=0
    helpers=()
    if [ "$round" -gt 1 ]; then
        for i in $(seq $panels); do unlink_panel "$i"; end_segment "$i"; new_segment "$i" || exit 1; done
    fi
    # One to three faults while the panels send.
    faults_now=$((1 + RANDOM % 3))  # drawn here: a command substitution has a RANDOM of its own
    for _ in $(seq $faults_now); do
        sleep "$((RANDOM % 2)).$((RANDOM % 10))"
        inject $((RANDOM % 9))
        revive
    done
    [ ${#helpers[@]} -gt 0 ] && wait "${helpers[@]}"
    # The panels send their stretch to the end, then hold their lines quiet.
    for _ in $(seq 1200); do
        revive
        done_all=1
        for i in $(seq $panels); do segment_done "$i" || done_all=; done
        [ -n "$done_all" ] && break
        sleep 0.1
    done
    [ -n "$done_all" ] || { say "the panels did not finish their stretch"; violations=$((violations + 1)); break; }
    sleep 0.5
    answered=$(grep -c '^check ' "$work/checker.out")
    asked=$SECONDS
    line="check $round $(current_run) $restarted$(for i in $(seq $panels); do printf ' %s' "$work/seg$i.${segment_no[$i]}.report"; done)"
    echo "$line" >>"$work/control.log"
    echo "$line" >&3
    for _ in $(seq 1200); do
        [ "$(grep -c '^check ' "$work/checker.out")" -gt "$answered" ] && break
        kill -0 "$checker" 2>/dev/null || break
        sleep 0.1
    done
    result=$(grep '^check ' "$work/checker.out" | tail -1)
    say "round $round: $result in $((SECONDS - asked)) s ($(for i in $(seq $panels); do grep -c '^sent ' "$work/seg$i.${segment_no[$i]}.report" | tr '\n' ' '; done)messages in the last stretches)"
    case $result in "check $round ok") ;; *) violations=$((violations + 1)); break ;; esac
    # The gateway's log named each fault it saw.
    for e in "${expect_log[@]}"; do
        IFS='|' read -r from pattern what <<<"$e"
        if ! tail -c +$((from + 1)) "$work/gateway.log" 2>/dev/null | grep -qF "$pattern"; then
            say "the gateway's log does not name it: $what ('$pattern')"
            unnamed=$((unnamed + 1))
        fi
    done
    expect_log=()
done

elapsed=$(now)
touch "$work/stop"
kill -TERM "$(cat "$work/gateway.pid")" 2>/dev/null
wait "$supervisor" 2>/dev/null
supervisor=
for i in $(seq $panels); do unlink_panel "$i"; end_segment "$i"; done
grep -h '^modbus burst' "$work/burst.out" 2>/dev/null | awk '{ a += $5; m += $7 } END { if (NR) printf "modbus bursts: %d, %d answers, %d malformed\n", NR, a, m }'
echo "end $elapsed unnamed=$unnamed $(for k in "${!faults[@]}"; do echo "$k=${faults[$k]}"; done | sort | tr '\n' ' ')" >&3
exec 3>&-
wait "$checker"
status=$?
checker=
grep -v '^check \|^mqtt connected' "$work/checker.out" | grep -v '^| \|^|---' | tail -20
grep '^| \|^|---' "$work/checker.out"
if [ "$status" -ne 0 ] || [ "$violations" -ne 0 ] || [ "$unnamed" -ne 0 ] || grep -q ' [1-9][0-9]* malformed' "$work/burst.out" 2>/dev/null; then
    echo "--- gateway log (last 30 lines)"; tail -30 "$work/gateway.log"
    echo "chaos: FAILED; replay with: scripts/chaos.sh $seconds --seed $seed"
    exit 1
fi
echo "chaos: passed, seed $seed"
