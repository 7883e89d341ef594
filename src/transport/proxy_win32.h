// URL splitting and the user's proxy setting, as the library uses them. The
// exports CrackHostAndPath and GetProxyInfo are thin shims over these.
#pragma once
#include <windows.h>
#include <wininet.h>

#include "frame/heap_win32.h"

// The parts of a URL a request needs: the host, the path with its query (the
// query carries the signature, so the block is wiped), and the port.
struct UrlParts {
    LibBlock<wchar_t> host;
    WipedBlock<wchar_t> path; // null when the URL has no path
    INTERNET_PORT port = 0;
};

// Splits url into *parts (replacing what they held). Returns 0, or the
// InternetCrackUrlW error (ERROR_NOT_ENOUGH_MEMORY when a copy cannot be
// allocated, counted); on failure *parts is left empty. Escapes stay as
// written, and "?query" stays at the end of the path, as a request line needs it.
[[nodiscard]] DWORD SplitUrl(const wchar_t *url, UrlParts *parts);

// The user's LAN proxy setting reduced to one PROXY_TYPE bit (0 when the
// settings cannot be read), and for a manual proxy the server text.
struct ProxySetting {
    DWORD type = 0;
    LibBlock<wchar_t> server; // null unless type is PROXY_TYPE_PROXY and WinINet named a server
};

// Reads the setting. A failed copy of the server text is counted and leaves it null.
[[nodiscard]] ProxySetting QueryProxySetting();
