# Shared by scripts/e2e, scripts/demo and scripts/bench (sourced): enters the
# private mount and network namespaces (and a user namespace where not root)
# in which every Wine session of this project runs.

# Replaces this shell with inside (an -inside script) and its arguments, in
# fresh namespaces and with address-space randomization off. Without a
# preloader (Debian's Wine 8 has none) the wine64 loader's brk heap can land
# on the shared user data page at 0x7ffe0000; that start then dies with exit
# code 1 and no output before the program runs (about one start in 7,900).
# Without randomization the heap begins right after the loader, far below it.
#
# With VELMORA_WINE_ARCH=win32 the session also gets a user namespace even
# where root (its own binfmt_misc, in which qemu-i386 runs the 32-bit
# programs: scripts/lib/wine32.sh) and a pid namespace with its own /proc, so
# that no emulated process outlives the session.
velmora_enter_namespaces() {
    local inside="$1"
    shift
    local namespaces=(--mount --net --propagation private)
    if [ "${VELMORA_WINE_ARCH:-win64}" = win32 ]; then
        namespaces+=(--user --map-root-user --pid --fork --kill-child --mount-proc)
    elif [ "$(id -u)" -ne 0 ]; then
        namespaces+=(--user --map-root-user)
    fi
    exec unshare "${namespaces[@]}" setarch -R "$inside" "$@"
}
