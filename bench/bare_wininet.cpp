// bench-wininet.exe: the plain WinINet loops the benchmark sets beside the library,
// doing the same network work with nothing around it (no credential store, and
// unless asked for: no messages, no temporary file, no flush).
//
//   bench-wininet.exe noop
//       returns at once (what starting a program under Wine costs)
//   bench-wininet.exe get URL LOCAL [--messages] [--flushed]
//       one GET with the library's transfer flags, read in 16 KiB pieces, each
//       written to LOCAL as it comes.
//       --messages: the floor the host interface sets. The GET runs on a worker
//       thread; the main thread owns a message-only window and pumps as the
//       reference host does. For every piece the worker sends one HOST_MESSAGE
//       of the library's make (TransferPayload, HostRecord, HostMessage: three
//       blocks of a private heap) with SendMessageTimeoutW and, at the end, the final
//       message with a ResultPayload; the window procedure reads each and frees
//       its three blocks, as a host does.
//       --flushed: the library's file work. The body goes into a temporary file
//       beside LOCAL (opened as the library opens it), which is flushed
//       (FlushFileBuffers) and moved onto LOCAL (MoveFileExW, replacing, write-through).
//   bench-wininet.exe put LOCAL ORIGIN REMOTE KEY SECRET TOKEN TOKEN_SECRET [--query-proxy]
//       LOCAL sent as 256 KiB chunk PUTs, each in a new session, upload id and
//       offset taken from every answer, then the commit POST to
//       /1/commit_chunked_upload/sandbox/REMOTE (REMOTE already percent-encoded);
//       every URL signed (OAuth 1.0 PLAINTEXT) just before its request.
//       --query-proxy: before every request, read the user's proxy setting as the
//       library does (the five per-connection options of the LAN settings)
//
// Prints "bytes N seconds S" (its own time from the first WinINet call to the
// last; get adds "messages M" with --messages and "flush F move M", the seconds
// of those two steps, with --flushed) and exits 0, or prints what failed and exits 1.
#include <windows.h>
#include <wininet.h>

// The library's public records and payloads, so the messages have its layouts.
#include "../include/velmora_sync.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The library's transfer flags: RELOAD | NO_CACHE_WRITE | SECURE | KEEP_CONNECTION |
// IGNORE_REDIRECT_TO_HTTP | IGNORE_REDIRECT_TO_HTTPS | PRAGMA_NOCACHE.
constexpr DWORD kTransferFlags = 0x84C0C100;
constexpr DWORD kPieceSize = 16384;
constexpr DWORD kChunkSize = 256 * 1024;

int Fail(const char *what, DWORD error = GetLastError()) {
    std::printf("failed %s error %lu\n", what, error);
    return 1;
}

double Seconds() {
    LARGE_INTEGER frequency = {}, now = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Closes a WinINet handle when it goes.
struct Handle {
    HINTERNET value = nullptr;
    explicit Handle(HINTERNET handle) : value(handle) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() {
        if (value != nullptr) InternetCloseHandle(value);
    }
    explicit operator bool() const { return value != nullptr; }
};

struct UrlParts {
    std::wstring host;
    std::wstring path; // path and query
    INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
};

bool SplitUrl(const std::wstring &url, UrlParts &parts) {
    std::vector<wchar_t> host(256), path(url.size() + 1), extra(url.size() + 1);
    URL_COMPONENTSW components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host.data();
    components.dwHostNameLength = static_cast<DWORD>(host.size());
    components.lpszUrlPath = path.data();
    components.dwUrlPathLength = static_cast<DWORD>(path.size());
    components.lpszExtraInfo = extra.data();
    components.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &components)) return false;
    parts.host = host.data();
    parts.path = std::wstring(path.data()) + extra.data();
    parts.port = components.nPort;
    return true;
}

// The user's proxy setting read as the library reads it before every request;
// the answer is dropped (the session is direct either way).
void QueryProxySetting() {
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
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return;
    for (int i : {0, 3, 4})
        if (options[i].Value.pszValue != nullptr) GlobalFree(options[i].Value.pszValue);
}

// One request in a session of its own, sent; the handles stay open for reading.
struct Exchange {
    Handle session{InternetOpenW(L"bench-wininet", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)};
    Handle connection{nullptr};
    Handle request{nullptr};
    DWORD status = 0;
    const char *failed = nullptr;
    DWORD error = 0;

