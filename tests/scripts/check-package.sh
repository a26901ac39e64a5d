#!/usr/bin/env bash
# Makes a build directory's release package and checks it as an integrator gets it.
#   check-package.sh deb BUILD_DIR CHAIN_TEST   (as root) lintian finds no error; installed
#     for real (dpkg -i, dpkg -P on every way out), the installed zelhost loads the installed
#     driver and the installed tools do CHAIN_TEST's random_soak exchange; the gateway's
#     service: its unit verifies, it is not enabled, and its command runs as the user zelwnqx.
#   check-package.sh zip BUILD_DIR   the build's zip (win32 or win64): made twice with the same bytes, the KORVAN stand-in only
#     in tools/ with the tools; unpacked, under Wine, the tools run from there as they are:
#     zelhost.exe info loads the zip's DLL, both tools' --version, a monitor on a missing port.
set -u
kind=$1 build=$2 extra=${3:-}
work=$(mktemp -d)
installed=0
trap '[ "$installed" -eq 0 ] || dpkg -P zelwnqx >/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
package() { cpack --config "$build/CPackConfig.cmake" -B "$1" >"$work/log" 2>&1 || { cat "$work/log"; fail cpack; }; }
# `zelhost info` in $work/info: the driver it loaded (a pattern) and the banner's version.
check_info() {
    grep -Eq "^driver +$1" "$work/info" && grep -q "Version $version " "$work/info" ||
        { cat "$work/info"; fail "zelhost info did not show the driver $1, version $version"; }
}

# The gateway's service as installed: the unit verifies and is not enabled,
# the user zelwnqx is in dialout, /etc/zelwnqx is theirs to read, and the
# unit's own command, run as that user with a panel's port added, serves it.
check_service() {
    local unit=/lib/systemd/system/zelhost-publish.service
    systemd-analyze verify "$unit" >"$work/verify" 2>&1 || { cat "$work/verify"; fail "systemd-analyze verify"; }
    [ ! -e /etc/systemd/system/multi-user.target.wants/zelhost-publish.service ] || fail "the service is enabled"
    id -nG zelwnqx | grep -qw dialout || fail "zelwnqx is not in dialout"
    [ "$(stat -c %G:%a /etc/zelwnqx)" = zelwnqx:750 ] || fail "/etc/zelwnqx is $(stat -c %G:%a /etc/zelwnqx)"
    dpkg-query --showformat='${Conffiles}' -W zelwnqx | grep -q /etc/zelwnqx/gateway.toml || fail "gateway.toml no conffile"
    local command
    command=$(sed -n 's/^ExecStart=//p' "$unit")
    runuser -u zelwnqx -- /usr/bin/zelpanel send --pty --timeout 20 --start-delay 2 "ckt bus=1 slot=4 point=130" \
        >"$work/panel" 2>&1 &
    local panel=$! port=
    for _ in $(seq 100); do port=$(sed -n 's/^port //p' "$work/panel"); [ -n "$port" ] && break; sleep 0.05; done
    [ -n "$port" ] || fail "zelpanel printed no port"
    # shellcheck disable=SC2086
    timeout -s INT 5 runuser -u zelwnqx -- $command --port "$port" --timeout 20 --dry-run >"$work/gateway" 2>&1
    wait "$panel"
    grep -q "/1/point/0104130 1  (retained)" "$work/gateway" || { cat "$work/gateway"; fail "the service's command as zelwnqx"; }
    check_service_binds_502 "$command"
}

# The unit lets the gateway bind Modbus TCP's port 502, and nothing more:
# run as systemd runs it (its user and groups, the ambient capability, the
# bounding set, no new privileges) it serves there; as the bare user it
# cannot.
check_service_binds_502() {
    local command=$1 unit=/lib/systemd/system/zelhost-publish.service
    [ "$(sed -n 's/^AmbientCapabilities=//p' "$unit")" = CAP_NET_BIND_SERVICE ] &&
        [ "$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")" = CAP_NET_BIND_SERVICE ] ||
        fail "the unit does not grant CAP_NET_BIND_SERVICE alone"
    local modbus=(--port NUL --no-mqtt --modbus 127.0.0.1:502)
    # shellcheck disable=SC2086
    timeout -s INT 5 setpriv --reuid zelwnqx --regid zelwnqx --init-groups --inh-caps +net_bind_service \
        --ambient-caps +net_bind_service --bounding-set -all,+net_bind_service --no-new-privs -- \
        $command "${modbus[@]}" >"$work/gateway502" 2>&1
    grep -q "serving Modbus TCP on 127.0.0.1:502" "$work/gateway502" || { cat "$work/gateway502"; fail "the service cannot serve port 502"; }
    local status=0
    # shellcheck disable=SC2086
    timeout -s INT 5 runuser -u zelwnqx -- $command "${modbus[@]}" >"$work/gateway502" 2>&1 || status=$?
    [ "$status" -eq 3 ] && grep -q "Permission denied" "$work/gateway502" ||
        { cat "$work/gateway502"; fail "without the capability port 502 was bound (exit status $status)"; }
}

