#!/usr/bin/env bash
# Builds and runs every test, on both platforms: the Linux suites (plain,
# AddressSanitizer+UndefinedBehaviorSanitizer, ThreadSanitizer), the Windows
# DLLs' suites under Wine (64-bit always; 32-bit as the machine allows), and
# short fuzzing runs.
# Usage: scripts/test.sh [linux] [asan] [tsan] [windows] [fuzz]   (default: all)
set -uo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(linux asan tsan windows fuzz)

groups=(linux)
for stage in "${stages[@]}"; do
    case "$stage" in
        linux|asan|tsan) ;;
        windows) groups+=(windows gui) ;;
        fuzz) groups+=(fuzz) ;;
        *) echo "test.sh: unknown stage '$stage' (linux, asan, tsan, windows, fuzz)" >&2; exit 2 ;;
    esac
done
bash scripts/install-deps.sh "${groups[@]}" || { echo "test.sh: installing packages failed" >&2; exit 1; }

failed=()
skipped=()
summaries=()

# Configures, builds and tests PRESET (ctest run by the COMMAND before it,
# if any: `run_preset windows -- wine32.sh run DIR`). Sets `count` to the
# number of tests that passed.
run_preset() {
    local preset=$1
    shift
    [ "${1:-}" = "--" ] && shift
    count=0
    echo "=== $preset: configure and build"
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
        failed+=("$preset (build)")
        return 1
    fi
    echo "=== $preset: test"
    # The programs' default Wine prefix is made before the tests start, which
    # would otherwise race to make it (one of them then fails to start Wine).
    case $preset in windows*)
        WINEPREFIX=${WINEPREFIX:-$HOME/.wine-zelwnqx} WINEDEBUG=-all "$@" bash -c 'wineboot -i && wineserver -w' \
            >/dev/null 2>&1 || echo "test.sh: wineboot could not make the Wine prefix; the tests will try" ;;
    esac
    local log=build/$preset/ctest-summary.log
    "$@" ctest --preset "$preset" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    count=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$log")
    if [ "$status" -ne 0 ] || [ -z "$count" ]; then
        failed+=("$preset")
        return 1
    fi
}

# The 64-bit DLL under 64-bit Wine, which every x86-64 machine runs.
# Its programs' default Wine prefix is its own: one the 64-bit Wine makes
# has no 32-bit half, and the 32-bit suite would fail to start in it.
run_windows_x64() {
    WINEPREFIX=${HOME}/.wine-zelwnqx64 run_preset windows64 && summaries+=("windows-x64: $count tests passed under 64-bit Wine")
}

# The 32-bit DLL, the product: its whole suite where the kernel runs 32-bit
# programs, under the system's 32-bit Wine or, where that one cannot be
# installed, a private copy (scripts/wine32.sh); where the kernel refuses
# them, a smoke under emulation. ZEL_X86=smoke asks for the smoke anyway.
run_windows_x86() {
    local wine32_dir=build/wine32 reason
    if [ "${ZEL_X86:-}" != smoke ] && bash scripts/wine32.sh probe; then
        if bash scripts/wine32.sh installed; then
            run_preset windows && summaries+=("windows-x86: $count tests passed under 32-bit Wine")
        elif reason=$(bash scripts/wine32.sh fetch "$wine32_dir"); then
            run_preset windows -- bash scripts/wine32.sh run "$wine32_dir" &&
                summaries+=("windows-x86: $count tests passed under 32-bit Wine (a private copy of Debian's wine32)")
        else
            skipped+=("windows-x86: no 32-bit Wine: the system has none, and $reason")
        fi
        return
    fi
    echo "=== windows-x86: configure and build"
    if ! cmake --preset windows >/dev/null || ! cmake --build --preset windows; then
        failed+=("windows-x86 (build)")
        return
    fi
    if ! command -v qemu-i386-static >/dev/null; then
        skipped+=("windows-x86: the smoke under emulation needs qemu-i386-static (Debian's qemu-user-static)")
        return
    fi
    if ! reason=$(bash scripts/wine32.sh fetch "$wine32_dir"); then
        skipped+=("windows-x86: no 32-bit Wine for the smoke under emulation: $reason")
        return
    fi
    echo "=== windows-x86: smoke under emulation"
    local log=build/windows/x86-smoke.log status
    bash tests/scripts/x86-smoke.sh build/windows "$wine32_dir" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    if [ "$status" -eq 77 ]; then
        skipped+=("windows-x86: $(tail -n 1 "$log")")
    elif [ "$status" -ne 0 ]; then
        failed+=("windows-x86 (smoke under emulation)")
    else
        summaries+=("windows-x86: $(tail -n 1 "$log")")
    fi
}

for stage in "${stages[@]}"; do
    case "$stage" in
        fuzz)
            if [ -x fuzz/run-fuzz.sh ]; then
                echo "=== fuzz: smoke run"
                bash fuzz/run-fuzz.sh --smoke || failed+=("fuzz")
            fi ;;
        windows) run_windows_x64; run_windows_x86 ;;
        *) run_preset "$stage" && summaries+=("$stage: $count tests passed") ;;
    esac
done

for what in "${summaries[@]}"; do echo "=== $what"; done
for what in "${skipped[@]}"; do echo "=== NOT RUN: $what"; done
if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED: ${failed[*]}"
    exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
    echo "=== passed, but for what did not run (above): ${stages[*]}"
else
    echo "=== all stages passed: ${stages[*]}"
fi