    Exchange(const wchar_t *verb, const std::wstring &url, const void *body, DWORD length) {
        UrlParts parts;
        if (!session) {
            Failed("InternetOpenW");
            return;
        }
        if (!SplitUrl(url, parts)) {
            Failed("InternetCrackUrlW");
            return;
        }
        connection.value = InternetConnectW(session.value, parts.host.c_str(), parts.port, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
        if (!connection) {
            Failed("InternetConnectW");
            return;
        }
        const wchar_t *accept[] = {L"*/*", nullptr};
        request.value = HttpOpenRequestW(connection.value, verb, parts.path.c_str(), nullptr, nullptr, accept,
                                         kTransferFlags, 0);
        if (!request) {
            Failed("HttpOpenRequestW");
            return;
        }
        if (!HttpSendRequestW(request.value, nullptr, 0, const_cast<void *>(body), length)) {
            Failed("HttpSendRequestW");
            return;
        }
        DWORD size = sizeof status;
        if (!HttpQueryInfoW(request.value, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            Failed("HttpQueryInfoW");
    }
    void Failed(const char *what) {
        failed = what;
        error = GetLastError();
    }
    bool Ok() const { return failed == nullptr && status == HTTP_STATUS_OK; }
    int Report() const {
        if (failed != nullptr) return Fail(failed, error);
        std::printf("failed status %lu\n", status);
        return 1;
    }
    // The whole (small) answer as text.
    std::string ReadAll() {
        std::string text;
        char buffer[4096];
        DWORD read = 0;
        while (InternetReadFile(request.value, buffer, sizeof buffer, &read) && read != 0) text.append(buffer, read);
        return text;
    }
};

// How a download run treats its pieces and its file.
struct GetOptions {
    bool messages = false; // the download on a worker, one host message per piece to the main thread's window
    bool flushed = false;  // a temporary file beside LOCAL, flushed and moved into place
};

// ---- The messages: what the library allocates and sends, and what a host does with them ----

// The private heap the message blocks come from, created once like the library's.
HANDLE messageHeap = nullptr;

// One zero-filled block of the message heap.
template <class T> T *NewBlock() { return static_cast<T *>(HeapAlloc(messageHeap, HEAP_ZERO_MEMORY, sizeof(T))); }

// Sends one host message as the library sends it: a tagged payload, then its
// HostRecord and HostMessage, three blocks of the private heap that become
// the receiver's, delivered with SendMessageTimeoutW (no time-out). False (nothing sent) when a
// block cannot be had.
template <class P> bool SendBlocks(HWND window, WPARAM wParam, DWORD kind, const P &filled) {
    static constexpr BYTE kTag[16] = VELMORA_PAYLOAD_TAG_BYTES;
    auto *payload = NewBlock<P>();
    auto *record = NewBlock<HostRecord>();
    auto *message = NewBlock<HostMessage>();
    if (payload == nullptr || record == nullptr || message == nullptr) {
        for (void *block : {static_cast<void *>(payload), static_cast<void *>(record), static_cast<void *>(message)})
            if (block != nullptr) HeapFree(messageHeap, 0, block);
        return false;
    }
    *payload = filled;
    std::memcpy(payload, kTag, sizeof kTag);
    message->kind = kind;
    message->size = sizeof(P);
    message->payload = payload;
    record->threadId = GetCurrentThreadId();
    record->message = message;
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, HOST_MESSAGE, wParam, reinterpret_cast<LPARAM>(record), SMTO_NORMAL, INFINITE, &answer);
    return true;
}

// What the window's thread learns from the messages.
struct Received {
    unsigned long long bytes = 0;
    unsigned long messages = 0;
    bool finished = false;
};

// The host's side of one message: read the record, its message and the
// payload's tag, count the piece, free the three blocks (a host hands each
// back to the library's heap).
LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *received = reinterpret_cast<Received *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != HOST_MESSAGE || received == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    static constexpr BYTE kTag[16] = VELMORA_PAYLOAD_TAG_BYTES;
    auto *record = reinterpret_cast<HostRecord *>(lParam);
    if (record == nullptr) return 0;
    if (HostMessage *sent = record->message) {
        ++received->messages;
        if (sent->payload != nullptr && std::memcmp(sent->payload, kTag, sizeof kTag) == 0) {
            if (sent->kind == MsgTransferProgress && sent->size == sizeof(TransferPayload))
                received->bytes += static_cast<TransferPayload *>(sent->payload)->count;
            if (sent->kind == MsgFetchFinishedMode0 && sent->size == sizeof(ResultPayload)) received->finished = true;
        }
        HeapFree(messageHeap, 0, sent->payload);
        HeapFree(messageHeap, 0, sent);
    }
    HeapFree(messageHeap, 0, record);
    return 0;
}

// Dispatches everything queued, the worker's sent messages included.
void DrainMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// ---- The download ----

// One download: its arguments, and what it found.
struct Download {
    const wchar_t *url;
    const wchar_t *local;
    GetOptions options;
    HWND window = nullptr; // with messages: the main thread's window
    unsigned long long total = 0;
    double flushSeconds = 0; // FlushFileBuffers of the temporary file
    double moveSeconds = 0;  // closing it and moving it into place
    BYTE result = 0;         // 1 when the whole body is in LOCAL
};

// The temporary file's name: LOCAL with a suffix, beside it.
std::wstring PartPath(const wchar_t *local) { return std::wstring(local) + L".bench-part"; }

// Flushes the temporary file and makes it LOCAL, as the library finishes a
// download; the two steps' times go into download. Closes file.
bool MoveIntoPlace(HANDLE file, Download &download) {
    const double start = Seconds();
    const BOOL flushed = FlushFileBuffers(file);
    const DWORD error = GetLastError();
    const double closing = Seconds();
    download.flushSeconds = closing - start;
    CloseHandle(file);
    if (!flushed) {
        Fail("FlushFileBuffers", error);
        return false;
    }
    const bool moved = MoveFileExW(PartPath(download.local).c_str(), download.local,
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    download.moveSeconds = Seconds() - closing;
    if (!moved) Fail("MoveFileExW");
    return moved;
}

// The GET, read in 16 KiB pieces, each written to the file as it comes (and,
// with messages, announced to the window). 0, or 1 after printing what failed.
int RunDownload(Download &download) {
    Exchange exchange(L"GET", download.url, nullptr, 0);
    if (!exchange.Ok()) return exchange.Report();
    const bool flushed = download.options.flushed;
    const std::wstring path = flushed ? PartPath(download.local) : std::wstring(download.local);
    // The temporary file is opened as the library opens its own.
    const DWORD access = flushed ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    const DWORD share = flushed ? FILE_SHARE_READ : 0;
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("CreateFileW");
    std::vector<char> piece(kPieceSize);
    const char *failed = nullptr;
    DWORD error = 0;
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(exchange.request.value, piece.data(), kPieceSize, &read)) {
            failed = "InternetReadFile";
            break;
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, piece.data(), read, &written, nullptr) || written != read) {
            failed = "WriteFile";
            break;
        }
        download.total += read;
        if (download.window != nullptr) {
            TransferPayload progress = {};
            progress.count = read;
            if (!SendBlocks(download.window, 0, MsgTransferProgress, progress)) {
                failed = "HeapAlloc";
                break;
            }
        }
    }
    if (failed != nullptr) {
        error = GetLastError();
        CloseHandle(file);
        if (flushed) DeleteFileW(path.c_str());
        return Fail(failed, error);
    }
    if (!flushed) {
        CloseHandle(file);
        return 0;
    }
    if (MoveIntoPlace(file, download)) return 0;
    DeleteFileW(path.c_str());
    return 1;
}