# The manual pages read without a warning of man's, and zelhost's names
# every command; the installed completions offer the commands and each
# command's options.
check_manuals_and_completion() {
    local tool command
    for tool in zelhost zelpanel; do
        LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$tool.1.gz" >"$work/man-$tool" 2>"$work/warnings" ||
            fail "man $tool"
        [ ! -s "$work/warnings" ] || { cat "$work/warnings"; fail "man warns about $tool(1)"; }
    done
    for command in info monitor read validate publish; do
        grep -q "^ZELHOST ${command^^}\$" "$work/man-zelhost" || fail "zelhost(1) does not describe $command"
    done
    complete_with() {
        bash -c '. /usr/share/bash-completion/completions/$1; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
                 "_${COMP_WORDS[0]}"; echo "${COMPREPLY[*]}"' completion "$@"
    }
    [ "$(complete_with zelhost zelhost mon)" = monitor ] || fail "completion of zelhost's commands"
    [ "$(complete_with zelhost zelhost monitor --wa)" = --walk-test ] || fail "completion of monitor's options"
    [ "$(complete_with zelpanel zelpanel send --pt)" = --pty ] || fail "completion of zelpanel's options"
}

case $kind in
deb)
    [ "$(id -u)" -eq 0 ] || { echo "skipped: installing the package needs root"; exit 77; }
    dpkg-query -W -f='${Status}' zelwnqx 2>/dev/null | grep -q "ok installed" &&
        { echo "skipped: zelwnqx is installed on this machine, and stays so"; exit 77; }
    package "$work"
    lintian --fail-on error,warning "$work"/zelwnqx_"$version"_*.deb >"$work/lintian" 2>&1 ||
        { cat "$work/lintian"; fail "lintian found errors or warnings"; }
    installed=1
    dpkg -i "$work"/zelwnqx_"$version"_*.deb >"$work/log" 2>&1 || { cat "$work/log"; fail "dpkg -i"; }
    /usr/bin/zelhost info >"$work/info" 2>&1
    check_info "/usr/lib/[^/]+/zelwnqx/libzelwnqx.so$"
    "$extra" random_soak /usr/bin || fail "the installed tools' exchange"
    check_service
    check_manuals_and_completion
    dpkg -P zelwnqx >/dev/null && installed=0 && [ ! -e /usr/bin/zelhost ] || fail "dpkg -P"
    ! getent passwd zelwnqx >/dev/null || fail "the purge left the user zelwnqx"
    ;;
zip)
    top=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(ZELWNQX-.*-win\(32\|64\)\)")$/\1/p' "$build/CPackConfig.cmake")
    [ -n "$top" ] || fail "the build names no ZELWNQX-$version-win32 or -win64 package"
    package "$work/1"
    package "$work/2"
    cmp "$work/1/$top.zip" "$work/2/$top.zip" || fail "two runs made different zips"
    (cd "$work" && cmake -E tar xf "1/$top.zip") || fail "cannot unpack $top.zip"
    for file in ZELWNQX.DLL tools/zelhost.exe tools/zelpanel.exe tools/KORVAN.DLL include/zelwnqx.h README.md \
        INSTALL.txt; do
        [ -f "$work/$top/$file" ] || fail "$top.zip holds no $file"
    done
    grep -q "the driver (${top##*-win}-bit)" "$work/$top/INSTALL.txt" || fail "INSTALL.txt does not say ${top##*-win}-bit"
    [ "$(find "$work/$top" -iname 'korvan*')" = "$work/$top/tools/KORVAN.DLL" ] ||
        fail "$top.zip holds a KORVAN file outside tools/"
    wine=$(dirname "$0")/wine-run.sh tools=$work/$top/tools
    "$wine" "$tools/zelhost.exe" info >"$work/info" 2>&1
    check_info ".*$top.ZELWNQX.DLL"
    for tool in zelhost zelpanel; do
        "$wine" "$tools/$tool.exe" --version >"$work/out" 2>&1
        [ "$(tr -d '\r' <"$work/out")" = "$tool $version" ] || { cat "$work/out"; fail "$tool.exe --version"; }
    done
    "$wine" "$tools/zelhost.exe" monitor --port COM42 >"$work/out" 2>&1
    status=$?
    [ "$status" -eq 2 ] && grep -q "cannot open COM42: no such port" "$work/out" ||
        { cat "$work/out"; fail "zelhost.exe monitor on a missing port: exit status $status, expected 2"; }
    ;;
*) fail "unknown kind $kind (deb, zip)" ;;
esac
echo "ok: $kind package"
