// URL splitting and the user's proxy setting.
#include "transport/proxy_win32.h"

#include <string_view>
#include <utility>

#include "frame/faults_win32.h"
#include "frame/text_win32.h"

namespace {

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

DWORD SplitUrl(const wchar_t *url, UrlParts *parts) {
    *parts = UrlParts{};
    if (url == nullptr) return ERROR_INVALID_PARAMETER;
    // Null buffers with non-zero lengths make WinINet point into the URL itself;
    // asking for no extra-information part leaves "?query" on the path, and
    // flags 0 keep the escapes as sent.
    URL_COMPONENTSW cracked = {};
    cracked.dwStructSize = sizeof(cracked);
    cracked.dwHostNameLength = 1;
    cracked.dwUrlPathLength = 1;
    if (!sys::InternetCrackUrlW(url, 0, 0, &cracked)) return GetLastError();
    if (cracked.lpszHostName == nullptr || cracked.dwHostNameLength == 0) return ERROR_INTERNET_INVALID_URL;
    UrlParts split;
    split.host = CopyWideText(std::wstring_view(cracked.lpszHostName, cracked.dwHostNameLength));
    if (!split.host) return ERROR_NOT_ENOUGH_MEMORY;
    if (cracked.lpszUrlPath != nullptr && cracked.dwUrlPathLength != 0) {
        split.path.reset(CopyWideText(std::wstring_view(cracked.lpszUrlPath, cracked.dwUrlPathLength)).release());
        if (!split.path) return ERROR_NOT_ENOUGH_MEMORY;
    }
    split.port = cracked.nPort;
    *parts = std::move(split);
    return 0;
}

ProxySetting QueryProxySetting() {
    ProxySetting setting;
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
    if (!sys::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return setting;

    setting.type = ReduceProxyFlags(options[2].Value.dwValue);
    const wchar_t *server = options[4].Value.pszValue;
    if (setting.type == PROXY_TYPE_PROXY && server != nullptr && server[0] != L'\0') setting.server = CopyWideText(server);

    // WinINet allocates the string options with GlobalAlloc; the caller frees them.
    for (int i : {0, 3, 4})
        if (options[i].Value.pszValue != nullptr) GlobalFree(options[i].Value.pszValue);
    return setting;
}
