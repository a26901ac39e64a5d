#!/usr/bin/env bash
# The panel on the site network: a Mosquitto broker on a free loopback port,
# zelpanel playing the panel on a pseudo-terminal, `zelhost publish` as the
# gateway, and mosquitto_sub showing every topic as it is published; at the
# end the retained state a new subscriber finds, and mbpoll reading a point
# over the gateway's Modbus TCP server; the gateway's web page is served
# on loopback meanwhile (its URL printed) and its JSON API read at the end.
# Usage: demo-mqtt.sh BUILD_DIR
# Exit status: 0 when the retained state holds every point the panel set.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: demo-mqtt.sh BUILD_DIR" >&2; exit 2; }
bin=$1/bin
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../zelpanel/announced_port.sh"
export PATH=$PATH:/usr/sbin
for tool in "$bin/zelhost" "$bin/zelpanel"; do
    [ -x "$tool" ] || { echo "demo-mqtt.sh: $tool is missing: build first" >&2; exit 2; }
done
for tool in mosquitto mosquitto_sub; do
    command -v "$tool" >/dev/null || { echo "demo-mqtt.sh: $tool is missing: bash scripts/install-deps.sh linux" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
prefix=zelwnqx/demo

echo "== The broker: mosquitto on loopback"
port=
for _ in $(seq 20); do
    candidate=$((20000 + RANDOM % 20000))
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' "$candidate" "$(id -un)" \
        >"$work/broker.conf"
    mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
    pid=$!
    sleep 0.3
    if kill -0 "$pid" 2>/dev/null; then
        pids+=("$pid")
        port=$candidate
        break
    fi
done
[ -n "$port" ] || { cat "$work/broker.log" >&2; echo "demo-mqtt.sh: the broker did not start" >&2; exit 1; }
echo "   port $port"

echo "== A subscriber: mosquitto_sub -v -t '$prefix/#'"
mosquitto_sub -h 127.0.0.1 -p "$port" -v -t "$prefix/#" > >(sed -u 's/^/  broker | /') &
pids+=($!)

echo "== The panel: zelpanel sends $here/panel-script.txt (with a burst) on a new pseudo-terminal"
"$bin/zelpanel" send --pty --timeout 10 --start-delay 2.5 --hold 2 --script "$here/panel-script.txt" \
    --report "$work/sent.txt" >"$work/panel.out" 2>&1 &
panel=$!
pids+=("$panel")
pty=$(zelpanel_port "$work/panel.out" "$panel" 100) || { cat "$work/panel.out" >&2; exit 1; }

modbus=$((port + 1))
http=$((port + 2))
echo "== The gateway: zelhost publish --port $pty --prefix $prefix --modbus 127.0.0.1:$modbus --http 127.0.0.1:$http"
echo "   The page: http://127.0.0.1:$http/ (open it in a browser while the demo runs)"
printf '0104130,Lobby CKT\n0301148,Battery bus 3,Battery\n' >"$work/points.csv"
"$bin/zelhost" publish --port "$pty" --timeout 10 --broker 127.0.0.1 --broker-port "$port" --prefix "$prefix" \
    --points "$work/points.csv" --modbus "127.0.0.1:$modbus" --http "127.0.0.1:$http" > >(sed -u 's/^/  gateway | /') 2>&1 &
pids+=($!)
wait "$panel" || true
sleep 1

if command -v mbpoll >/dev/null; then
    echo "== Over Modbus TCP: mbpoll reads 0104130 (register 2930; 0 after the panel's clear), unit 1"
    mbpoll -m tcp -p "$modbus" -a 1 -t 3 -0 -r 2930 -1 127.0.0.1 | grep '^\[2930\]:[[:space:]]*0$' | sed 's/^/  mbpoll | /' ||
        { echo "demo: mbpoll did not read 0104130 over Modbus TCP" >&2; exit 1; }
fi

if command -v curl >/dev/null; then
    echo "== Over HTTP: curl http://127.0.0.1:$http/api/state (what the page shows)"
    curl -fsS "http://127.0.0.1:$http/api/state" | python3 -m json.tool | sed 's/^/  http | /' ||
        { echo "demo: the gateway's page did not answer" >&2; exit 1; }
fi

echo "== What a new subscriber finds (the retained state)"
mosquitto_sub -h 127.0.0.1 -p "$port" -v -t "$prefix/#" --retained-only -W 2 2>/dev/null | sort | tee "$work/retained.txt" ||
    true
# The panel's script ends with the clear command: every point reads 0.
if grep -q "^$prefix/status online$" "$work/retained.txt" && ! grep -Eq "/point/[0-9]+ [1-3]$" "$work/retained.txt" &&
    grep -Eq "/point/[0-9]+ 0$" "$work/retained.txt"; then
    echo "demo: the broker holds the panel's last state"
else
    echo "demo: the retained state is not the panel's last state" >&2
    exit 1
fi
