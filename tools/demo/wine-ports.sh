#!/bin/sh
# Maps COM5 and COM6 of $WINEPREFIX to LINK_DIR/host and LINK_DIR/panel, and
# COM7 and COM8 to LINK_DIR/host2 and LINK_DIR/panel2, once per prefix and
# link directory, and restarts the prefix's wineserver so that the mapping
# takes effect.
# Usage: wine-ports.sh LINK_DIR
set -eu
links=$1
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
mkdir -p "$links"
marker=$WINEPREFIX/.zel-tool-ports
wanted="COM5=$links/host COM6=$links/panel COM7=$links/host2 COM8=$links/panel2"
if [ -f "$marker" ] && [ "$(cat "$marker")" = "$wanted" ]; then
    exit 0
fi
wineboot -i >/dev/null 2>&1 || true
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$links/host" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$links/panel" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$links/host2" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM8 /t REG_SZ /d "$links/panel2" /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
echo "$wanted" > "$marker"
