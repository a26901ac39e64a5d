#!/bin/sh
# A private Xvfb display for the dialog tests, which run Windows programs
# under Wine in their own prefix (WINEPREFIX must name it).
#
#   dialog-xvfb.sh start STATE    starts Xvfb on a free display number and
#                                 writes "DISPLAY PID" to the file STATE
#   dialog-xvfb.sh run STATE [--screenshot PNG] COMMAND [ARGUMENT...]
#                                 runs the command on that display
#   dialog-xvfb.sh stop STATE     stops that Xvfb
#
# All Wine programs of one prefix share one session and one desktop process,
# which must see one display throughout: so every program of the prefix
# runs on the display of one start, and start waits for a session left
# from an earlier display to end.
#
# With --screenshot, the program learns from ZEL_DIALOG_SHOT_DIR where to
# announce an open dialog: it writes the dialog's screen rectangle
# (WxH+X+Y) to "ready" there and waits for "taken". The rectangle is cut out
# of the screen with ImageMagick's import and stored as PNG without time
# stamps, so an unchanged dialog gives an unchanged file.
set -u
[ $# -ge 2 ] || { echo "usage: $0 start|run|stop STATE ..."; exit 2; }
action=$1 state=$2
shift 2
if [ -z "${WINEPREFIX:-}" ]; then
    echo "WINEPREFIX must name the dialog tests' own Wine prefix"; exit 1
fi
export WINEPREFIX
: "${WINEDEBUG:=-all}"
export WINEDEBUG
here=$(dirname "$0")

# Stops the Xvfb that STATE records, if any.
stop_recorded() {
    [ -f "$state" ] || return 0
    pid=$(cut -d' ' -f2 "$state")
    rm -f "$state"
    kill "$pid" 2>/dev/null
    return 0
}

start() {
    stop_recorded  # left by a run that did not stop it
    wineserver -w
    log="$state.log"
    # Detached, with no inherited output, so that ctest does not wait for it.
    setsid Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$state.number" </dev/null >"$log" 2>&1 &
    pid=$!
    tries=0
    until [ -s "$state.number" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 200 ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "Xvfb did not start:"; cat "$log"; exit 1
        fi
        sleep 0.05
    done
    echo ":$(head -n 1 "$state.number") $pid" >"$state"
    rm -f "$state.number"
    DISPLAY=$(cut -d' ' -f1 "$state")
    export DISPLAY
    echo "Xvfb $pid on $DISPLAY"
    # There is no window manager: Wine draws captions and frames itself and
    # does not wait for a manager to map or withdraw its windows.
    if ! grep -qs '^"Decorated"="N"' "$WINEPREFIX/user.reg" ||
        ! grep -qs '^"Managed"="N"' "$WINEPREFIX/user.reg"; then
        printf '%s\n' REGEDIT4 '' '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' \
            '"Decorated"="N"' '"Managed"="N"' >"$state.reg"
        # Output to a file: the session's processes outlive regedit.
        if ! "$here/wine-run.sh" regedit /S "Z:$state.reg" </dev/null >"$state.wine.log" 2>&1; then
            echo "cannot configure Wine's X11 driver:"; cat "$state.wine.log"; exit 1
        fi
        rm -f "$state.reg" "$state.wine.log"
    fi
}

run() {
    [ -f "$state" ] || { echo "no display: run '$0 start $state' first"; exit 1; }
    DISPLAY=$(cut -d' ' -f1 "$state")
    export DISPLAY
    shot=""
    if [ "${1:-}" = "--screenshot" ]; then
        shot=$2
        shift 2
    fi
    work=$(mktemp -d) || exit 1
    trap 'rm -rf "$work"' EXIT
    # The program's output goes through a file: processes of the Wine
    # session that it starts outlive it for a while and would hold a pipe
    # open, and with it the caller waiting for the end of the output.
    if [ -z "$shot" ]; then
        "$@" >"$work/output" 2>&1
        status=$?
        cat "$work/output"
        exit $status
    fi
    # Wine sees the Unix file system as drive Z:.
    ZEL_DIALOG_SHOT_DIR="Z:$work"
    export ZEL_DIALOG_SHOT_DIR
    "$@" >"$work/output" 2>&1 &
    program=$!
    while [ ! -f "$work/ready" ] && kill -0 "$program" 2>/dev/null; do
        sleep 0.05
    done
    status=0
    if [ -f "$work/ready" ]; then
        geometry=$(head -n 1 "$work/ready")
        if import -display "$DISPLAY" -window root -crop "$geometry" +repage -strip \
            -define png:exclude-chunks=date,time "$work/shot.png"; then
            mv "$work/shot.png" "$shot"
            echo "screenshot $geometry stored as $shot"
        else
            echo "import failed"; status=1
        fi
        touch "$work/taken"
    else
        echo "the program never offered a screenshot"; status=1
    fi
    wait "$program" || status=1
    cat "$work/output"
    exit $status
}

case $action in
    start) start ;;
    run) run "$@" ;;
    stop) stop_recorded ;;
    *) echo "unknown action $action"; exit 2 ;;
esac
