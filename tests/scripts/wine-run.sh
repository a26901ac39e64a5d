#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix.
#
# The prefix's Wine server ends a few seconds after its last client. A
# client that connects in that instant loses the server before the program
# starts ("wine client error:0: ...", thread 0: before any thread of the
# program), and is run once more. Its standard error passes on as it comes
# (nothing is held back from a program a time-out kills), and a copy tells
# that case.
: "${WINEPREFIX:=${HOME}/.wine-zelwnqx}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
errors=$(mktemp) || exit 1
for attempt in 1 2; do
    status=0
    wine "$@" 2> >(tee "$errors" >&2) || status=$?
    wait $!  # the copy is whole
    first=$(head -n 1 "$errors")
    [ $status -ne 0 ] && [ $attempt -eq 1 ] && [[ $first == "wine client error:0: "* ]] || break
    echo "wine-run.sh: $first: the Wine server ended as the program started; once more" >&2
done
rm -f "$errors"
exit $status
