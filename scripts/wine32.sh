#!/usr/bin/env bash
# The 32-bit Wine that the 32-bit DLL's tests run under, on any machine.
#
#   wine32.sh probe        exit 0 if the kernel runs 32-bit x86 programs (a
#                          93-byte program that only exits; no Wine needed)
#   wine32.sh installed    exit 0 if the system has its own 32-bit Wine
#   wine32.sh fetch DIR    puts a private copy of Debian's wine32 into DIR:
#                          the i386 packages of the same version as the
#                          system's 64-bit Wine, downloaded by apt with a
#                          state of its own and unpacked, nothing installed;
#                          prints the reason and exits 1 if it cannot
#   wine32.sh prefix DIR PREFIX
#                          makes the Wine prefix PREFIX for 32-bit programs
#                          without running one: the system's 64-bit Wine
#                          makes it, and DIR's 32-bit builtin DLLs go into
#                          its syswow64, where the 32-bit half of wineboot
#                          would put them (under emulation that half takes
#                          minutes)
#   wine32.sh run DIR [--emulate] COMMAND [ARG...]
#                          runs COMMAND with DIR's 32-bit Wine beside the
#                          system's 64-bit one, in a mount namespace of its
#                          own; with --emulate, 32-bit programs run under
#                          qemu-i386 through a binfmt_misc registration
#                          private to that namespace
#
# Debian's wine32:i386 installs only while the i386 package index is in step
# with amd64's (the same version of every shared library); and a kernel
# without 32-bit support runs no 32-bit program at all. The private copy
# works around both without touching the machine: nothing is installed, no
# architecture is added, and the system's binfmt_misc is left alone.
set -uo pipefail

usage() { echo "usage: wine32.sh probe | installed | fetch DIR | prefix DIR PREFIX | run DIR [--emulate] COMMAND..." >&2; exit 2; }

# A static i386 ELF program whose one instruction sequence is exit(0).
probe() {
    local program
    program=$(mktemp) || return 1
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\61\333\315\200' >"$program"
    chmod +x "$program"
    local status=0
    "$program" 2>/dev/null || status=$?
    rm -f "$program"
    return $status
}

installed() { [ -x /usr/lib/wine/wine ] && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; }

