#!/usr/bin/env bash
# The opt-in soak: random panel traffic for a long while (default 600 s per
# stage), in two stages. First, the native suite's soak test sends bursts of
# random traffic into a pseudo-terminal, with pauses of 0 to twice the read
# time-out, and compares the driver's whole table with a model after every
# burst. Second, zelpanel sends random traffic in bursts and reports what it
# sent; zelhost monitors the channel and compares every point with the
# report. Both stages fail on the first difference.
# Usage: scripts/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/zelpanel/announced_port.sh
seconds=${1:-600}
case $seconds in ''|*[!0-9]*) echo "soak.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac

bash scripts/install-deps.sh linux >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target zel_unit_tests zelwnqx zelhost zelpanel >/dev/null
bin=build/linux/bin

echo "== First stage: $seconds s of random bursts against a model table"
ZEL_SOAK_SECONDS=$seconds "$bin/zel_unit_tests" --gtest_filter=Soak.* | grep -E '^soak|OK|FAILED'

# Second stage: at 57600 baud a message of 15 events takes 65 ms on the
# line; zelpanel pauses 0.05 s between messages, shorter than the read
# time-out of 100 ms, so several messages often share a read. About 8
# messages a second: the run lasts about as long as the first stage.
count=$(( seconds * 8 ))
seed=${ZEL_SOAK_SEED:-$(date +%s)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== Second stage: zelpanel random --seed $seed --count $count into zelhost monitor"
: >"$work/panel.out"
"$bin/zelpanel" random --pty --seed "$seed" --count "$count" --max-events 15 --baud 57600 --timeout 10 --pause 0.05 \
    --report "$work/sent.txt" >"$work/panel.out" 2>&1 &
panel=$!
port=$(zelpanel_port "$work/panel.out" "$panel") ||
    { cat "$work/panel.out"; echo "soak.sh: zelpanel made no port" >&2; exit 1; }
status=0
"$bin/zelhost" monitor --port "$port" --baud 57600 --timeout 10 --idle 3 --expect "$work/sent.txt" >"$work/host.out" 2>&1 || status=$?
wait "$panel" || status=$?
events=$(grep -c '' "$work/sent.txt" || true)
grep -E '^[0-9]+ messages received|^summary: all' "$work/host.out" || true
echo "zelpanel reported $(grep -c '^sent ' "$work/sent.txt") messages ($events report lines)"
[ "$status" -eq 0 ] || { tail -20 "$work/host.out"; echo "soak.sh: the second stage failed ($status)" >&2; exit 1; }
echo "== soak passed"
