// Commands for the account exports: link, exchange, creds, init.
#include "commands.h"
#include "human_text.h"
#include "library_output.h"
#include "message_pump.h"
#include "output.h"
#include "testing/runs.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

int RunLink(CommandContext &context);
int RunExchange(CommandContext &context);
int RunCreds(CommandContext &context);
int RunInit(CommandContext &context);

const Command kCommands[] = {
    {L"link", "[--null-window] [--request-only] [--timeout SECONDS] [--null-token | --null-secret]", RunLink,
     "links the account: opens the authorization page in the browser, waits for the approval"},
    {L"exchange", "TOKEN|--null SECRET|--null [TOKEN SECRET]... [--read-back]", RunExchange,
     "trades an approved request token for the access pair and stores it"},
    {L"creds", "[--null-token | --null-secret]", RunCreds, "whether an account is linked (its access token)"},
    {L"init", "", RunInit, "creates the folders Highlights, User Notes and User Tools where missing"},
};
const Command &kLink = kCommands[0];
const Command &kExchange = kCommands[1];
const Command &kCreds = kCommands[2];
const Command &kInit = kCommands[3];

constexpr DWORD kPollMilliseconds = 500;

// The request token and its secret as the library's worker hands them over.
// The worker writes them from its own thread; without a window no notice tells
// when, so they are read atomically.
struct RequestPair {
    wchar_t *token = nullptr;
    wchar_t *secret = nullptr;

    wchar_t *Token() { return std::atomic_ref<wchar_t *>(token).load(std::memory_order_acquire); }
    wchar_t *Secret() { return std::atomic_ref<wchar_t *>(secret).load(std::memory_order_acquire); }

    // Gives what the library handed over back to it.
    void Release(const Library &library) {
        if (wchar_t *text = Token()) library.freeDropBoxMemory(text);
        if (wchar_t *text = Secret()) library.freeDropBoxMemory(text);
    }
};

struct LinkOptions {
    bool nullWindow = false;
    bool requestOnly = false; // stop after the request-token step (no exchange)
    DWORD timeoutSeconds = 0;
    // Pass a null pointer for the token or the secret variable (the call must refuse).
    bool nullToken = false;
    bool nullSecret = false;
};

