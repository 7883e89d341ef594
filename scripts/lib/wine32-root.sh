#!/bin/bash
# Makes, once per recipe, what the 32-bit e2e session runs on: an i386 Debian
# bookworm root with Debian's Wine, a static qemu-i386 from bookworm-backports
# that runs its programs, and a 32-bit prefix made by wineboot, all from
# Debian's mirror only. The machine's apt gets no i386 architecture: the root
# is made by debootstrap in a folder, its programs run in namespaces of their
# own (scripts/lib/wine32.sh), and qemu is only extracted from its package.
#
#   wine32-root.sh build   makes the recipe's folder unless it is there; prints it
#   wine32-root.sh path    prints the folder, or fails when it is not made yet
#
# The folder is $VELMORA_WINE32_CACHE/wine32-KEY (default /var/cache/velmora-sync),
# KEY a hash of this file and of wine32-trapfix.c: a changed recipe makes a new
# folder, and clones of the same recipe share one. Needs root and debootstrap.
set -euo pipefail
self="$(readlink -f "${BASH_SOURCE[0]}")"
lib="$(dirname "$self")"
# shellcheck source=scripts/lib/wine32.sh
source "$lib/wine32.sh"

suite=bookworm
# Wine 8 under qemu 7.2 (bookworm's own) never starts: that qemu ignores
# MAP_FIXED_NOREPLACE, so Wine's address reservation loops for minutes.
qemu_suite=bookworm-backports
qemu_least_major=8
packages=(wine wine32)

stamp() { echo "[wine32 root $(($(date +%s) - started))s] $*" >&2; }

# The machine's Debian mirror, as its apt is configured.
debian_mirror() {
    local mirror="${VELMORA_DEBIAN_MIRROR:-}"
    [ -n "$mirror" ] || mirror="$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)"
    [ -n "$mirror" ] || mirror="$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)"
    if [ -z "$mirror" ]; then
        echo "wine32 root: no Debian mirror in apt's configuration (set VELMORA_DEBIAN_MIRROR)" >&2
        exit 2
    fi
    echo "$mirror"
}

# Runs a command in root_dir, as root of a new user namespace that maps the
# machine's uids and gids 0-65535 (dpkg and apt in the root need their system
# users), with qemu registered there for i386 programs. The command gets a
# clean environment; prefix it with /usr/bin/env NAME=value to add to it.
in_root() {
    local root_dir="$1" qemu="$2"
    shift 2
    local go
    go="$(mktemp -u "${TMPDIR:-/tmp}/wine32-root.XXXXXX")"
    mkfifo "$go"
    unshare --user --mount --pid --fork --kill-child --propagation private \
        setarch -R "$self" in-root "$go" "$root_dir" "$qemu" "$@" &
    local pid=$!
    # The uid map can only be written once unshare has made the namespace.
    local _
    for _ in $(seq 500); do
        [ "$(readlink "/proc/$pid/ns/user")" != "$(readlink /proc/self/ns/user)" ] && break
        sleep 0.02
    done
    echo "0 0 65536" >"/proc/$pid/uid_map"
    echo "0 0 65536" >"/proc/$pid/gid_map"
    echo go >"$go"
    rm -f "$go"
    wait "$pid"
}

