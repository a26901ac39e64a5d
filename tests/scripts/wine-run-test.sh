#!/bin/sh
# wine-run.sh against a stand-in `wine` that plays each case: a client that
# lost the Wine server at its start is run once more, and nothing else is.
# Usage: wine-run-test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# The stand-in: the case's outcomes in order, one per start (lost: the server
# went at the start; crash: a program thread's client error; N: exit N).
cat >"$work/bin/wine" <<'STANDIN'
#!/bin/sh
starts=$(($(cat "$ZEL_STANDIN/starts" 2>/dev/null || echo 0) + 1))
echo $starts >"$ZEL_STANDIN/starts"
outcome=$(sed -n "${starts}p" "$ZEL_STANDIN/outcomes")
if [ "$outcome" = lost ]; then
    echo "wine client error:0: recvmsg: Connection reset by peer" >&2
    exit 1
fi
read -r line && echo "$* read $line"
case $outcome in
crash) echo "wine client error:2c: read: Connection reset by peer" >&2; exit 1 ;;
*) echo "program's own error" >&2; exit "$outcome" ;;
esac
STANDIN
chmod +x "$work/bin/wine"
fails=0
# outcomes | status expected | starts expected | the program read its input
while IFS='|' read -r outcomes want_status want_starts read; do
    rm -f "$work/starts"
    printf '%s\n' $outcomes >"$work/outcomes"
    status=0
    echo input | ZEL_STANDIN=$work PATH=$work/bin:$PATH WINEPREFIX=$work/prefix "$here/wine-run.sh" prog.exe arg \
        >"$work/out" 2>"$work/err" || status=$?
    starts=$(cat "$work/starts")
    if [ "$status" -ne "$want_status" ] || [ "$starts" -ne "$want_starts" ] ||
        [ "$(cat "$work/out")" != "${read:+prog.exe arg read input}" ] || ! tail -n 1 "$work/err" | grep -q error; then
        echo "FAIL: outcomes '$outcomes': exit $status after $starts starts, expected $want_status after $want_starts"
        cat "$work/out" "$work/err"
        fails=$((fails + 1))
    fi
done <<'CASES'
0|0|1|yes
3|3|1|yes
lost 0|0|2|yes
lost 4|4|2|yes
lost lost|1|2|
crash 0|1|1|yes
CASES
[ $fails -eq 0 ] && echo "ok: wine-run.sh"
exit $fails
