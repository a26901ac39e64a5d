#!/usr/bin/env bash
# The whole chain on one machine: zelpanel plays the panel on a
# pseudo-terminal pair it creates, zelhost opens the other end through the
# driver, shows the banner, the traffic and the table changes, and ends with
# a summary of what was sent against what ReadTag returned.
# Usage: demo.sh BUILD_DIR [--timeout UNITS]
# Exit status: 0 when every point matches.
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
for tool in zelhost zelpanel libzelwnqx.so; do
    [ -e "$bin/$tool" ] || { echo "demo.sh: $bin/$tool is missing: build first" >&2; exit 2; }
done

work=$(mktemp -d)
panel_pid=
cleanup() {
    [ -n "$panel_pid" ] && kill "$panel_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The host stops once the panel has been quiet for longer than its pauses.
idle=$(awk -v t="$timeout" 'BEGIN { printf "%.2f", t / 100 + 2.5 }')

echo "== The driver, as zelhost info shows it"
"$bin/zelhost" info
echo
echo "== The panel: zelpanel sends $here/panel-script.txt on a new pseudo-terminal"
"$bin/zelpanel" send --pty --timeout "$timeout" --script "$here/panel-script.txt" --report "$work/sent.txt" \
    > "$work/panel.out" 2>&1 &
panel_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^port //p' "$work/panel.out")
    [ -n "$port" ] && break
    kill -0 "$panel_pid" 2>/dev/null || break
    sleep 0.05
done
if [ -z "$port" ]; then
    cat "$work/panel.out" >&2
    echo "demo.sh: zelpanel did not create a pseudo-terminal" >&2
    exit 1
fi
tail -n +1 -f "$work/panel.out" --pid "$panel_pid" | sed -u 's/^/  panel | /' &
tail_pid=$!
echo
echo "== The host: zelhost monitor on $port (the trace shows the driver's own reception lines)"
status=0
"$bin/zelhost" --trace monitor --port "$port" --timeout "$timeout" --idle "$idle" --expect "$work/sent.txt" || status=$?
wait "$panel_pid" || true
panel_pid=
wait "$tail_pid" || true
exit "$status"