# The namespaced side of in_root.
in_root_inside() {
    local go="$1" root_dir="$2" qemu="$3"
    shift 3
    read -r _ <"$go"
    velmora_wine32_register "$qemu"
    mount -t proc proc "$root_dir/proc"
    mount --rbind /dev "$root_dir/dev"
    mount --rbind /sys "$root_dir/sys"
    mount -t tmpfs tmpfs "$root_dir/tmp"
    cp /etc/resolv.conf "$root_dir/etc/resolv.conf" 2>/dev/null || true
    exec chroot "$root_dir" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# qemu-i386 of qemu_suite's qemu-user package into folder/qemu-i386, through
# an apt state of its own (the machine's apt sources and lists stay as they are).
fetch_qemu() {
    local folder="$1" mirror="$2"
    local state="$folder/qemu-apt"
    rm -rf "$state"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/deb" "$state/none"
    : >"$state/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $qemu_suite main" >"$state/sources.list"
    local options=(-o "Dir::Etc::sourcelist=$state/sources.list" -o "Dir::Etc::sourceparts=$state/none"
        -o "Dir::Etc::preferencesparts=$state/none" -o "Dir::State::Lists=$state/lists"
        -o "Dir::Cache=$state/cache" -o "Dir::State::status=$state/status"
        -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o APT::Sandbox::User=root
        -o Acquire::Languages=none)
    apt-get "${options[@]}" -q update
    (cd "$state/deb" && apt-get "${options[@]}" -q download qemu-user)
    dpkg-deb --fsys-tarfile "$state"/deb/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$folder/qemu-i386.new"
    chmod 755 "$folder/qemu-i386.new"
    local version major
    version="$("$folder/qemu-i386.new" --version | head -1)"
    major="$(sed -n 's/.*version \([0-9]*\)\..*/\1/p' <<<"$version")"
    if [ -z "$major" ] || [ "$major" -lt "$qemu_least_major" ]; then
        echo "wine32 root: $qemu_suite has $version; Wine needs qemu $qemu_least_major or later" >&2
        exit 1
    fi
    mv "$folder/qemu-i386.new" "$folder/qemu-i386"
    rm -rf "$state"
}

# The i386 root with Wine: debootstrap's first stage natively (it only
# unpacks), the second stage and apt inside the root under qemu.
make_root() {
    local folder="$1" mirror="$2"
    local root32="$folder/root32"
    if [ ! -e "$root32/etc/debian_version" ] || [ -d "$root32/debootstrap" ]; then
        if [ ! -d "$root32/debootstrap" ]; then
            rm -rf "$root32"
            debootstrap --foreign --arch=i386 --variant=minbase "$suite" "$root32" "$mirror"
            stamp "first stage unpacked"
        fi
        # container=lxc: the second stage then leaves /dev alone (no mknod here).
        in_root "$root32" "$folder/qemu-i386" /usr/bin/env container=lxc /debootstrap/debootstrap --second-stage
        stamp "second stage done"
    fi
    in_root "$root32" "$folder/qemu-i386" /bin/sh -c \
        "apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ${packages[*]} \
         && apt-get clean && rm -rf /var/lib/apt/lists/*"
    stamp "Wine installed in the root"
}

# The trap-number shim (wine32-trapfix.c), preloaded into every program of the root.
install_trapfix() {
    local root32="$1"
    mkdir -p "$root32/usr/local/lib"
    gcc -m32 -O2 -Wall -Wextra -Werror -fPIC -shared -nostdlib -o "$root32/usr/local/lib/velmora-trapfix.so" \
        "$lib/wine32-trapfix.c" "$root32/usr/lib/i386-linux-gnu/libc.so.6"
    echo /usr/local/lib/velmora-trapfix.so >"$root32/etc/ld.so.preload"
}

# A 32-bit prefix after wineboot, without Mono and Gecko, as folder/prefix-template.
make_prefix() {
    local folder="$1"
    rm -rf "$folder/root32/root/.wine" "$folder/prefix-template"
    in_root "$folder/root32" "$folder/qemu-i386" /usr/bin/env WINEPREFIX=/root/.wine \
        WINEDLLOVERRIDES=mscoree,mshtml= WINEDEBUG=-all WINESERVER=/usr/lib/wine/wineserver32 /bin/sh -c \
        'timeout 900 /usr/lib/wine/wine wineboot.exe --init && timeout 300 /usr/lib/wine/wineserver32 -w'
    mv "$folder/root32/root/.wine" "$folder/prefix-template"
}

build() {
    local base folder
    base="$(velmora_wine32_cache_base)"
    folder="$(velmora_wine32_dir)"
    mkdir -p "$base"
    exec 8>"$base/wine32.lock"
    flock 8
    if [ -f "$folder/recipe.txt" ]; then
        echo "$folder"
        return
    fi
    if ! command -v debootstrap >/dev/null; then
        echo "wine32 root: debootstrap is missing (scripts/bootstrap installs it)" >&2
        exit 2
    fi
    started=$(date +%s)
    local mirror partial="$folder.partial"
    mirror="$(debian_mirror)"
    echo "wine32 root: making $folder from $mirror (once per recipe)" >&2
    mkdir -p "$partial"
    [ -x "$partial/qemu-i386" ] || fetch_qemu "$partial" "$mirror"
    stamp "$("$partial/qemu-i386" --version | head -1)"
    [ -x "$partial/root32/usr/lib/wine/wine" ] || make_root "$partial" "$mirror"
    install_trapfix "$partial/root32"
    [ -f "$partial/prefix-template/system.reg" ] || make_prefix "$partial"
    stamp "prefix made"
    {
        echo "key $(velmora_wine32_key)"
        echo "made $(date -u +%Y-%m-%dT%H:%M:%SZ) in $(($(date +%s) - started)) s from $mirror"
        echo "qemu $("$partial/qemu-i386" --version | head -1)"
        echo "wine $(in_root "$partial/root32" "$partial/qemu-i386" /usr/lib/wine/wine --version)"
        (cd "$partial" && du -sh root32 prefix-template)
    } >"$partial/recipe.txt"
    mv "$partial" "$folder"
    cat "$folder/recipe.txt" >&2
    echo "$folder"
}

case "${1:-}" in
build) build ;;
path)
    folder="$(velmora_wine32_dir)"
    [ -f "$folder/recipe.txt" ] || { echo "wine32 root: $folder is not made yet (scripts/bootstrap)" >&2; exit 1; }
    echo "$folder"
    ;;
in-root)
    shift
    in_root_inside "$@"
    ;;
*)
    echo "usage: wine32-root.sh build|path" >&2
    exit 2
    ;;
esac