# The downloads go through apt with the system's sources and keys, but a
# package state, lists and cache of their own, for i386 alone: the packages
# resolve among themselves, whatever amd64 has installed.
fetch() {
    local dir
    dir=$(realpath -m "$1")
    local version
    version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) ||
        { echo "the 64-bit Wine (wine64) is not installed"; return 1; }
    if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$version" ]; then
        return 0
    fi
    rm -rf "$dir"
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/apt/dpkg" || return 1
    : >"$dir/apt/dpkg/status"
    local apt=(apt-get -q -o "Dir::State=$dir/apt" -o "Dir::State::Lists=$dir/apt/lists"
        -o "Dir::State::status=$dir/apt/dpkg/status" -o "Dir::Cache=$dir/apt/cache"
        -o "APT::Architecture=i386" -o "APT::Architectures=i386" -o "Debug::NoLocking=1")
    # An index that fails (a mirror in the middle of a sync) is left out;
    # the version wanted may well be in the others.
    "${apt[@]}" update >"$dir/apt/update.log" 2>&1 ||
        "${apt[@]}" update >>"$dir/apt/update.log" 2>&1
    if ! "${apt[@]}" install -y --download-only --no-install-recommends \
        "wine32=$version" "libwine=$version" >"$dir/apt/install.log" 2>&1; then
        echo "apt cannot download wine32:i386 $version: $(grep -m1 '^E:' "$dir/apt/install.log" | cut -c4-)"
        return 1
    fi
    local root=$dir/root.new
    rm -rf "$root"
    mkdir -p "$root"
    local deb
    for deb in "$dir"/apt/cache/archives/*.deb; do
        dpkg-deb -x "$deb" "$root" || { echo "cannot unpack $deb"; return 1; }
    done
    # Into the /usr of a merged file system, where the overlay puts it.
    local top
    for top in lib bin sbin; do
        if [ -d "$root/$top" ] && [ ! -L "$root/$top" ]; then
            mkdir -p "$root/usr/$top" && cp -a "$root/$top/." "$root/usr/$top/" && rm -rf "${root:?}/$top"
        fi
    done
    # What libwine's maintainer script does on installation: Wine loads
    # MinGW's zlib as a builtin DLL, marked as such in its DOS header.
    local arch wine_arch
    for arch in i686 x86_64; do
        wine_arch=$arch
        [ "$arch" = i686 ] && wine_arch=i386
        local in=$root/usr/$arch-w64-mingw32/lib/zlib1.dll
        local out=$root/usr/lib/i386-linux-gnu/wine/$wine_arch-windows/zlib1.dll
        [ -f "$in" ] && [ -d "$(dirname "$out")" ] || { echo "the unpacked wine32 has no $in"; return 1; }
        { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } >"$out"
    done
    [ -x "$root/usr/lib/wine/wine" ] || { echo "the unpacked wine32 has no loader"; return 1; }
    rm -rf "$dir/root" "$dir/apt/cache/archives"
    mv "$root" "$dir/root"
    echo "$version" >"$dir/ready"
}

prefix() {
    local dir prefix=$2
    dir=$(realpath -m "$1")
    [ -f "$dir/ready" ] || { echo "wine32.sh: no private wine32 in $dir: fetch it first" >&2; return 1; }
    [ -f "$prefix/.zel-x86-ready" ] && return 0
    # Outside the namespace the 64-bit Wine sees no 32-bit one and skips
    # its half.
    WINEPREFIX=$prefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w
    [ -d "$prefix/drive_c/windows/syswow64" ] || { echo "wine32.sh: wineboot made no prefix in $prefix" >&2; return 1; }
    cp -n "$dir/root/usr/lib/i386-linux-gnu/wine/i386-windows/"* "$prefix/drive_c/windows/syswow64/" ||
        { echo "wine32.sh: cannot fill $prefix/drive_c/windows/syswow64" >&2; return 1; }
    touch "$prefix/.zel-x86-ready"
}

# In the namespace, /usr/lib is an overlay of the copy's and the system's:
# the 32-bit loader, its libraries and DLLs appear where a multiarch
# installation has them. The copy's files win where both have one: the
# loader's link /usr/lib/ld-linux.so.2, which the system's libc6-i386 (the
# 32-bit libraries of -m32 builds) points to its own loader, of another
# build than the copy's libc; and Wine's wineserver script, the same in
# both. libc6-i386's libraries are hidden too, since the loader's cache
# lists them before the multiarch ones.
run() {
    local dir
    dir=$(realpath -m "$1")
    shift
    local emulate=0
    if [ "${1:-}" = "--emulate" ]; then emulate=1; shift; fi
    [ $# -gt 0 ] || usage
    [ -f "$dir/ready" ] || { echo "wine32.sh: no private wine32 in $dir: fetch it first" >&2; return 1; }
    local qemu=
    if [ $emulate -eq 1 ]; then
        qemu=$(command -v qemu-i386-static) || { echo "wine32.sh: qemu-i386-static is not installed" >&2; return 1; }
    fi
    # A user namespace where the caller is not root, and always for the
    # emulation: binfmt_misc gives each user namespace a registration table
    # of its own.
    local namespace=(unshare --mount --propagation private)
    if [ "$(id -u)" -ne 0 ] || [ $emulate -eq 1 ]; then
        namespace=(unshare --user --map-root-user --mount --propagation private)
    fi
    "${namespace[@]}" bash -c '
        set -e
        root=$1 qemu=$2
        shift 2
        mount -t overlay overlay -o "lowerdir=$root/usr/lib:/usr/lib" /usr/lib
        if [ -d /usr/lib32 ]; then mount -t tmpfs tmpfs /usr/lib32; fi
        if [ -n "$qemu" ]; then
            mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
            # Any i386 ELF executable or shared object; F: qemu is opened now.
            printf "%s" ":zel-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" \
                >/proc/sys/fs/binfmt_misc/register
        fi
        exec "$@"
    ' wine32 "$dir/root" "$qemu" "$@"
}

[ $# -ge 1 ] || usage
case $1 in
    probe) probe ;;
    installed) installed ;;
    fetch) [ $# -eq 2 ] || usage; fetch "$2" ;;
    prefix) [ $# -eq 3 ] || usage; prefix "$2" "$3" ;;
    run) [ $# -ge 3 ] || usage; shift; run "$@" ;;
    *) usage ;;
esac
