#!/usr/bin/env bash
# Runs COMMAND with pseudo-terminals of its own: a devpts instance in a
# private mount namespace, which ends with the command's last process.
#
# Terminal numbers are otherwise shared by the whole machine. A number freed
# by one program goes to the next terminal made anywhere, and a program that
# still reopens the freed name (as the driver does with a lost port, every
# second) takes that other program's line. A real adapter's device name is
# never handed to someone else; with this, a test's or a soak's is not either.
#
# It needs root (as in the test run). Elsewhere, or already inside one, the
# command runs as it is. ZEL_PTYS tells the command which: own or shared.
# Usage: scripts/own-ptys.sh COMMAND [ARG...]
set -u
[ $# -ge 1 ] || { echo "usage: own-ptys.sh COMMAND [ARG...]" >&2; exit 2; }
if [ -z "${ZEL_PTYS:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null &&
   unshare --mount --propagation private true 2>/dev/null; then
    # The same process throughout (unshare and bash exec), so that a test
    # runner's signals and time-outs reach the command itself.
    exec unshare --mount --propagation private -- bash -c '
        ZEL_PTYS=shared
        if mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts 2>/dev/null; then
            if mount --bind /dev/pts/ptmx /dev/ptmx 2>/dev/null; then ZEL_PTYS=own; else umount /dev/pts; fi
        fi
        export ZEL_PTYS
        exec "$@"' own-ptys "$@"
fi
export ZEL_PTYS=${ZEL_PTYS:-shared}
exec "$@"
