#!/usr/bin/env bash
# Builds and runs every test, on both platforms: the Linux suites (plain,
# AddressSanitizer+UndefinedBehaviorSanitizer, ThreadSanitizer), the Windows
# DLL's suites under Wine, and short fuzzing runs.
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
run_preset() {
    local preset=$1
    echo "=== $preset: configure and build"
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
        failed+=("$preset (build)")
        return
    fi
    echo "=== $preset: test"
    ctest --preset "$preset" || failed+=("$preset")
}

for stage in "${stages[@]}"; do
    case "$stage" in
        fuzz)
            if [ -x fuzz/run-fuzz.sh ]; then
                echo "=== fuzz: smoke run"
                bash fuzz/run-fuzz.sh --smoke || failed+=("fuzz")
            fi ;;
        *) run_preset "$stage" ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED: ${failed[*]}"
    exit 1
fi
echo "=== all stages passed: ${stages[*]}"
