#!/bin/sh
# Runs a command and checks its exit status and one of its outputs.
# Usage: check_run.sh STATUS STREAM PATTERN COMMAND [ARGS...]
#   STREAM out: standard output matches PATTERN (grep -E)
#   STREAM err: standard error is exactly one line and matches PATTERN
set -u
want_status=$1 stream=$2 pattern=$3
shift 3
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" >"$out" 2>"$err"
status=$?
failed=0
if [ "$status" -ne "$want_status" ]; then
    echo "exit status $status, expected $want_status"
    failed=1
fi
case $stream in
    out) grep -Eq -- "$pattern" "$out" || { echo "standard output does not match: $pattern"; failed=1; } ;;
    err)
        lines=$(wc -l <"$err")
        [ "$lines" -eq 1 ] || { echo "standard error has $lines lines, expected one"; failed=1; }
        grep -Eq -- "$pattern" "$err" || { echo "standard error does not match: $pattern"; failed=1; } ;;
    *) echo "unknown stream $stream"; failed=1 ;;
esac
if [ "$failed" -ne 0 ]; then
    echo "command: $*"
    echo "--- standard output"; cat "$out"
    echo "--- standard error"; cat "$err"
fi
exit "$failed"
