#!/bin/sh
# Runs a Windows program under Wine in the project's own prefix.
#
# The prefix's Wine server ends a few seconds after its last client. A
# client that connects in that instant loses the server before the program
# starts ("wine client error:0: ...", thread 0: before any thread of the
# program), and is run once more. Its standard error is kept in a file to
# tell that case, and passed on when the program ends.
: "${WINEPREFIX:=${HOME}/.wine-zelwnqx}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
errors=$(mktemp) || exit 1
for attempt in 1 2; do
    status=0
    wine "$@" 2>"$errors" || status=$?
    [ $status -ne 0 ] && [ $attempt -eq 1 ] && head -n 1 "$errors" | grep -q '^wine client error:0: ' || break
    echo "wine-run.sh: $(head -n 1 "$errors"): the Wine server ended as the program started; once more" >&2
done
cat "$errors" >&2
rm -f "$errors"
exit $status
