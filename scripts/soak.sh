#!/usr/bin/env bash
# The opt-in soak: random panel traffic for a long while (default 600 s per
# part), in two parts. 1: the native suite's soak test sends random messages
# into a pseudo-terminal and compares the driver's whole table with a model
# after every message. 2: zelpanel sends random traffic and reports what it
# sent; zelhost monitors the channel and compares every point with the
# report. Both parts fail on the first difference.
# Usage: scripts/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
case $seconds in ''|*[!0-9]*) echo "soak.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac

bash scripts/install-deps.sh linux >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target zel_unit_tests zelwnqx zelhost zelpanel >/dev/null
bin=build/linux/bin

echo "== Part 1: $seconds s of random traffic against a model table"
ZEL_SOAK_SECONDS=$seconds "$bin/zel_unit_tests" --gtest_filter=Soak.* | grep -E '^soak|OK|FAILED'

# Part 2: at 57600 baud a message of 15 events takes 65 ms on the line, so a
# read time-out of 100 ms frames every message whole; zelpanel pauses 0.6 s
# between messages, so the run lasts about as long as part 1.
count=$(( seconds * 10 / 6 ))
seed=${ZEL_SOAK_SEED:-$(date +%s)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== Part 2: zelpanel random --seed $seed --count $count into zelhost monitor"
: >"$work/panel.out"
"$bin/zelpanel" random --pty --seed "$seed" --count "$count" --max-events 15 --baud 57600 --timeout 10 \
    --report "$work/sent.txt" >"$work/panel.out" 2>&1 &
panel=$!
port=
for _ in $(seq 600); do
    port=$(sed -n 's/^port //p' "$work/panel.out")
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { cat "$work/panel.out"; echo "soak.sh: zelpanel made no port" >&2; exit 1; }
status=0
"$bin/zelhost" monitor --port "$port" --baud 57600 --timeout 10 --idle 3 --expect "$work/sent.txt" >"$work/host.out" 2>&1 || status=$?
wait "$panel" || status=$?
events=$(grep -c '' "$work/sent.txt" || true)
grep -E '^[0-9]+ messages received|^summary: all' "$work/host.out" || true
echo "zelpanel reported $(grep -c '^sent ' "$work/sent.txt") messages ($events report lines)"
[ "$status" -eq 0 ] || { tail -20 "$work/host.out"; echo "soak.sh: part 2 failed ($status)" >&2; exit 1; }
echo "== soak passed"
