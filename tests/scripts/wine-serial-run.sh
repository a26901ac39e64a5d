#!/bin/sh
# Runs a Windows test program under Wine with COM ports mapped to
# pseudo-terminal links that the program itself creates (with socat) under
# ZEL_LINK_DIR: COMn is the link ZEL_LINK_DIR/linen.
# Usage: wine-serial-run.sh LINK_DIR PROGRAM [ARGS...]
set -u
link_dir=$1
shift
: "${WINEPREFIX:?WINEPREFIX must name the prefix for these tests}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG ZEL_LINK_DIR="$link_dir"
mkdir -p "$link_dir"

mapping_file="$WINEPREFIX/.zel-ports"
wanted="$link_dir/line 5 6 7 8 12 13"
if [ ! -f "$mapping_file" ] || [ "$(cat "$mapping_file")" != "$wanted" ]; then
    wineboot -i >/dev/null 2>&1
    for n in 5 6 7 8 12 13; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$link_dir/line$n" /f >/dev/null 2>&1 || {
            echo "cannot map COM$n in $WINEPREFIX" >&2; exit 1; }
    done
    echo "$wanted" > "$mapping_file"
fi
# A fresh wineserver picks the mapping up. Its stderr goes nowhere: it gets
# SIGHUP whenever a pseudo-terminal it holds is closed, and then dumps its
# state there.
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
wineserver -p5 >/dev/null 2>&1
status=0
wine "$@" || status=$?
pkill -f "socat.*$link_dir/" 2>/dev/null
wineserver -k 2>/dev/null
exit $status
