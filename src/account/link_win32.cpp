// Account linking, first step: request token, host variables, browser, notice.
#include "account/link_win32.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>

#include "frame/diagnostic_line_win32.h"
#include "frame/faults_win32.h"
#include "frame/heap_win32.h"
#include "frame/holders_win32.h"
#include "frame/host_message_win32.h"
#include "frame/threads_win32.h"
#include "request/oauth_win32.h"
#include "transport/executor_win32.h"
#include "transport/service_calls_win32.h"

namespace {

// The host's two variables of the running link, set by RequestAccessToken and
// written through by its worker. One linking at a time: a second call
// redirects the first worker's writes.
constinit std::atomic<wchar_t **> RequestTokenSlot{nullptr};
constinit std::atomic<wchar_t **> RequestSecretSlot{nullptr};
// The notice's status; the payload points here and the host never frees it.
constinit BYTE LinkStatusByte = 0;

constexpr char kHtmlStub[] = "<HTML> </HTML>";

// Publishes a text into a host variable. The host may poll its variables from
// another thread (a link without a window sends no notice), so the store is
// atomic and releases the text's bytes with it.
void WriteHostVariable(wchar_t **variable, wchar_t *text) {
    std::atomic_ref<wchar_t *>(*variable).store(text, std::memory_order_release);
}

// Starts the browser on the address. SEE_MASK_NOASYNC and WAITFORINPUTIDLE make
// this worker (not the host) wait until the browser takes input, so the notice
// follows its start; the process handle NOCLOSEPROCESS hands back is not needed
// further and is closed.
void LaunchBrowser(const wchar_t *browser, const wchar_t *address) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_WAITFORINPUTIDLE;
    info.lpFile = browser;
    info.lpParameters = address;
    info.nShow = SW_SHOWNORMAL;
    // A browser that fails to start is not detected: the user sees nothing and links again.
    if (sys::ShellExecuteExW(&info) && info.hProcess != nullptr) CloseHandle(info.hProcess);
}

// The request-token step up to the browser's start. Returns true when the
// browser was started; the host's variables then hold the token and its secret.
bool LinkThroughBrowser(wchar_t **tokenSlot, wchar_t **secretSlot) {
    WipedBlock<char> body;
    {
        const WipedBlock<wchar_t> url = RequestTokenUrl();
        if (!url) return false;
        DWORD status = 0;
        LibBlock<char> reply;
        const bool completed = ExecuteRequest(url.get(), &reply, &status);
        // The reply holds the request secret: wiped when it goes.
        body.reset(reply.release());
        if (!completed) return false;
    }
    WipedBlock<wchar_t> token = ParseTokenValue(body.get(), "oauth_token");
    WipedBlock<wchar_t> secret = ParseTokenValue(body.get(), "oauth_token_secret");
    if (!token || !secret) return false;
    body.reset();

    WipedBlock<wchar_t> address = AuthorizeUrl(token.get());
    if (!address) return false;
    // 8-bit output: in a host whose stdout is in binary mode the wide functions
    // would write UTF-16 bytes between its own lines.
    DiagnosticLine() << "Launching " << address.get() << "\r\n";
    wchar_t browser[MAX_PATH] = {};
    if (!FindDefaultBrowser(browser)) return false;

    LaunchBrowser(browser, address.get());
    address.reset();

    // Handed over only now that nothing can fail any more and the worker holds
    // nothing else: a host that polls its variables (no window, no notice) never
    // holds a text the worker frees later. Secret first, so it is in place once
    // the token shows.
    WriteHostVariable(secretSlot, secret.release());
    WriteHostVariable(tokenSlot, token.release());
    return true;
}

} // namespace

bool FindDefaultBrowser(wchar_t (&browser)[MAX_PATH]) {
    browser[0] = L'\0';
    // FindExecutableW asks for an existing file, so a stub page is written and
    // removed again. Links may run at once in several processes of one user,
    // all in the same temporary folder: each lookup names its own stub after
    // its process, its thread and a running count, so no flow overwrites or
    // deletes another's.
    static constinit std::atomic<unsigned long> stubCount{0};
    wchar_t stubName[64] = {};
    wsprintfW(stubName, L"tmphtml-%lx-%lx-%lx.html", GetCurrentProcessId(), GetCurrentThreadId(),
              stubCount.fetch_add(1, std::memory_order_relaxed));
    wchar_t path[MAX_PATH] = {};
    DWORD length = sys::GetTempPathW(MAX_PATH, path);
    if (length == 0 || length + lstrlenW(stubName) >= MAX_PATH) return false;
    lstrcatW(path, stubName);

    HANDLE file = sys::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool stubWritten =
        sys::WriteFile(file, kHtmlStub, sizeof kHtmlStub - 1, &written, nullptr) && written == sizeof kHtmlStub - 1;
    if (stubWritten) sys::FlushFileBuffers(file);
    CloseHandle(file);
    // Values above 32 mean success; smaller ones are error codes.
    bool found = stubWritten && reinterpret_cast<INT_PTR>(sys::FindExecutableW(path, nullptr, browser)) > 32;
    // A program that looks at every new file (a scanner, an indexer) may hold it a moment.
    (void)DeleteWaitingOutHolders(path);
    if (!found) browser[0] = L'\0';
    return found;
}

void SendLinkNotice(HWND window, BYTE status) {
    if (window == nullptr) return;
    LinkStatusByte = status;
    SendPayload<LinkStatusPayload>(window, reinterpret_cast<WPARAM>(window), MsgLinkStatus,
                                   [](LinkStatusPayload &payload) { payload.status = &LinkStatusByte; });
}

DWORD WINAPI RequestTokenWorker(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    wchar_t **tokenSlot = RequestTokenSlot.load(std::memory_order_acquire);
    wchar_t **secretSlot = RequestSecretSlot.load(std::memory_order_acquire);
    WriteHostVariable(tokenSlot, nullptr);
    WriteHostVariable(secretSlot, nullptr);
    bool launched = LinkThroughBrowser(tokenSlot, secretSlot);
    SendLinkNotice(window, launched ? 1 : 0);
    return 0;
}

int StartLink(HWND window, wchar_t **requestToken, wchar_t **requestSecret) {
    RequestTokenSlot.store(requestToken, std::memory_order_release);
    RequestSecretSlot.store(requestSecret, std::memory_order_release);
    return StartWorker<RequestTokenWorker>(window, nullptr);
}
