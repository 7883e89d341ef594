// URL splitting and the user's proxy setting: the exports CrackHostAndPath and GetProxyInfo.
#include "transport/proxy_win32.h"

#include <wininet.h>

#include <string_view>

#include "frame/text_win32.h"
#include "velmora_sync.h"

namespace {

// A zero-filled process-heap buffer for length characters and a terminator, or null.
wchar_t *AllocCrackedText(DWORD length) {
    return static_cast<wchar_t *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (static_cast<SIZE_T>(length) + 1) * sizeof(wchar_t)));
}

// Reduces INTERNET_PER_CONN_FLAGS to one PROXY_TYPE bit, the lowest set one
// winning (direct before manual proxy before script before detection); a value
// with none of them is reported as WinINet gave it.
DWORD ReduceProxyFlags(DWORD flags) {
    for (DWORD bit : {DWORD{PROXY_TYPE_DIRECT}, DWORD{PROXY_TYPE_PROXY}, DWORD{PROXY_TYPE_AUTO_PROXY_URL},
                      DWORD{PROXY_TYPE_AUTO_DETECT}})
        if ((flags & bit) != 0) return bit;
    return flags;
}

} // namespace

void FreeCrackedText(wchar_t *text) {
    if (text != nullptr) HeapFree(GetProcessHeap(), 0, text);
}

// Returns 0 and hands out the host and the path with its query (null when the
// URL has none), both process-heap buffers the caller releases with HeapFree;
// or ERROR_NOT_ENOUGH_MEMORY, or the InternetCrackUrlW error, writing neither
// out-value. The call runs twice: first with null buffers, which only reports
// the lengths, then into buffers of those sizes. Flags 0 keep escapes as
// written, and since the extra-information part is not requested WinINet leaves
// "?query" at the end of the path, as an HTTP request line needs it.
extern "C" VELMORA_API DWORD VELMORA_CALL CrackHostAndPath(const wchar_t *url, wchar_t **host, wchar_t **path) {
    if (url == nullptr || host == nullptr || path == nullptr) return ERROR_INVALID_PARAMETER;

    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 0xFFFFFFFFu;
    parts.dwUrlPathLength = 0xFFFFFFFFu;
    if (!InternetCrackUrlW(url, 0, 0, &parts)) return GetLastError();

    wchar_t *hostText = AllocCrackedText(parts.dwHostNameLength);
    if (hostText == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    wchar_t *pathText = nullptr;
    if (parts.dwUrlPathLength != 0) {
        pathText = AllocCrackedText(parts.dwUrlPathLength);
        if (pathText == nullptr) {
            FreeCrackedText(hostText);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }

    parts.lpszHostName = hostText;
    parts.dwHostNameLength += 1;
    parts.lpszUrlPath = pathText;
    parts.dwUrlPathLength = pathText != nullptr ? parts.dwUrlPathLength + 1 : 0;
    if (!InternetCrackUrlW(url, 0, 0, &parts)) {
        const DWORD error = GetLastError();
        FreeCrackedText(hostText);
        FreeCrackedText(pathText);
        return error;
    }
    *host = hostText;
    *path = pathText;
    return 0;
}

// Sets *proxyServer to null, then *proxyType to the reduced proxy bit of the
// user's LAN settings (0 when they cannot be read) and, for a manual proxy with
// a server text, *proxyServer to a library-heap copy of it (the host frees it
// with FreeDropBoxMemory). A failed copy is counted and leaves it null.
extern "C" VELMORA_API void VELMORA_CALL GetProxyInfo(DWORD *proxyType, wchar_t **proxyServer) {
    if (proxyServer != nullptr) *proxyServer = nullptr;
    if (proxyType == nullptr) return;
    *proxyType = 0;

    INTERNET_PER_CONN_OPTIONW options[5] = {};
    options[0].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[1].dwOption = INTERNET_PER_CONN_AUTODISCOVERY_FLAGS;
    options[2].dwOption = INTERNET_PER_CONN_FLAGS;
    options[3].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[4].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof(list);
    list.pszConnection = nullptr; // the LAN settings
    list.dwOptionCount = 5;
    list.pOptions = options;
    DWORD size = sizeof(list);
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return;

    const DWORD type = ReduceProxyFlags(options[2].Value.dwValue);
    *proxyType = type;
    const wchar_t *server = options[4].Value.pszValue;
    if (type == PROXY_TYPE_PROXY && proxyServer != nullptr && server != nullptr && server[0] != L'\0')
        *proxyServer = CopyWideText(server);

    // WinINet allocates the string options with GlobalAlloc; the caller frees them.
    for (int i : {0, 3, 4})
        if (options[i].Value.pszValue != nullptr) GlobalFree(options[i].Value.pszValue);
}
