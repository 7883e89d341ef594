// Commands that measure the process's heaps around exports: proxy-heap.
#include "../commands.h"
#include "../output.h"

#include <wininet.h>

#include <cwchar>
#include <initializer_list>

namespace {

int RunProxyHeap(CommandContext &context);

const Command kCommands[] = {
    {L"proxy-heap", "COUNT", RunProxyHeap},
};

// Bytes in use in every heap of the process (the library's private heap included).
unsigned long long BusyHeapBytes() {
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    unsigned long long busy = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) busy += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

// The LAN proxy query GetProxyInfo makes, made by the host: it frees the texts
// WinINet allocates, as a caller must. Returns their bytes (terminators included).
unsigned long long QueryProxyTexts() {
    INTERNET_PER_CONN_OPTIONW options[5] = {};
    options[0].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[1].dwOption = INTERNET_PER_CONN_AUTODISCOVERY_FLAGS;
    options[2].dwOption = INTERNET_PER_CONN_FLAGS;
    options[3].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[4].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.dwOptionCount = 5;
    list.pOptions = options;
    DWORD size = sizeof list;
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return 0;
    unsigned long long bytes = 0;
    for (int i : {0, 3, 4}) {
        if (options[i].Value.pszValue == nullptr) continue;
        bytes += (std::wcslen(options[i].Value.pszValue) + 1) * sizeof(wchar_t);
        GlobalFree(options[i].Value.pszValue);
    }
    return bytes;
}

void CallGetProxyInfo(const Library &library) {
    DWORD type = 0;
    wchar_t *server = nullptr;
    library.getProxyInfo(&type, &server);
    if (server != nullptr) library.freeDropBoxMemory(server);
}

// proxy-heap COUNT: how much the heaps grow over COUNT GetProxyInfo calls (each
// server text handed back), and over COUNT of the host's own query. Wine's
// WinINet keeps some bytes per query whoever asks, so the host's query is the
// measure to hold the library's against. Both are warmed up first.
int RunProxyHeap(CommandContext &context) {
    unsigned long long count = 0;
    if (context.args.size() != 1 || !ParseUnsigned(context.args[0], count) || count == 0 || count > 100000)
        return UsageError(kCommands[0]);
    const Library &library = context.library;
    if (!HasExport(library.getProxyInfo, "GetProxyInfo")) return ExitFailure;

    unsigned long long textBytes = 0;
    for (int i = 0; i < 5; ++i) {
        CallGetProxyInfo(library);
        textBytes = QueryProxyTexts();
    }
    const unsigned long long start = BusyHeapBytes();
    for (unsigned long long i = 0; i < count; ++i) CallGetProxyInfo(library);
    const unsigned long long afterLibrary = BusyHeapBytes();
    for (unsigned long long i = 0; i < count; ++i) QueryProxyTexts();
    const unsigned long long afterHost = BusyHeapBytes();

    Event("result")
        .Text("export", "GetProxyInfo")
        .Unsigned("calls", count)
        .Unsigned("text_bytes", textBytes)
        .Number("library_growth", static_cast<long long>(afterLibrary - start))
        .Number("host_growth", static_cast<long long>(afterHost - afterLibrary))
        .Emit();
    return ExitOk;
}

} // namespace

std::span<const Command> HeapCommands() { return kCommands; }
