#!/usr/bin/env bash
# Builds the release packages and prints each one's path and SHA-256 sum:
# the Debian package (build/release-linux) and the Windows zips, 32-bit
# (build/release-windows) and 64-bit (build/release-windows64), without
# tests or benchmarks.
# Usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh linux windows || { echo "release.sh: installing packages failed" >&2; exit 1; }

build_packages() {
    local platform=$1
    shift
    local dir=$root/build/release-$platform
    echo "=== $platform: configure, build and package in $dir" >&2
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF "$@" >/dev/null
    cmake --build "$dir" -j2 >&2
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -B "$dir/packages" >&2)
}

build_packages linux
build_packages windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake"
build_packages windows64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"

echo "=== release packages (SHA-256)"
sha256sum build/release-linux/packages/*.deb build/release-windows/packages/*.zip build/release-windows64/packages/*.zip
