#!/usr/bin/env bash
# The main job: the whole chain for a person at a terminal. zelpanel plays
# the fire-alarm panel on one end of a pseudo-terminal pair, zelhost plays
# the host on the other end with the driver loaded (its messages come one by
# one and in a burst), and the run ends with a summary comparing what the
# panel sent with what ReadTag returned. A second run does the same with two
# panels and one host that opens a channel on each.
# Usage: scripts/demo.sh [--windows]   (--windows: the DLL under Wine)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--windows" ]; then
    bash scripts/install-deps.sh linux windows >&2
    echo "Building the DLL and the tools (build/windows) ..." >&2
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target zelwnqx korvan zelhost zelpanel >/dev/null
    if ! wine --version >/dev/null 2>&1; then
        echo "demo.sh: Wine cannot run here: this machine refuses 32-bit x86 programs ($(wine --version 2>&1 | tail -1))" >&2
        exit 1
    fi
    exec bash tools/demo/demo-wine.sh build/windows
fi

bash scripts/install-deps.sh linux >&2
echo "Building the driver and the tools (build/linux) ..." >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target zelwnqx zelhost zelpanel >/dev/null
exec bash tools/demo/demo.sh build/linux
