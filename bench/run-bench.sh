#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs both programs: the micro
# benchmarks and the end-to-end figures. Raw results go to
# <build-dir>/results/ (a --quick run: <build-dir>/results/quick/).
#
# Usage: bench/run-bench.sh [--quick] [--no-build] [build-dir]
#   build-dir   default: build/bench under the source tree
#   --quick     a short run: 0.2 s per micro benchmark, 2 s of idle CPU
#               instead of 10, 20 messages instead of 200 (the ctest test)
#   --no-build  run the programs already built in build-dir
#
# Figures are printed with their targets and verdicts; they are never
# asserted. The exit status is non-zero only when a program could not be
# built, could not run, or could not make its measurement.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=0
build=1
build_dir=
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        --no-build) build=0 ;;
        -h|--help) sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "run-bench.sh: unknown option $arg" >&2; exit 2 ;;
        *) build_dir=$arg ;;
    esac
done
build_dir=${build_dir:-$source_dir/build/bench}
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

if [ "$build" -eq 1 ]; then
    # Never reconfigure a build directory made for another configuration.
    cache=$build_dir/CMakeCache.txt
    if [ -f "$cache" ] && ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$cache"; then
        echo "run-bench.sh: $build_dir is not a Release build; give another directory" >&2
        exit 2
    fi
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_BENCH=ON >/dev/null
    cmake --build "$build_dir" --target zel_micro_bench zel_e2e_bench
    cmake --build "$build_dir" --target zel_gateway_bench zelhost 2>/dev/null ||
        echo "run-bench.sh: the gateway benchmark was not built (libmosquitto-dev missing?)"
    cmake --build "$build_dir" --target zel_modbus_bench 2>/dev/null ||
        echo "run-bench.sh: the Modbus benchmark was not built (libmodbus-dev missing?)"
    cmake --build "$build_dir" --target zel_http_bench 2>/dev/null ||
        echo "run-bench.sh: the HTTP benchmark was not built (libmicrohttpd-dev missing?)"
fi

micro=$build_dir/bin/zel_micro_bench
e2e=$build_dir/bin/zel_e2e_bench
for program in "$micro" "$e2e"; do
    if [ ! -x "$program" ]; then
        echo "run-bench.sh: $program is missing (is libbenchmark-dev installed?)" >&2
        exit 1
    fi
done

results=$build_dir/results
[ "$quick" -eq 1 ] && results=$results/quick
mkdir -p "$results"
quick_flag=()
[ "$quick" -eq 1 ] && quick_flag=(--quick)

# The machine and the build, beside the figures.
{
    echo "date: $(date -Is)"
    echo "command: $0 $*"
    echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
    echo "cores: $(nproc)"
    echo "kernel: $(uname -sr)"
    compiler=$(grep '^CMAKE_CXX_COMPILER:' "$build_dir/CMakeCache.txt" 2>/dev/null | cut -d= -f2-)
    echo "compiler: $("${compiler:-c++}" --version | head -1)"
    echo "build type: $(grep '^CMAKE_BUILD_TYPE:' "$build_dir/CMakeCache.txt" 2>/dev/null | cut -d= -f2-)"
    echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$results/machine.txt"

echo
echo "== micro benchmarks"
"$micro" "${quick_flag[@]}" --benchmark_color=false \
    --benchmark_out="$results/micro.json" --benchmark_out_format=json | tee "$results/micro.txt"

echo
echo "== end-to-end figures"
"$e2e" "${quick_flag[@]}" --samples="$results/e2e_messages.csv" | tee "$results/e2e.txt"

gateway=$build_dir/bin/zel_gateway_bench
if [ -x "$gateway" ] && { command -v mosquitto >/dev/null 2>&1 || [ -x /usr/sbin/mosquitto ]; }; then
    echo
    echo "== MQTT gateway figures"
    PATH=$PATH:/usr/sbin "$gateway" "${quick_flag[@]}" "$build_dir/bin/zelhost" | tee "$results/gateway.txt"
fi

modbus=$build_dir/bin/zel_modbus_bench
if [ -x "$modbus" ]; then
    echo
    echo "== Modbus TCP server figures"
    "$modbus" "${quick_flag[@]}" "$build_dir/bin/zelhost" | tee "$results/modbus.txt"
fi

http=$build_dir/bin/zel_http_bench
if [ -x "$http" ]; then
    echo
    echo "== HTTP server figures"
    "$http" "${quick_flag[@]}" "$build_dir/bin/zelhost" | tee "$results/http.txt"
fi

echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results/machine.txt"

# Both programs must have printed their figures.
grep -q '^== [0-9]* figures: ' "$results/micro.txt" || { echo "run-bench.sh: no micro summary" >&2; exit 1; }
grep -q '^== [0-9]* PASS, [0-9]* MISS' "$results/e2e.txt" || { echo "run-bench.sh: no end-to-end summary" >&2; exit 1; }
echo
echo "raw results in $results"
