#!/usr/bin/env bash
# The 32-bit DLL where the kernel runs no 32-bit program: a smoke of the
# product under user-mode emulation (qemu-i386, registered for this run
# only), with the private 32-bit Wine of scripts/wine32.sh. Every 32-bit
# process costs about a minute there, so it runs three:
#   - the host's view of ZELWNQX.DLL (tests/windows/dll_test.cpp): every
#     operation through the stdcall pointer in a loop, the stack pointer
#     checked after each call, records read back at their 32-bit offsets;
#   - a channel opened through the DLL on a COM port that carries a message,
#     and its tag read;
#   - zelhost.exe info.
# It ends with "smoke under emulation passed (N checks)", or with the reason
# and status 77 when the emulation cannot be set up.
# Usage: x86-smoke.sh WINDOWS_BUILD_DIR WINE32_DIR
set -u
build=$(cd "$1" && pwd)
wine32=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$build/bin
export WINEPREFIX=$build/wine-x86-smoke WINEDEBUG=-all
links=$build/wine-x86-smoke-links
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
checks=0
fail() {
    echo "FAIL: $*"
    [ -f "$work/out" ] && tail -n 30 "$work/out"
    exit 1
}
passed() { checks=$((checks + $1)); echo "ok: $2"; }
emulated() { bash "$root/scripts/wine32.sh" run "$wine32" --emulate "$@"; }

"$root/tests/scripts/check-dll-linkage.sh" i686-w64-mingw32-objdump "$bin/ZELWNQX.DLL" >"$work/out" 2>&1 ||
    fail "the DLL's exports and imports"
passed 1 "$(cat "$work/out")"

bash "$root/scripts/wine32.sh" prefix "$wine32" "$WINEPREFIX" || fail "no Wine prefix for 32-bit programs"
# The COM ports of the channel case, mapped once with the 64-bit tools.
"$root/tests/scripts/wine-serial-run.sh" "$links" cmd /c exit >/dev/null 2>&1 || fail "cannot map the COM ports"

# The emulation is really in effect. A kernel that gives a user namespace
# no binfmt_misc of its own (before Linux 6.7) cannot have it without
# changing the machine's registrations: then the smoke cannot run (77).
if ! emulated sh -c 'head -n 1 /proc/sys/fs/binfmt_misc/zel-i386 && bash "$1" probe' _ "$root/scripts/wine32.sh" \
    >"$work/out" 2>&1 || ! grep -qx enabled "$work/out"; then
    echo "cannot register qemu-i386 for this run alone: $(grep -v '^enabled$' "$work/out" | tail -n 1)"
    exit 77
fi
passed 1 "32-bit programs run under qemu-i386, registered for this run"

# Wine writes the console's lines with CR LF.
gtest_passed() { tr -d '\r' <"$work/out" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p'; }

emulated wine "$bin/zel_dll_tests.exe" >"$work/out" 2>&1 || fail "zel_dll_tests.exe"
n=$(gtest_passed)
[ -n "$n" ] && ! grep -q '^\[  FAILED' "$work/out" || fail "zel_dll_tests.exe"
passed "$n" "ZELWNQX.DLL through its stdcall pointer: $n cases"

emulated "$root/tests/scripts/wine-serial-run.sh" "$links" "$bin/zel_serial_tests.exe" \
    --gtest_filter=WineChannel.MessagesAreFramedByTheirHeaders >"$work/out" 2>&1 || fail "a channel on COM5"
[ "$(gtest_passed)" = 1 ] || fail "a channel on COM5"
passed 1 "a channel on COM5 applies the panel's messages; ReadTag reads them"

emulated wine "$bin/zelhost.exe" info >"$work/out" 2>&1 || fail "zelhost.exe info"
version=$(sed -n 's/^#define ZEL_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/zel_version.h")
grep -q "Version $version" "$work/out" || fail "zelhost.exe info shows no banner of version $version"
passed 1 "zelhost.exe info loads the DLL and shows its banner"

echo "smoke under emulation passed ($checks checks)"
