#!/usr/bin/env bash
# Makes a build directory's release package and checks it as an integrator gets it.
#   check-package.sh deb BUILD_DIR CHAIN_TEST   (as root) lintian finds no error; installed
#     for real (dpkg -i, dpkg -r on every way out), the installed zelhost loads the installed
#     driver and the installed tools do CHAIN_TEST's random_soak exchange.
#   check-package.sh zip BUILD_DIR KORVAN_DLL   made twice with the same bytes, holds no
#     stand-in; unpacked, its zelhost.exe loads its DLL under Wine, the stand-in beside it.
set -u
kind=$1 build=$2 extra=$3
work=$(mktemp -d)
installed=0
trap '[ "$installed" -eq 0 ] || dpkg -r zelwnqx >/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
package() { cpack --config "$build/CPackConfig.cmake" -B "$1" >"$work/log" 2>&1 || { cat "$work/log"; fail cpack; }; }
# `zelhost info` in $work/info: the driver it loaded (a pattern) and the banner's version.
check_info() {
    grep -Eq "^driver +$1" "$work/info" && grep -q "Version $version " "$work/info" ||
        { cat "$work/info"; fail "zelhost info did not show the driver $1, version $version"; }
}

case $kind in
deb)
    [ "$(id -u)" -eq 0 ] || { echo "skipped: installing the package needs root"; exit 77; }
    dpkg-query -W -f='${Status}' zelwnqx 2>/dev/null | grep -q "ok installed" &&
        { echo "skipped: zelwnqx is installed on this machine, and stays so"; exit 77; }
    package "$work"
    lintian --fail-on error "$work"/zelwnqx_"$version"_*.deb 2>/dev/null || fail "lintian found errors"
    installed=1
    dpkg -i "$work"/zelwnqx_"$version"_*.deb >"$work/log" 2>&1 || { cat "$work/log"; fail "dpkg -i"; }
    /usr/bin/zelhost info >"$work/info" 2>&1
    check_info "/usr/lib/[^/]+/zelwnqx/libzelwnqx.so$"
    "$extra" random_soak /usr/bin || fail "the installed tools' exchange"
    dpkg -r zelwnqx >/dev/null && installed=0 && [ ! -e /usr/bin/zelhost ] || fail "dpkg -r"
    ;;
zip)
    top=ZELWNQX-$version-win32
    package "$work/1"
    package "$work/2"
    cmp "$work/1/$top.zip" "$work/2/$top.zip" || fail "two runs made different zips"
    (cd "$work" && cmake -E tar xf "1/$top.zip") || fail "cannot unpack $top.zip"
    for file in ZELWNQX.DLL zelhost.exe zelpanel.exe include/zelwnqx.h README.md INSTALL.txt; do
        [ -f "$work/$top/$file" ] || fail "$top.zip holds no $file"
    done
    [ -z "$(find "$work/$top" -iname 'korvan*')" ] || fail "$top.zip holds the KORVAN stand-in"
    cp "$extra" "$work/$top/"
    "$(dirname "$0")/wine-run.sh" "$work/$top/zelhost.exe" info >"$work/info" 2>&1
    check_info ".*$top.ZELWNQX.DLL"
    ;;
*) fail "unknown kind $kind (deb, zip)" ;;
esac
echo "ok: $kind package"