// The worker of a download with messages: the download, then the final
// message with the result byte, as a library worker ends.
DWORD WINAPI DownloadWorker(void *context) {
    auto &download = *static_cast<Download *>(context);
    download.result = RunDownload(download) == 0 ? 1 : 0;
    ResultPayload outcome = {};
    outcome.result = &download.result;
    (void)SendBlocks(download.window, reinterpret_cast<WPARAM>(download.window), MsgFetchFinishedMode0, outcome);
    return 0;
}

// The download on a worker thread, the main thread owning a message-only
// window and pumping as a host does until the worker has ended. 0 when the
// download succeeded and every piece's message arrived; 1 after printing what failed.
int RunWithMessages(Download &download, Received &received) {
    messageHeap = HeapCreate(0, 0, 0);
    if (messageHeap == nullptr) return Fail("HeapCreate");
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = MessageWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"BenchWininetWindow";
    if (RegisterClassExW(&windowClass) == 0) return Fail("RegisterClassExW");
    download.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      windowClass.hInstance, &received);
    if (download.window == nullptr) return Fail("CreateWindowExW");
    HANDLE worker = CreateThread(nullptr, 0, DownloadWorker, &download, 0, nullptr);
    if (worker == nullptr) return Fail("CreateThread");
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) break;
        if (woken == WAIT_FAILED) return Fail("MsgWaitForMultipleObjectsEx");
        DrainMessages();
    }
    CloseHandle(worker);
    DestroyWindow(download.window);
    if (download.result != 1) return 1;
    if (!received.finished || received.bytes != download.total) {
        std::printf("failed messages: %lu received for %llu of %llu bytes\n", received.messages, received.bytes,
                    download.total);
        return 1;
    }
    return 0;
}

int Get(const wchar_t *url, const wchar_t *local, GetOptions options) {
    const double start = Seconds();
    Download download{url, local, options};
    Received received;
    const int code = options.messages ? RunWithMessages(download, received) : RunDownload(download);
    if (code != 0) return code;
    std::printf("bytes %llu seconds %.6f", download.total, Seconds() - start);
    if (options.messages) std::printf(" messages %lu", received.messages);
    if (options.flushed) std::printf(" flush %.6f move %.6f", download.flushSeconds, download.moveSeconds);
    std::printf("\n");
    return 0;
}

