# shellcheck shell=bash
# Shared by scripts/lib/wine32-root.sh and the 32-bit e2e session (sourced):
# where the 32-bit test root of this recipe lives, the private registration of
# qemu-i386, and the session's own view of the root.
#
# The machine's kernel runs no 32-bit code, so i386 programs run under
# qemu-i386 (user-mode emulation), registered for i386 ELF files in the
# binfmt_misc instance of a user namespace of our own (kernel 6.7 and later
# give each user namespace one): the machine's binfmt, apt and dpkg stay as
# they are, and every emulated process ends with the namespace.

# The folder that holds every recipe's root; outside any clone, so that a
# second clone on the same machine (as CI makes) finds it made.
velmora_wine32_cache_base() {
    echo "${VELMORA_WINE32_CACHE:-/var/cache/velmora-sync}"
}

# The recipe's key: a hash of the files that decide what the root holds.
velmora_wine32_key() {
    local lib
    lib="$(dirname "${BASH_SOURCE[0]}")"
    cat "$lib/wine32-root.sh" "$lib/wine32-trapfix.c" | sha256sum | cut -c1-16
}

# The folder of this recipe's root: root32/ (the i386 Debian root with Wine),
# qemu-i386, prefix-template/ (a 32-bit prefix after wineboot), recipe.txt.
velmora_wine32_dir() {
    echo "$(velmora_wine32_cache_base)/wine32-$(velmora_wine32_key)"
}

# Registers qemu (a static qemu-i386) for i386 ELF programs in this user
# namespace's own binfmt_misc, which it mounts. Flags: F opens qemu now, so
# that it need not exist inside a chroot; P keeps each program's argv[0].
velmora_wine32_register() {
    local qemu="$1"
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":velmora-i386:M::$magic:$mask:$qemu:FP" >/proc/sys/fs/binfmt_misc/register
}

# In a session's user, mount and pid namespaces (see scripts/lib/namespaces.sh):
# registers the recipe's qemu and makes, at view (an empty folder), the
# session's own root: the cached root read-only underneath, this session's
# changes on a tmpfs above it, the machine's /proc, /dev, /sys, /tmp and
# /etc/hosts, and each folder of binds at its own path, so a path means the
# same file inside the root and out. The cached root never changes.
velmora_wine32_view() {
    local cache="$1" view="$2"
    shift 2
    velmora_wine32_register "$cache/qemu-i386"
    mount -t tmpfs -o mode=0755 velmora-wine32 "$view"
    mkdir "$view/upper" "$view/work" "$view/root"
    mount -t overlay velmora-wine32 \
        -o "lowerdir=$cache/root32,upperdir=$view/upper,workdir=$view/work" "$view/root"
    local root32="$view/root"
    mount -t proc proc "$root32/proc"
    mount --rbind /dev "$root32/dev"
    mount --rbind /sys "$root32/sys"
    mount --bind /tmp "$root32/tmp"
    touch "$root32/etc/hosts" # debootstrap makes none; the overlay takes the mount point
    mount --bind /etc/hosts "$root32/etc/hosts"
    local folder
    for folder in "$@"; do
        case "$folder/" in /tmp/*) continue ;; esac # seen through /tmp already
        mkdir -p "$root32$folder"
        mount --rbind "$folder" "$root32$folder"
    done
}

# Puts file (a CA bundle) in place of the root's system bundle, where Wine's
# crypt32 looks first.
velmora_wine32_trust() {
    local root32="$1" bundle="$2"
    mkdir -p "$root32/etc/ssl/certs"
    touch "$root32/etc/ssl/certs/ca-certificates.crt"
    mount --bind "$bundle" "$root32/etc/ssl/certs/ca-certificates.crt"
}
