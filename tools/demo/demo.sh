#!/usr/bin/env bash
# The whole chain on one machine, in two runs. First, zelpanel plays the
# panel on a pseudo-terminal pair it creates and zelhost opens the other end
# through the driver, showing the banner, the traffic (with a burst of
# messages sent back to back) and the table changes. Then two panels on two
# pseudo-terminals, and one zelhost with a channel on each. Each run ends
# with a summary of what was sent against what the driver applied.
# Usage: demo.sh BUILD_DIR [--timeout UNITS]
# Exit status: 0 when every point of both runs matches.
set -euo pipefail

usage() { echo "usage: demo.sh BUILD_DIR [--timeout UNITS]" >&2; exit 2; }
[ $# -ge 1 ] || usage
build=$1
shift
timeout=100
while [ $# -gt 0 ]; do
    case $1 in
        --timeout) [ $# -ge 2 ] || usage; timeout=$2; shift 2 ;;
        *) usage ;;
    esac
done
bin=$build/bin
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../zelpanel/announced_port.sh"
for tool in zelhost zelpanel libzelwnqx.so; do
    [ -e "$bin/$tool" ] || { echo "demo.sh: $bin/$tool is missing: build first" >&2; exit 2; }
done

work=$(mktemp -d)
panel_pids=()
tail_pids=()
cleanup() {
    for pid in "${panel_pids[@]}" "${tail_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Messages go out with a pause longer than the driver's read time-out (but
# in the script's burst), so that each shows on its own; the host stops once
# the panels have been quiet for longer than that.
pause=$(awk -v t="$timeout" 'BEGIN { printf "%.2f", t / 100 + 0.5 }')
idle=$(awk -v t="$timeout" 'BEGIN { printf "%.2f", t / 100 + 2.5 }')

# Starts `zelpanel ARGS` on a new pseudo-terminal, its output shown with the
# prefix LABEL, and sets `port` to the reader's port name. The panel holds
# its line until end_panels, so that the host never sees it go away.
start_panel() {
    local label=$1 out=$work/panel${#panel_pids[@]}.out
    shift
    "$bin/zelpanel" "$@" --pty --timeout "$timeout" --hold 3600 > "$out" 2>&1 &
    panel_pids+=($!)
    if ! port=$(zelpanel_port "$out" "${panel_pids[-1]}" 100); then
        cat "$out" >&2
        echo "demo.sh: zelpanel did not create a pseudo-terminal" >&2
        exit 1
    fi
    tail -n +1 -f "$out" --pid "${panel_pids[-1]}" | sed -u "s/^/  $label | /" &
    tail_pids+=($!)
}

# Ends the panels once the host is done; their output has been shown, so
# that the host's summary stays the last word.
end_panels() {
    for pid in "${tail_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${panel_pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for pid in "${panel_pids[@]}" "${tail_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    panel_pids=()
    tail_pids=()
}

echo "== The driver, as zelhost info shows it"
"$bin/zelhost" info
echo
echo "== One panel: zelpanel sends $here/panel-script.txt on a new pseudo-terminal"
start_panel panel send --script "$here/panel-script.txt" --pause "$pause" --report "$work/sent.txt"
echo
echo "== The host: zelhost monitor on $port (the trace shows the driver's own reception lines)"
status=0
"$bin/zelhost" --trace monitor --port "$port" --timeout "$timeout" --idle "$idle" --expect "$work/sent.txt" || status=$?
end_panels

echo
echo "== Two panels: A sends the same script, B random traffic, each on a pseudo-terminal of its own"
start_panel "panel A" send --script "$here/panel-script.txt" --pause "$pause" --report "$work/sent-a.txt"
port_a=$port
start_panel "panel B" random --seed 2026 --count 6 --max-events 3 --no-clear --pause "$pause" --report "$work/sent-b.txt"
port_b=$port
echo
echo "== The host: one zelhost monitor, a channel on $port_a (channel 1) and one on $port_b (channel 2)"
second=0
"$bin/zelhost" monitor --port "$port_a" --port "$port_b" --timeout "$timeout" --idle "$idle" \
    --expect "$work/sent-a.txt" --expect "$work/sent-b.txt" || second=$?
end_panels
[ "$status" -ne 0 ] || status=$second
exit "$status"
