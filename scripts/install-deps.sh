#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tools and the tests need,
# only those missing. Run as root (or with sudo available).
# Usage: install-deps.sh [linux] [windows] [gui] [fuzz]   (default: all)
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(linux windows gui fuzz)

packages=()
need_i386=0
for group in "${groups[@]}"; do
    case "$group" in
        linux) packages+=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev
                          libbenchmark-dev libcli11-dev socat procps
                          libmodbus-dev mbpoll python3-pymodbus  # the gateway's Modbus TCP server; its tests' clients
                          libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl
                          dpkg-dev lintian  # the Debian package: dpkg-shlibdeps, its check
                          help2man          # the tools' manual pages, made from their help
                          python3) ;;       # a terminal for the console tests (pty module)
        windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 socat
                            zip)  # zip: the release zip (packaging/make-zip.cmake)
                 need_i386=1 ;;
        gui) packages+=(xvfb xauth x11-utils imagemagick) ;;
        fuzz) packages+=(clang libclang-rt-14-dev) ;;
        *) echo "install-deps.sh: unknown group '$group' (linux, windows, gui, fuzz)" >&2; exit 2 ;;
    esac
done

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if [ "$need_i386" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    updated=0
else
    updated=1
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$updated" -eq 0 ] || [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ]; then
        as_root apt-get update -q
    fi
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"; then
        as_root apt-get update -q
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    fi
fi
