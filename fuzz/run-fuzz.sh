#!/usr/bin/env bash
# Builds the fuzz preset and runs the libFuzzer targets, two at a time.
#
#   fuzz/run-fuzz.sh --smoke              each target for 60 s (about 2 minutes)
#   fuzz/run-fuzz.sh --long [SECONDS]     each target for SECONDS (default 1800)
#   options:  --jobs N        targets run at once (default 2)
#             --resume        keep the working corpus of the previous run
#             --no-build      use the targets as built
#             TARGET...       only these (decoder addresses composition zelmain modbus)
#
# Every run works on a copy of the committed seeds in build/fuzz/corpus-work/
# (the committed files under fuzz/corpus/ are never written); crash and
# property-violation inputs go to build/fuzz/artifacts/<target>/, logs to
# build/fuzz/logs/. At the end a table gives, per target, the executions,
# executions per second, coverage (cov: edges, ft: features, from libFuzzer's
# final status line), the working corpus and the duration. The exit status is
# non-zero when any target crashed, violated a property or could not run.
#
# Reproduce a finding:  build/fuzz/bin/fuzz_<target> <artifact file>
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
all_targets=(decoder addresses composition zelmain modbus)

mode=""
seconds=""
jobs=2
resume=0
do_build=1
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --smoke) mode=smoke; seconds=60 ;;
        --long)
            mode=long; seconds=1800
            if [ $# -gt 1 ] && [[ "$2" =~ ^[0-9]+$ ]]; then seconds=$2; shift; fi ;;
        --jobs) jobs=${2:?--jobs needs a number}; shift ;;
        --resume) resume=1 ;;
        --no-build) do_build=0 ;;
        -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        decoder|addresses|composition|zelmain|modbus) targets+=("$1") ;;
        *) echo "run-fuzz.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ -z "$mode" ]; then
    echo "run-fuzz.sh: say --smoke or --long [SECONDS] (see --help)" >&2
    exit 2
fi
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then echo "run-fuzz.sh: --jobs needs a positive number" >&2; exit 2; fi

if [ $do_build -eq 1 ]; then
    for tool in cmake ninja clang clang++; do
        if ! command -v "$tool" >/dev/null; then
            echo "run-fuzz.sh: $tool not found; install with: bash scripts/install-deps.sh linux fuzz" >&2
            exit 2
        fi
    done
    echo "=== building the fuzz preset"
    (cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz) || {
        echo "run-fuzz.sh: building the fuzz preset failed" >&2
        exit 1
    }
fi

mkdir -p "$build/logs" "$build/artifacts" "$build/corpus-work"

# The sanitizers stop at the first report (libFuzzer then writes the input
# as an artifact); leak checking stays on.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

run_target() {
    local target=$1
    local binary="$build/bin/fuzz_$target"
    local work="$build/corpus-work/$target"
    local artifacts="$build/artifacts/$target"
    local log="$build/logs/$mode-$target.log"
    if [ $resume -eq 0 ] || [ ! -d "$work" ]; then
        rm -rf "$work"
        mkdir -p "$work"
        cp "$root/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
    fi
    mkdir -p "$artifacts"
    local options=(-max_total_time="$seconds" -print_final_stats=1 -max_len=1000 -timeout=25
                   -rss_limit_mb=2048 -use_value_profile=1 -artifact_prefix="$artifacts/")
    [ -f "$root/fuzz/dict/$target.dict" ] && options+=(-dict="$root/fuzz/dict/$target.dict")
    local start end status
    start=$(date +%s)
    "$binary" "${options[@]}" "$work" >"$log" 2>&1
    status=$?
    end=$(date +%s)
    echo "$status $((end - start))" >"$log.status"
}

# Runs the targets, at most $jobs at once.
echo "=== $mode run: ${targets[*]}, ${seconds} s each, $jobs at a time"
echo "    logs in build/fuzz/logs/, artifacts in build/fuzz/artifacts/"
running=0
for target in "${targets[@]}"; do
    if [ ! -x "$build/bin/fuzz_$target" ]; then
        echo "run-fuzz.sh: build/fuzz/bin/fuzz_$target is missing" >&2
        echo "127 0" >"$build/logs/$mode-$target.log.status"
        : >"$build/logs/$mode-$target.log"
        continue
    fi
    rm -f "$build/logs/$mode-$target.log.status"
    if [ $running -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    echo "    started $target"
    run_target "$target" &
    running=$((running + 1))
done
wait

# The figures.
failed=()
printf '\n%-12s %12s %9s %7s %7s %13s %8s  %s\n' target executions exec/s cov ft corpus seconds result
for target in "${targets[@]}"; do
    log="$build/logs/$mode-$target.log"
    read -r status duration <"$log.status" 2>/dev/null || { status=127; duration=0; }
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E "^#[0-9]+[[:space:]].*cov: " "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
    result=ok
    if [ "$status" != 0 ] || grep -qE '==ZELFUZZ== PROPERTY VIOLATED|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
        result="FAILED (exit $status)"
        failed+=("$target")
    fi
    printf '%-12s %12s %9s %7s %7s %13s %8s  %s\n' "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" \
        "${corp:-?}" "$duration" "$result"
done

if [ ${#failed[@]} -gt 0 ]; then
    echo
    for target in "${failed[@]}"; do
        log="$build/logs/$mode-$target.log"
        echo "=== $target failed; from build/fuzz/logs/$mode-$target.log:"
        grep -E -m 5 '==ZELFUZZ== PROPERTY VIOLATED|ERROR: |runtime error:|SUMMARY:' "$log" | sed 's/^/    /'
        grep -E 'Test unit written to' "$log" | sed 's/^/    /'
        echo "    reproduce: build/fuzz/bin/fuzz_$target <artifact>"
    done
    echo "=== fuzzing FAILED: ${failed[*]}"
    exit 1
fi
echo "=== fuzzing passed: ${targets[*]}"
