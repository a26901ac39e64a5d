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
    # The 32-bit DLL where the system's 32-bit Wine runs it, else the 64-bit
    # DLL from the same sources under the 64-bit Wine.
    preset=windows64
    if bash scripts/wine32.sh probe && bash scripts/wine32.sh installed; then
        preset=windows
    else
        echo "demo.sh: no 32-bit Wine here; the demo runs the 64-bit DLL (build/windows64)" >&2
    fi
    echo "Building the DLL and the tools (build/$preset) ..." >&2
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target zelwnqx korvan zelhost zelpanel >/dev/null
    exec bash tools/demo/demo-wine.sh "build/$preset"
fi

bash scripts/install-deps.sh linux >&2
echo "Building the driver and the tools (build/linux) ..." >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target zelwnqx zelhost zelpanel >/dev/null
exec bash tools/demo/demo.sh build/linux
