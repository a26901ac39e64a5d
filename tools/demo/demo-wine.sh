#!/usr/bin/env bash
# The demo of demo.sh with the Windows build under Wine: socat joins two
# pseudo-terminals, the Wine prefix maps COM5 to the host's end and COM6 to
# the panel's, zelpanel.exe sends on COM6 and zelhost.exe monitors COM5
# through ZELWNQX.DLL.
# Usage: demo-wine.sh WINDOWS_BUILD_DIR [--timeout UNITS]
# WINEPREFIX defaults to WINDOWS_BUILD_DIR/wine-tools. Exit status: 0 when
# every point matches.
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
socat_pid=
host_pid=
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
    # The wineserver lets go of the pseudo-terminals before they close.
    wineserver -w 2>/dev/null || true
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

idle=$(awk -v t="$timeout" 'BEGIN { printf "%.2f", t / 100 + 3.5 }')
cp "$here/panel-script.txt" "$work/panel-script.txt"
cd "$work"

rm -f "$links/host" "$links/panel"
socat pty,raw,echo=0,link="$links/host" pty,raw,echo=0,link="$links/panel" 2>/dev/null &
socat_pid=$!
for _ in $(seq 600); do
    [ -e "$links/host" ] && [ -e "$links/panel" ] && break
    sleep 0.05
done
[ -e "$links/host" ] || { echo "demo-wine.sh: socat made no pseudo-terminals" >&2; exit 1; }

echo "== The driver, as zelhost.exe info shows it"
wine "$bin/zelhost.exe" info
echo
echo "== The host: zelhost.exe monitor on COM5 ($links/host)"
: > host.out
wine "$bin/zelhost.exe" --trace monitor --port COM5 --timeout "$timeout" --idle "$idle" --expect sent.txt \
    > host.out 2>&1 &
host_pid=$!
tail -n +1 -f host.out --pid "$host_pid" &
tail_pid=$!
for _ in $(seq 1200); do
    grep -q '^listening' host.out && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.05
done
grep -q '^listening' host.out || { echo "demo-wine.sh: zelhost.exe is not listening" >&2; wait "$host_pid" || exit $?; exit 1; }

echo "== The panel: zelpanel.exe sends panel-script.txt on COM6 ($links/panel)"
wine "$bin/zelpanel.exe" send --port COM6 --timeout "$timeout" --script panel-script.txt --report sent.txt \
    | sed -u 's/^/  panel | /'
status=0
wait "$host_pid" || status=$?
host_pid=
wait "$tail_pid" || true
exit "$status"
