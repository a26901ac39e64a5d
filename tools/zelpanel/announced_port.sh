# shellcheck shell=bash
# Sourced by the scripts that start zelpanel with a pseudo-terminal.
# zelpanel_port OUT PID [TRIES] prints the port that zelpanel announced on
# its "port NAME" line in OUT. It looks every 0.05 s, TRIES times (600 when
# not given: 30 s), and gives up at once when zelpanel PID ended without one.
zelpanel_port() {
    local out=$1 pid=$2 tries=${3:-600} name alive
    for _ in $(seq "$tries"); do
        # Checked before the output is read: a zelpanel that announced its
        # port and then ended is not taken for one that never announced it.
        alive=yes
        kill -0 "$pid" 2>/dev/null || alive=
        name=$(sed -n 's/^port //p' "$out" 2>/dev/null)
        if [ -n "$name" ]; then
            echo "$name"
            return 0
        fi
        [ -n "$alive" ] || return 1
        sleep 0.05
    done
    return 1
}
