#!/usr/bin/env bash
# The demo of demo.sh with the Windows build under Wine: socat joins two
# pseudo-terminals, the Wine prefix maps COM5 to the host's end and COM6 to
# the panel's, zelpanel.exe sends on COM6 and zelhost.exe monitors COM5
# through ZELWNQX.DLL. The second run adds a pair for COM7 (host) and COM8
# (a second panel), and one zelhost.exe monitors COM5 and COM7.
# Usage: demo-wine.sh WINDOWS_BUILD_DIR [--timeout UNITS]
# WINEPREFIX defaults to WINDOWS_BUILD_DIR/wine-tools. Exit status: 0 when
# every point of both runs matches.
set -euo pipefail

usage() { echo "usage: demo-wine.sh WINDOWS_BUILD_DIR [--timeout UNITS]" >&2; exit 2; }
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd)
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
for tool in zelhost.exe zelpanel.exe ZELWNQX.DLL KORVAN.DLL; do
    [ -e "$bin/$tool" ] || { echo "demo-wine.sh: $bin/$tool is missing: build first" >&2; exit 2; }
done
for program in wine wineserver socat; do
    command -v "$program" >/dev/null || { echo "demo-wine.sh: $program is not installed" >&2; exit 2; }
done
: "${WINEPREFIX:=$build/wine-tools}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG

# The links socat makes; the prefix maps the COM ports to them once.
links=$WINEPREFIX-links
mkdir -p "$links"
"$here/wine-ports.sh" "$links"

work=$(mktemp -d)
socat_pids=()
host_pid=
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
    # The wineserver lets go of the pseudo-terminals before they close.
    wineserver -w 2>/dev/null || true
    for pid in "${socat_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Pauses longer than the read time-out (but in the script's burst), so that
# each message shows on its own.
pause=$(awk -v t="$timeout" 'BEGIN { printf "%.2f", t / 100 + 0.5 }')
idle=$(awk -v t="$timeout" 'BEGIN { printf "%.2f", t / 100 + 3.5 }')
cp "$here/panel-script.txt" "$work/panel-script.txt"
cd "$work"

# Joins the pseudo-terminals LINK_DIR/HOST_LINK and LINK_DIR/PANEL_LINK.
join_ptys() {
    rm -f "$links/$1" "$links/$2"
    socat pty,raw,echo=0,link="$links/$1" pty,raw,echo=0,link="$links/$2" 2>/dev/null &
    socat_pids+=($!)
    for _ in $(seq 600); do
        [ -e "$links/$1" ] && [ -e "$links/$2" ] && break
        sleep 0.05
    done
    [ -e "$links/$1" ] || { echo "demo-wine.sh: socat made no pseudo-terminals" >&2; exit 1; }
}

# Starts `zelhost.exe ARGS`, its output shown as it comes, and waits until
# it listens.
start_host() {
    : > host.out
    wine "$bin/zelhost.exe" "$@" > host.out 2>&1 &
    host_pid=$!
    tail -n +1 -f host.out --pid "$host_pid" &
    tail_pid=$!
    for _ in $(seq 1200); do
        grep -q '^listening' host.out && break
        kill -0 "$host_pid" 2>/dev/null || break
        sleep 0.05
    done
    grep -q '^listening' host.out || { echo "demo-wine.sh: zelhost.exe is not listening" >&2; wait "$host_pid" || exit $?; exit 1; }
}

# The host's exit status, once it has stopped.
end_host() {
    local status=0
    wait "$host_pid" || status=$?
    host_pid=
    wait "$tail_pid" || true
    return "$status"
}

join_ptys host panel
echo "== The driver, as zelhost.exe info shows it"
wine "$bin/zelhost.exe" info
echo
# The host starts first and checks its report before it listens: the
# report is worked out beforehand (the panel writes the same one again).
wine "$bin/zelpanel.exe" show --script panel-script.txt --pause "$pause" > sent.txt
echo "== The host: zelhost.exe monitor on COM5 ($links/host)"
start_host --trace monitor --port COM5 --timeout "$timeout" --idle "$idle" --expect sent.txt
echo "== The panel: zelpanel.exe sends panel-script.txt on COM6 ($links/panel)"
wine "$bin/zelpanel.exe" send --port COM6 --timeout "$timeout" --pause "$pause" --script panel-script.txt --report sent.txt \
    | sed -u 's/^/  panel | /'
status=0
end_host || status=$?

echo
join_ptys host2 panel2
cp sent.txt sent-a.txt
wine "$bin/zelpanel.exe" random --port NUL --timeout 1 --pause 0 --seed 2026 --count 6 --max-events 3 --no-clear \
    --report sent-b.txt > /dev/null
echo "== Two panels and one host: zelhost.exe monitor on COM5 (channel 1) and COM7 ($links/host2, channel 2)"
start_host monitor --port COM5 --port COM7 --timeout "$timeout" --idle "$idle" --expect sent-a.txt --expect sent-b.txt
echo "== Panel A: zelpanel.exe sends panel-script.txt on COM6; panel B: random traffic on COM8 ($links/panel2)"
wine "$bin/zelpanel.exe" send --port COM6 --timeout "$timeout" --pause "$pause" --script panel-script.txt \
    --report sent-a.txt | sed -u 's/^/  panel A | /' &
panel_a=$!
wine "$bin/zelpanel.exe" random --port COM8 --timeout "$timeout" --pause "$pause" --seed 2026 --count 6 --max-events 3 \
    --no-clear --report sent-b.txt | sed -u 's/^/  panel B | /'
wait "$panel_a" || true
second=0
end_host || second=$?
[ "$status" -ne 0 ] || status=$second
exit "$status"