bool ParseLinkOptions(const CommandContext &context, LinkOptions &options) {
    options.timeoutSeconds = context.timeoutSeconds;
    const auto &args = context.args;
    for (size_t i = 0; i < args.size(); ++i) {
        std::wstring_view arg = args[i];
        unsigned long long seconds = 0;
        if (arg == L"--null-window") {
            options.nullWindow = true;
        } else if (arg == L"--request-only") {
            options.requestOnly = true;
        } else if (arg == L"--null-token" && !options.nullSecret) {
            options.nullToken = true;
        } else if (arg == L"--null-secret" && !options.nullToken) {
            options.nullSecret = true;
        } else if (arg == L"--timeout" && i + 1 < args.size() && ParseUnsigned(args[i + 1], seconds) && seconds > 0 &&
                   seconds <= 86400) {
            options.timeoutSeconds = static_cast<DWORD>(seconds);
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

// True when a person can answer a prompt on stdin (a console, not a pipe or file).
bool InteractiveInput() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// With --json the result event; in text mode a failure says what went wrong.
// The request token may be shown; its secret never is.
void EmitRequestResult(int returned, RequestPair &pair) {
    if (!JsonOutput()) {
        if (returned != 0)
            HostError(ExitFailure, "the library did not start linking (RequestAccessToken returned " +
                                       std::to_string(returned) + ")");
        else if (pair.Token() == nullptr)
            HostError(ExitFailure,
                      "no request token: the service refused or could not be reached, or no browser is set up to "
                      "open .html pages",
                      "check the connection (velmora-sync proxy shows the proxy settings), then run velmora-sync link "
                      "again");
        return;
    }
    Event("result")
        .Text("export", "RequestAccessToken")
        .Number("return", returned)
        .Wide("request_token", pair.Token())
        .Bool("secret_present", pair.Secret() != nullptr)
        .Emit();
}

// RequestAccessToken with a window: waits for the notice (kind 23), which the
// pump prints before releasing the thread with KillDropBoxThread.
int RequestWithWindow(const CommandContext &context, DWORD timeoutSeconds, RequestPair &pair, int &returned) {
    CommandContext waiting{context.library, context.args, timeoutSeconds};
    OperationVariables variables;
    return RunOperation(waiting, variables, [&](HWND window) {
        returned = context.library.requestAccessToken(window, &pair.token, &pair.secret);
        return returned == 0;
    });
}

// Ids of this process's threads; false when the snapshot cannot be taken.
bool ProcessThreadIds(std::vector<DWORD> &ids) {
    ids.clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return true;
}

// The routine a thread was started with (ThreadQuerySetWin32StartAddress); null when unknown.
void *ThreadStartAddress(HANDLE thread) {
    using QueryThreadFn = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    constexpr int kThreadQuerySetWin32StartAddress = 9;
    // GetProcAddress returns FARPROC; the cast to the function's own type is the documented way.
    static const auto query = reinterpret_cast<QueryThreadFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    void *start = nullptr;
    if (query == nullptr || query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) < 0)
        return nullptr;
    return start;
}

// The worker a windowless RequestAccessToken started. Without a window the
// library never names it (no notice, no thread id), so it is found as the
// thread that appeared during the call and runs a routine of the library's
// image. Knowing it lets a failed link end when the worker does, not at the
// timeout. When the threads cannot be told apart, Ended() stays false and the
// caller waits as before.
class WindowlessWorker {
  public:
    // Call before RequestAccessToken.
    explicit WindowlessWorker(HMODULE library) : library_(library) { known_ = ProcessThreadIds(before_); }
    WindowlessWorker(const WindowlessWorker &) = delete;
    WindowlessWorker &operator=(const WindowlessWorker &) = delete;
    ~WindowlessWorker() {
        for (HANDLE thread : threads_) CloseHandle(thread);
    }

    // Call once RequestAccessToken has returned 0: the worker is among the
    // threads now, unless it has already ended.
    void Find() {
        std::vector<DWORD> now;
        if (!known_ || !ProcessThreadIds(now)) {
            known_ = false;
            return;
        }
        const auto *imageStart = reinterpret_cast<const BYTE *>(library_);
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(imageStart);
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(imageStart + dos->e_lfanew);
        const auto *imageEnd = imageStart + nt->OptionalHeader.SizeOfImage;
        for (DWORD id : now) {
            if (std::find(before_.begin(), before_.end(), id) != before_.end()) continue;
            HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id);
            if (thread == nullptr) {
                // Gone already, or not ours to inspect: only a thread that ended may be skipped.
                if (GetLastError() != ERROR_INVALID_PARAMETER) known_ = false;
                continue;
            }
            const auto *start = static_cast<const BYTE *>(ThreadStartAddress(thread));
            if (start == nullptr) known_ = false;
            if (start == nullptr || (start >= imageStart && start < imageEnd)) {
                threads_.push_back(thread);
            } else {
                CloseHandle(thread);
            }
        }
        if (threads_.size() > MAXIMUM_WAIT_OBJECTS) known_ = false;
    }

    // False when the worker could not be told apart from other threads.
    bool Known() const { return known_; }

    // True once the worker is known to have ended.
    bool Ended() const {
        if (!known_) return false;
        return threads_.empty() ||
               WaitForMultipleObjects(static_cast<DWORD>(threads_.size()), threads_.data(), TRUE, 0) != WAIT_TIMEOUT;
    }

    // Waits up to milliseconds, less when the worker ends first.
    void Wait(DWORD milliseconds) const {
        if (known_ && !threads_.empty())
            WaitForMultipleObjects(static_cast<DWORD>(threads_.size()), threads_.data(), TRUE, milliseconds);
        else
            Sleep(milliseconds);
    }

  private:
    HMODULE library_;
    bool known_ = false;
    std::vector<DWORD> before_;
    std::vector<HANDLE> threads_;
};

// Seconds the worker may take to end once it has handed over the token.
constexpr DWORD kWorkerEndSeconds = 10;

// RequestAccessToken without a window: no notice comes, so the token variable
// is polled until the worker has filled it. A worker that ends without filling
// it has failed (it leaves both variables null): the wait ends with it. After
// a hand-over the worker is let end before the host goes on: a process that
// ends under Wine while one of its threads is ending on its own can hang in
// its exit until the wineserver kills it.
int RequestWithoutWindow(const CommandContext &context, DWORD timeoutSeconds, RequestPair &pair, int &returned) {
    WindowlessWorker worker(context.library.module);
    returned = context.library.requestAccessToken(nullptr, &pair.token, &pair.secret);
    if (returned != 0) return ExitOk;
    worker.Find();
    ULONGLONG deadline = GetTickCount64() + ULONGLONG{timeoutSeconds} * 1000;
    while (pair.Token() == nullptr) {
        // The worker writes its variables before it ends, so a null token read
        // after its end is final.
        if (worker.Ended()) return ExitOk;
        if (GetTickCount64() >= deadline)
            return HostError(ExitTimeout, "no request token within " + std::to_string(timeoutSeconds) + " s");
        worker.Wait(50);
    }
    ULONGLONG ended = GetTickCount64() + ULONGLONG{kWorkerEndSeconds} * 1000;
    while (worker.Known() && !worker.Ended()) {
        if (GetTickCount64() >= ended)
            return HostError(ExitTimeout, "the worker has not ended " + std::to_string(kWorkerEndSeconds) +
                                              " s after handing over the token");
        worker.Wait(50);
    }
    return ExitOk;
}

// RequestAccessToken with a window and one variable missing: the call must
// refuse at once (1), starting no worker. Should it start one anyway, its
// notice is waited for as usual. As for any link, the exit code is ExitOk only
// when a request token came.
int RequestWithNullVariable(const CommandContext &context, const LinkOptions &options) {
    // On the heap, as in RunLink: a worker started by mistake may write it after a timeout.
    auto owned = std::make_unique<RequestPair>();
    RequestPair &pair = *owned;
    int returned = -1;
    OperationVariables variables;
    const int exitCode = RunOperation(context, variables, [&](HWND window) {
        returned = context.library.requestAccessToken(window, options.nullToken ? nullptr : &pair.token,
                                                      options.nullSecret ? nullptr : &pair.secret);
        return returned == 0;
    });
    if (exitCode != ExitOk) {
        (void)owned.release();
        return exitCode;
    }
    EmitRequestResult(returned, pair);
    const bool gotToken = pair.Token() != nullptr;
    pair.Release(context.library);
    return gotToken ? ExitOk : ExitFailure;
}

int EmitExchange(const Library &library, const wchar_t *token, const wchar_t *secret, int attempt) {
    int returned = library.checkForAccessTokenResponse(token, secret);
    if (JsonOutput())
        Event("result")
            .Text("export", "CheckForAccessTokenResponse")
            .Number("return", returned)
            .Number("attempt", attempt)
            .Emit();
    return returned;
}

// Text mode: the account is linked. The uid is known only from the library's
// own diagnostic line of the exchange, which has been written by now.
void SayLinked() {
    CatchUpLibraryOutput();
    const std::string uid = LastLinkedUid();
    Say(uid.empty() ? "linked" : "linked as uid " + uid);
}

// The access token exchange once the user approved: after Enter at a console,
// else by polling every 0.5 s until it succeeds or the time is up.
int ExchangeWhenApproved(const Library &library, const wchar_t *token, const wchar_t *secret, DWORD timeoutSeconds) {
    if (InteractiveInput()) {
        std::fputs("Approve in the browser, then press Enter\n", stderr);
        wchar_t line[16];
        if (std::fgetws(line, 16, stdin) == nullptr) return ExitFailure;
        if (EmitExchange(library, token, secret, 1) != 0)
            return JsonOutput()
                       ? ExitFailure
                       : HostError(ExitFailure, "the service did not accept the request token",
                                   "approve the access in the browser first, then run velmora-sync link again");
        if (!JsonOutput()) SayLinked();
        return ExitOk;
    }
    Tell("waiting for the approval in the browser (asking every 0.5 s, for up to " + std::to_string(timeoutSeconds) +
         " s)");
    ULONGLONG deadline = GetTickCount64() + ULONGLONG{timeoutSeconds} * 1000;
    for (int attempt = 1;; ++attempt) {
        if (EmitExchange(library, token, secret, attempt) == 0) {
            if (!JsonOutput()) SayLinked();
            return ExitOk;
        }
        if (GetTickCount64() + kPollMilliseconds >= deadline)
            return HostError(ExitTimeout, "no approval within " + std::to_string(timeoutSeconds) + " s",
                             "approve the access in the browser, then run velmora-sync link again (--timeout SECONDS "
                             "waits longer)");
        Sleep(kPollMilliseconds);
    }
}

int RunLink(CommandContext &context) {
    LinkOptions options;
    if (!ParseLinkOptions(context, options)) return UsageError(kLink);
    const Library &library = context.library;
    if (!HasExport(library.requestAccessToken, "RequestAccessToken") ||
        !HasExport(library.checkForAccessTokenResponse, "CheckForAccessTokenResponse"))
        return ExitFailure;
    if (options.nullToken || options.nullSecret) return RequestWithNullVariable(context, options);

    // On the heap: after a timeout a worker may still write the variables, so
    // they must outlive this call (they are then left to the process).
    auto owned = std::make_unique<RequestPair>();
    RequestPair &pair = *owned;
    int returned = -1;
    int exitCode = options.nullWindow ? RequestWithoutWindow(context, options.timeoutSeconds, pair, returned)
                                      : RequestWithWindow(context, options.timeoutSeconds, pair, returned);
    if (exitCode != ExitOk) {
        (void)owned.release();
        return exitCode;
    }
    EmitRequestResult(returned, pair);
    wchar_t *token = pair.Token();
    wchar_t *secret = pair.Secret();
    if (!JsonOutput() && token != nullptr && secret != nullptr) {
        CatchUpLibraryOutput();
        const std::string address = LastLaunchedAddress();
        Say("the authorization page is open in the browser" + (address.empty() ? "" : ": " + address));
        if (options.requestOnly) Say("request token received; not traded (--request-only)");
    }
    if (options.requestOnly)
        exitCode = token != nullptr && secret != nullptr ? ExitOk : ExitFailure;
    else if (token != nullptr && secret != nullptr)
        exitCode = ExchangeWhenApproved(library, token, secret, options.timeoutSeconds);
    else
        exitCode = ExitFailure;
    pair.Release(library);
    return exitCode;
}

// "--null" stands for a null pointer, so tests can reach the argument checks.
const wchar_t *ArgOrNull(const wchar_t *arg) { return std::wcscmp(arg, L"--null") == 0 ? nullptr : arg; }

// GetAccessCreds: the token is shown (in text mode its start), of the secret
// only its length (in text mode nothing). Returns what the export returned.
int EmitCreds(const Library &library, bool nullToken, bool nullSecret) {
    wchar_t *token = nullptr;
    wchar_t *secret = nullptr;
    int returned = library.getAccessCreds(nullToken ? nullptr : &token, nullSecret ? nullptr : &secret);
    if (JsonOutput()) {
        Event event("result");
        event.Text("export", "GetAccessCreds").Number("return", returned).Wide("token", token);
        if (secret == nullptr)
            event.Null("secret_length");
        else
            event.Unsigned("secret_length", std::wcslen(secret));
        event.Emit();
    } else if (returned == 0 && token != nullptr) {
        const std::string text = Utf8(token);
        Say("linked (access token " + text.substr(0, 4) + (text.size() > 4 ? "...)" : ")"));
    } else {
        HostError(ExitFailure, "not linked", "run velmora-sync link");
    }
    if (token != nullptr) library.freeDropBoxMemory(token);
    if (secret != nullptr) library.freeDropBoxMemory(secret);
    return returned;
}

// One exchange per run of the command: the runs of one process (--repeat,
// --fault-loop) take the pairs in turn, as a request token is good for one
// exchange only. --read-back reads the stored pair back after the exchange,
// whatever it returned (a failed one must leave the pair stored before); with
// the test DLL the fault rules are cleared first, as the read-back only checks
// the exchange's outcome, and the failures injected until then still count
// for the run.
int RunExchange(CommandContext &context) {
    std::span<wchar_t *const> args = context.args;
    const bool readBack = !args.empty() && std::wstring_view(args.back()) == L"--read-back";
    if (readBack) args = args.first(args.size() - 1);
    if (args.empty() || args.size() % 2 != 0) return UsageError(kExchange);
    const Library &library = context.library;
    if (!HasExport(library.checkForAccessTokenResponse, "CheckForAccessTokenResponse") ||
        (readBack && !HasExport(library.getAccessCreds, "GetAccessCreds")))
        return ExitFailure;
    static size_t nextPair = 0;
    const size_t pair = nextPair++;
    if (pair >= args.size() / 2) return HostError(ExitFailure, "no request token left for this run");
    const int returned = EmitExchange(library, ArgOrNull(args[2 * pair]), ArgOrNull(args[2 * pair + 1]), 1);
    if (readBack) {
        if (library.hooks.setFaults != nullptr) {
            unsigned long injected = 0;
            if (library.hooks.faultCalls != nullptr) library.hooks.faultCalls(nullptr, 0, &injected);
            CarryInjectedFailures(injected);
            library.hooks.setFaults(nullptr);
        }
        (void)EmitCreds(library, false, false);
    }
    // With --json the result event tells the outcome and the exit code only that the call was made.
    if (JsonOutput()) return ExitOk;
    if (returned != 0)
        return HostError(ExitFailure, "the service did not accept the request token",
                         "a request token is good for one exchange, after its approval: run velmora-sync link");
    if (!readBack) SayLinked();
    return ExitOk;
}

int RunCreds(CommandContext &context) {
    std::wstring_view option = context.args.empty() ? std::wstring_view() : std::wstring_view(context.args[0]);
    bool nullToken = option == L"--null-token";
    bool nullSecret = option == L"--null-secret";
    if (context.args.size() > 1 || (!option.empty() && !nullToken && !nullSecret)) return UsageError(kCreds);
    if (!HasExport(context.library.getAccessCreds, "GetAccessCreds")) return ExitFailure;
    const int returned = EmitCreds(context.library, nullToken, nullSecret);
    // With --json the result event tells the outcome and the exit code only that the call was made.
    return JsonOutput() || returned == 0 ? ExitOk : ExitFailure;
}

int RunInit(CommandContext &context) {
    if (!context.args.empty()) return UsageError(kInit);
    const Library &library = context.library;
    if (!HasExport(library.dbFolderInitialization, "DBFolderInitialization")) return ExitFailure;
    const int returned = library.dbFolderInitialization();
    if (JsonOutput()) {
        Event("result").Text("export", "DBFolderInitialization").Number("return", returned).Emit();
        return ExitOk;
    }
    if (returned == 0) {
        Say("the folders Highlights, User Notes and User Tools are in place");
        return ExitOk;
    }
    if (!AccountLinked(library)) return HostError(ExitFailure, "not linked", "run velmora-sync link");
    return HostError(ExitFailure, "the folders could not all be created (the service refused or could not be reached)",
                     "check the connection (velmora-sync proxy shows the proxy settings), then try again");
}

} // namespace

std::span<const Command> AccountCommands() { return kCommands; }
