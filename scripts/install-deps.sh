#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tools and the tests need,
# only those missing. Run as root (or with sudo available).
# Usage: install-deps.sh [linux] [windows] [gui] [fuzz]   (default: all)
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(linux windows gui fuzz)

packages=()
want_wine32=0
for group in "${groups[@]}"; do
    case "$group" in
        linux) packages+=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev
                          libbenchmark-dev libcli11-dev socat procps
                          libmodbus-dev mbpoll python3-pymodbus  # the gateway's Modbus TCP server; its tests' clients
                          libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl
                          libmicrohttpd-dev  # the gateway's HTTP server (page, JSON API, event stream, metrics)
                          chromium chromium-driver python3-selenium  # the gateway page's test in a real browser
                          prometheus         # promtool check metrics: the gateway's /metrics in the test
                          python3-paho-mqtt  # the chaos soak's independent checker (scripts/chaos_check.py)
                          dpkg-dev lintian  # the Debian package: dpkg-shlibdeps, its check
                          help2man          # the tools' manual pages, made from their help
                          python3) ;;       # a terminal for the console tests (pty module)
        windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686      # the 32-bit DLL
                            g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64  # the 64-bit DLL
                            wine wine64 socat
                            zip)  # zip: the release zips (packaging/make-zip.cmake)
                 want_wine32=1 ;;
        gui) packages+=(xvfb xauth x11-utils imagemagick) ;;
        fuzz) packages+=(clang libclang-rt-14-dev) ;;
        *) echo "install-deps.sh: unknown group '$group' (linux, windows, gui, fuzz)" >&2; exit 2 ;;
    esac
done

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# An index that fails to download (a mirror in the middle of a sync) is
# tried once more; then apt goes on with the lists it has, and only an
# install that fails is fatal.
update_index() {
    as_root apt-get update -q && return 0
    sleep 5
    as_root apt-get update -q && return 0
    echo "install-deps.sh: apt-get update reported a failed index; going on with the package lists there are" >&2
}

missing_of() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

install_packages() {
    [ $# -gt 0 ] || return 0
    echo "Installing: $*"
    if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ]; then
        update_index
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" && return 0
    update_index
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
}

mapfile -t missing < <(missing_of "${packages[@]}")
install_packages "${missing[@]}" || exit 1

# The 32-bit Wine: the system's own where the kernel runs 32-bit programs,
# which needs the i386 architecture and an i386 index in step with amd64's.
# When it cannot be installed the tests use a private copy
# (scripts/wine32.sh). Where the kernel refuses 32-bit programs, qemu-user
# runs the 32-bit smoke instead. Neither is fatal: the 64-bit Windows suite
# runs in any case.
if [ "$want_wine32" -eq 1 ]; then
    here=$(dirname "$0")
    if [ "${ZEL_X86:-}" != smoke ] && bash "$here/wine32.sh" probe; then
        if ! bash "$here/wine32.sh" installed; then
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                as_root dpkg --add-architecture i386
                update_index
            fi
            log=$(mktemp)
            if ! install_packages wine32:i386 >"$log" 2>&1; then
                echo "install-deps.sh: the 32-bit Wine (wine32:i386) cannot be installed" \
                     "($(grep -m1 '^E:' "$log" | cut -c4-)); the 32-bit tests use a private copy" >&2
            fi
            rm -f "$log"
        fi
    else
        mapfile -t missing < <(missing_of qemu-user-static)
        install_packages "${missing[@]}" >/dev/null 2>&1 ||
            echo "install-deps.sh: qemu-user-static cannot be installed; the 32-bit smoke under emulation will not run" >&2
    fi
fi
