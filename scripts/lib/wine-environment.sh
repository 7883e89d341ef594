# shellcheck shell=bash
# Shared by scripts/e2e-inside, scripts/demo-inside and scripts/bench-inside
# (sourced, in fresh namespaces only): loopback, test PKI, a CA bundle holding
# only the test CA, a Wine prefix copied from a cached template, and a warm
# wineserver.
# Expects: root, build, work, wine, wineserver, python set by the caller, and
# VELMORA_WINE_ARCH=win32 for the 32-bit session (wine and wineserver then name
# programs of the i386 root, which this session enters: scripts/lib/wine32.sh).
# Sets: run_dir; wine_launcher (the command before "$wine" for every Wine
# program: empty, or the chroot into the session's view of the i386 root).

# ADDR_NO_RANDOMIZE in the personality bits (see scripts/lib/namespaces.sh).
velmora_address_randomization_off() {
    local personality
    personality="$(cat /proc/self/personality)"
    (( 0x$personality & 0x0040000 ))
}

# The 32-bit session's own view of the recipe's i386 root, with the clone and
# the temporary folder at their own paths and qemu-i386 registered; sets
# wine_launcher, VELMORA_E2E_ROOT32 and template_source.
velmora_wine32_session() {
    # shellcheck source=scripts/lib/wine32.sh
    source "$root/scripts/lib/wine32.sh"
    local cache view
    cache="$("$root/scripts/lib/wine32-root.sh" path)"
    view="$(mktemp -d /tmp/velmora-wine32-view.XXXXXX)"
    velmora_wine32_view "$cache" "$view" "$root"
    export VELMORA_E2E_ROOT32="$view/root"
    wine_launcher=(chroot "$VELMORA_E2E_ROOT32")
    # wineboot under emulation takes minutes: the recipe made the prefix once.
    template_source="$cache/prefix-template"
    template_recipe="$(basename "$cache")"
}

velmora_wine_environment() {
    if ! velmora_address_randomization_off; then
        echo "wine environment: address-space randomization is on; Wine would now and then die at start." >&2
        echo "Run the -inside scripts only through scripts/e2e, scripts/demo or scripts/bench (setarch -R)." >&2
        exit 2
    fi
    if [ ! -f "$build/velmora-sync.exe" ] || [ ! -f "$build/fake-browser.exe" ]; then
        echo "e2e: $build lacks velmora-sync.exe or fake-browser.exe (cmake --build --preset $(basename "$build"))" >&2
        exit 2
    fi

    wine_launcher=()
    template_source=""
    template_recipe="wineboot"
    if [ "${VELMORA_WINE_ARCH:-win64}" = win32 ]; then
        velmora_wine32_session
    fi

    # Wine turns proxy variables into settings, and a display would bring up dialogs.
    unset DISPLAY WAYLAND_DISPLAY http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY
    # Quiet, but for the address-space errors: a Wine start that dies before
    # the program runs then says why instead of ending with exit code 1 alone.
    export WINEDEBUG=-all,err+virtual
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINESERVER="$wineserver"

    ip link set lo up
    mkdir -p "$work"
    # Runs may overlap: one at a time makes the PKI and the template, and copies it.
    exec 9>"$work/setup.lock"
    flock 9

    # Test PKI; the machine's bundle is replaced, inside this mount namespace only,
    # by one that holds just the trusted test CA (Wine reads that file first).
    pki="$work/pki"
    (cd "$root" && "$python" -c "import sys, service.certs; service.certs.make_test_pki(sys.argv[1])" "$pki")
    cp "$pki/ca.pem" "$work/ca-bundle.pem"
    mount --bind "$work/ca-bundle.pem" /etc/ssl/certs/ca-certificates.crt
    if [ -n "${VELMORA_E2E_ROOT32:-}" ]; then
        velmora_wine32_trust "$VELMORA_E2E_ROOT32" "$work/ca-bundle.pem"
    fi
    export VELMORA_E2E_PKI="$pki"

    # A template prefix, made once per recipe and Wine version, copied for every run.
    browser_dir='C:\velmora-test'
    stamp_text="$("${wine_launcher[@]}" "$wine" --version) $template_recipe $(sha256sum "${BASH_SOURCE[0]}" | cut -c1-16)"
    template="$work/prefix-template"
    if [ "$(cat "$template/.velmora-stamp" 2>/dev/null)" != "$stamp_text" ]; then
        rm -rf "$template" "$template.new"
        (
            export WINEPREFIX="$template.new"
            if [ -n "$template_source" ]; then
                cp -a "$template_source" "$template.new"
            else
                mkdir -p "$template.new"
                timeout 300 "$wine" wineboot --init
            fi
            reg() { timeout 120 "${wine_launcher[@]}" "$wine" 'C:\windows\system32\reg.exe' add "$@" /f >/dev/null; }
            reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
            reg 'HKLM\Software\Classes\.html' /ve /d VelmoraTestBrowser.html
            reg 'HKLM\Software\Classes\VelmoraTestBrowser.html\shell\open\command' /ve \
                /d "\"$browser_dir\\fake-browser.exe\" \"%1\""
            timeout 60 "${wine_launcher[@]}" "$wineserver" -k || true
            timeout 60 "${wine_launcher[@]}" "$wineserver" -w || true
        )
        echo "$stamp_text" > "$template.new/.velmora-stamp"
        mv "$template.new" "$template"
    fi

    runs="$work/runs"
    mkdir -p "$runs"
    run_dir="$(mktemp -d "$runs/run.XXXXXX")"
    export WINEPREFIX="$run_dir/prefix"
    cp -a "$template" "$WINEPREFIX"
    mkdir -p "$WINEPREFIX/drive_c/velmora-test"
    cp "$build/fake-browser.exe" "$WINEPREFIX/drive_c/velmora-test/fake-browser.exe"
    flock -u 9
    exec 9>&-

    stop_wineserver() {
        timeout 60 "${wine_launcher[@]}" "$wineserver" -k 2>/dev/null || true
        timeout 60 "${wine_launcher[@]}" "$wineserver" -w 2>/dev/null || true
        rm -rf "$run_dir"
        if [ -n "${VELMORA_E2E_ROOT32:-}" ]; then
            umount -l "$(dirname "$VELMORA_E2E_ROOT32")" 2>/dev/null || true
            rmdir "$(dirname "$VELMORA_E2E_ROOT32")" 2>/dev/null || true
        fi
    }
    trap stop_wineserver EXIT
    "${wine_launcher[@]}" "$wineserver" -p
    # Start Wine's services now, with no pipe of ours inherited by them.
    timeout 120 "${wine_launcher[@]}" "$wine" 'C:\windows\system32\reg.exe' query 'HKCU\Software\Wine\WineDbg' </dev/null >/dev/null 2>&1 || true
}