// The OAuth 1.0 PLAINTEXT query of one request: a nonce never used before and
// the current time.
struct Signer {
    std::wstring key, secret, token, tokenSecret;
    unsigned counter = 0;

    std::wstring Query() {
        FILETIME now = {};
        GetSystemTimeAsFileTime(&now);
        const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        const unsigned long long unixSeconds = (ticks - 116444736000000000ULL) / 10000000ULL;
        LARGE_INTEGER counterNow = {};
        QueryPerformanceCounter(&counterNow);
        wchar_t nonce[64];
        std::swprintf(nonce, 64, L"b%llx%lx%x", static_cast<unsigned long long>(counterNow.QuadPart),
                      GetCurrentProcessId(), ++counter);
        return L"oauth_consumer_key=" + key + L"&oauth_token=" + token + L"&oauth_nonce=" + nonce +
               L"&oauth_timestamp=" + std::to_wstring(unixSeconds) +
               L"&oauth_signature_method=PLAINTEXT&oauth_signature=" + secret + L"%26" + tokenSecret +
               L"&oauth_version=1.0";
    }
};

// The text after `"name": ` in a one-line JSON answer, up to the next comma,
// closing brace or quote.
std::string JsonMember(const std::string &text, const char *name) {
    const std::string key = std::string("\"") + name + "\": ";
    size_t at = text.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    if (at < text.size() && text[at] == '"') ++at;
    const size_t end = text.find_first_of(",}\"", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

int Put(const wchar_t *local, const std::wstring &origin, const std::wstring &remote, Signer &signer,
        bool queryProxy) {
    const double start = Seconds();
    HANDLE file = CreateFileW(local, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("CreateFileW");
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    std::vector<char> chunk(kChunkSize);
    std::wstring uploadId;
    long long offset = 0;
    do {
        const DWORD length =
            static_cast<DWORD>(size.QuadPart - offset < kChunkSize ? size.QuadPart - offset : kChunkSize);
        LARGE_INTEGER position = {};
        position.QuadPart = offset;
        DWORD read = 0;
        if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ||
            !ReadFile(file, chunk.data(), length, &read, nullptr) || read != length) {
            CloseHandle(file);
            return Fail("ReadFile");
        }
        const std::wstring where = uploadId.empty() ? L"?&offset=" + std::to_wstring(offset)
                                                    : L"?upload_id=" + uploadId + L"&offset=" + std::to_wstring(offset);
        if (queryProxy) QueryProxySetting();
        Exchange exchange(L"PUT", origin + L"/1/chunked_upload" + where + L"&" + signer.Query(), chunk.data(), read);
        if (!exchange.Ok()) {
            CloseHandle(file);
            return exchange.Report();
        }
        const std::string answer = exchange.ReadAll();
        const std::string id = JsonMember(answer, "upload_id");
        const std::string next = JsonMember(answer, "offset");
        if (id.empty() || next.empty() || std::strtoll(next.c_str(), nullptr, 10) <= offset) {
            CloseHandle(file);
            std::printf("failed answer %s\n", answer.c_str());
            return 1;
        }
        uploadId.assign(id.begin(), id.end());
        offset = std::strtoll(next.c_str(), nullptr, 10);
    } while (offset < size.QuadPart);
    CloseHandle(file);
    if (queryProxy) QueryProxySetting();
    Exchange commit(L"POST",
                    origin + L"/1/commit_chunked_upload/sandbox/" + remote + L"?upload_id=" + uploadId + L"&" +
                        signer.Query(),
                    nullptr, 0);
    if (!commit.Ok()) return commit.Report();
    (void)commit.ReadAll();
    std::printf("bytes %lld seconds %.6f\n", offset, Seconds() - start);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"noop") == 0) return 0;
    if (argc >= 4 && std::wcscmp(argv[1], L"get") == 0) {
        GetOptions options;
        bool known = true;
        for (int i = 4; i < argc; ++i) {
            if (std::wcscmp(argv[i], L"--messages") == 0)
                options.messages = true;
            else if (std::wcscmp(argv[i], L"--flushed") == 0)
                options.flushed = true;
            else
                known = false;
        }
        if (known) return Get(argv[2], argv[3], options);
    }
    const bool queryProxy = argc == 10 && std::wcscmp(argv[9], L"--query-proxy") == 0;
    if ((argc == 9 || queryProxy) && std::wcscmp(argv[1], L"put") == 0) {
        Signer signer{argv[5], argv[6], argv[7], argv[8]};
        return Put(argv[2], argv[3], argv[4], signer, queryProxy);
    }
    std::fputs("usage: bench-wininet.exe noop | get URL LOCAL [--messages] [--flushed]\n"
               "       | put LOCAL ORIGIN REMOTE KEY SECRET TOKEN TOKEN_SECRET [--query-proxy]\n",
               stderr);
    return 2;
}
