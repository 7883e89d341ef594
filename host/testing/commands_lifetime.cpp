// Commands that end an operation the way other hosts do: unload the library at
// its final message (unload), or release the worker from a thread other than
// the one that started it (release-elsewhere).
#include "../commands.h"
#include "../host_message_decoder.h"
#include "../message_pump.h"
#include "../output.h"

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int RunUnload(CommandContext &context);
int RunReleaseElsewhere(CommandContext &context);

#define VELMORA_OPERATIONS                                                                                             \
    "size FOLDER | ls FOLDER LENGTH | get INDEX NAME LOCAL | rm INDEX NAME | put REMOTE LOCAL | link"
const Command kCommands[] = {
    {L"unload", "after|in-handler COUNT " VELMORA_OPERATIONS, RunUnload},
    {L"release-elsewhere", "COUNT " VELMORA_OPERATIONS, RunReleaseElsewhere},
};
#undef VELMORA_OPERATIONS

// One operation of the command line: which export, and its arguments.
struct Operation {
    std::wstring kind;
    std::vector<wchar_t *> args;
};

bool ParseIndex(const wchar_t *text, DWORD &index) {
    unsigned long long value = 0;
    if (!ParseUnsigned(text, value) || value > 0xFFFFFFFFull) return false;
    index = static_cast<DWORD>(value);
    return true;
}

// KIND ARGS as the usage text lists them.
bool ParseOperation(std::span<wchar_t *const> args, Operation &operation) {
    if (args.empty()) return false;
    operation.kind = args[0];
    operation.args.assign(args.begin() + 1, args.end());
    const size_t count = operation.args.size();
    DWORD number = 0;
    if (operation.kind == L"size") return count == 1;
    if (operation.kind == L"ls") return count == 2 && ParseIndex(operation.args[1], number);
    if (operation.kind == L"get") return count == 3 && ParseIndex(operation.args[0], number);
    if (operation.kind == L"rm") return count == 2 && ParseIndex(operation.args[0], number);
    if (operation.kind == L"put") return count == 2;
    return operation.kind == L"link" && count == 0;
}

// The host's side of one started operation: the variables the library writes
// through, and the link's two texts, which the host frees at its notice.
struct Variables {
    OperationVariables operation;
    wchar_t *requestToken = nullptr;
    wchar_t *requestSecret = nullptr;
};

// Calls the operation's export with window; returns what it returned.
int StartOperation(const Library &library, const Operation &operation, HWND window, Variables &variables) {
    const std::vector<wchar_t *> &a = operation.args;
    OperationVariables &v = variables.operation;
    DWORD number = 0;
    if (operation.kind == L"size") return library.getDBMetadataBufferSize(window, &v.resultByte, a[0], &v.sizeVariable);
    if (operation.kind == L"ls") {
        ParseIndex(a[1], number);
        return library.getDropboxMetadata(window, &v.resultByte, a[0], number);
    }
    if (operation.kind == L"get") {
        ParseIndex(a[0], number);
        return library.getRemoteMergeFile(window, a[1], number, a[2], &v.resultByte, &v.cancelByte, 0);
    }
    if (operation.kind == L"rm") {
        ParseIndex(a[0], number);
        return library.bvDeleteRemote(window, a[1], number, &v.resultByte);
    }
    if (operation.kind == L"put")
        return library.bvUpdateRemoteWithFeedback(window, a[0], a[1], 0, &v.resultByte, &v.cancelByte);
    return library.requestAccessToken(window, &variables.requestToken, &variables.requestSecret);
}

// Gives the link's texts back (they are the host's once its notice has come).
void FreeLinkTexts(const Library &library, Variables &variables) {
    if (variables.requestToken != nullptr) library.freeDropBoxMemory(variables.requestToken);
    if (variables.requestSecret != nullptr) library.freeDropBoxMemory(variables.requestSecret);
    variables.requestToken = variables.requestSecret = nullptr;
}

// What the window procedures share with their command.
struct WindowState {
    Library *library = nullptr;
    Variables *variables = nullptr;
    bool unloadInHandler = false; // unload: the handler of the final message unloads
    std::atomic<bool> finished = false;
    DWORD threadId = 0;      // of the final message
    HANDLE worker = nullptr; // opened at the final message, before its release
    long release = -2;       // KillDropBoxThread's answer in the handler (-2: not called there)
    long outstanding = -1;   // blocks of the library just before the unload
};

// Blocks the library still holds (test DLL; -1 otherwise).
long Outstanding(const Library &library) {
    long outstanding = -1;
    unsigned long outOfMemory = 0;
    if (library.hooks.counters != nullptr) library.hooks.counters(&outstanding, &outOfMemory);
    return outstanding;
}

// The final message's part of each window procedure: decodes and frees the
// message, and for the final one opens the worker (for waiting on its end).
// True when this was the final message.
bool TakeMessage(HWND window, WPARAM wParam, LPARAM lParam, WindowState &state) {
    DWORD threadId = 0;
    const bool final = HandleHostMessage(*state.library, window, wParam, lParam, state.variables->operation, threadId);
    if (!final || state.finished) return false;
    state.finished = true;
    state.threadId = threadId;
    state.worker = OpenThread(SYNCHRONIZE, FALSE, threadId);
    return true;
}

WindowState *StateOf(HWND window, UINT message, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    return reinterpret_cast<WindowState *>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Releases the blocks of the final message's operation, forgets its worker and
// unloads the library. Nothing of the library is called after this.
void ReleaseAndUnload(WindowState &state) {
    Library &library = *state.library;
    FreeLinkTexts(library, *state.variables);
    state.release = library.killDropBoxThread(state.threadId);
    state.outstanding = Outstanding(library);
    FreeLibrary(library.module);
    library = Library{};
}

LRESULT CALLBACK UnloadWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowState *state = StateOf(window, message, lParam);
    if (message != HOST_MESSAGE || state == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    // The worker is still inside SendMessageW, in the library's code.
    if (TakeMessage(window, wParam, lParam, *state) && state->unloadInHandler) ReleaseAndUnload(*state);
    return 0;
}

// Pumps until the final message has been handled or the deadline passes.
bool PumpUntilFinished(const WindowState &state, ULONGLONG deadline) {
    while (!state.finished) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        DrainMessages();
    }
    return true;
}

// True when no module of that path is loaded in the process any more.
bool Unloaded(const std::wstring &path) { return GetModuleHandleW(path.c_str()) == nullptr; }

// One unload run: loads the library, starts the operation, unloads as asked,
// waits for the worker's end and tells whether the module is gone.
int UnloadOnce(CommandContext &context, const std::wstring &path, const Operation &operation, bool inHandler) {
    Library library;
    std::string reason;
    if (!LoadSyncLibrary(path, library, reason)) return HostError(ExitFailure, reason);
    Variables variables;
    WindowState state;
    state.library = &library;
    state.variables = &variables;
    state.unloadInHandler = inHandler;
    std::string failure;
    HWND window = OpenMessageWindow(L"VelmoraSyncUnloadWindow", UnloadWindowProc, &state, failure);
    if (window == nullptr) return HostError(ExitFailure, failure);
    const int returned = StartOperation(library, operation, window, variables);
    Event event("unload");
    event.Number("return", returned);
    int exitCode = ExitOk;
    if (returned != 0) {
        // No worker: the host's own reference is the only one.
        state.outstanding = Outstanding(library);
        FreeLibrary(library.module);
    } else if (!PumpUntilFinished(state, GetTickCount64() + ULONGLONG{context.timeoutSeconds} * 1000)) {
        DestroyWindow(window);
        return HostError(ExitTimeout, "no final message within " + std::to_string(context.timeoutSeconds) + " s");
    } else if (!inHandler) {
        ReleaseAndUnload(state);
    }
    bool workerEnded = true;
    if (state.worker != nullptr) {
        workerEnded = WaitForWorkerEnd(state.worker);
        CloseHandle(state.worker);
        if (!workerEnded) exitCode = HostError(ExitTimeout, "the worker has not ended after the unload");
    }
    DestroyWindow(window);
    event.Number("result_byte", variables.operation.resultByte)
        .Number("release", state.release)
        .Number("outstanding_blocks", state.outstanding)
        .Bool("worker_ended", workerEnded)
        .Bool("unloaded", Unloaded(path))
        .Emit();
    return exitCode;
}

bool ParseCount(const wchar_t *text, unsigned long long &count) {
    return ParseUnsigned(text, count) && count != 0 && count <= 1000;
}

// unload after|in-handler COUNT OPERATION: COUNT times, loads the library,
// starts the operation and, once its final message has come and its blocks are
// back, releases the worker and unloads the library: right after the handler
// returned (after), or inside the handler while the worker still waits in
// SendMessageW (in-handler). Then waits for the worker's end. One "unload"
// event per run; the library is loaded again for the host at the end.
int RunUnload(CommandContext &context) {
    const Command &command = kCommands[0];
    unsigned long long count = 0;
    Operation operation;
    if (context.args.size() < 3 || !ParseCount(context.args[1], count) ||
        !ParseOperation(context.args.subspan(2), operation))
        return UsageError(command);
    const std::wstring when = context.args[0];
    if (when != L"after" && when != L"in-handler") return UsageError(command);
    wchar_t path[MAX_PATH] = {};
    if (GetModuleFileNameW(context.library.module, path, MAX_PATH) == 0)
        return HostError(ExitFailure, "cannot name the loaded library");
    // The host's own reference goes, so that each run's unload is the last one.
    FreeLibrary(context.library.module);
    context.library = Library{};
    int exitCode = ExitOk;
    for (unsigned long long run = 0; run < count && exitCode == ExitOk; ++run)
        exitCode = UnloadOnce(context, path, operation, when == L"in-handler");
    std::string reason;
    if (!LoadSyncLibrary(path, context.library, reason)) return HostError(ExitFailure, reason);
    return exitCode;
}

// The window of release-elsewhere lives on a thread of its own, which releases
// the worker inside the handler of the final message, at once.
LRESULT CALLBACK ElsewhereWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowState *state = StateOf(window, message, lParam);
    if (message != HOST_MESSAGE || state == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (TakeMessage(window, wParam, lParam, *state)) {
        FreeLinkTexts(*state->library, *state->variables);
        state->release = state->library->killDropBoxThread(state->threadId);
    }
    return 0;
}

// The window thread: opens the window, reports it through ready, pumps until
// the final message has been handled or the deadline passes.
struct WindowThread {
    WindowState *state = nullptr;
    ULONGLONG deadline = 0;
    HANDLE ready = nullptr; // set once window is known (null when it could not be made)
    HWND window = nullptr;
    std::string failure;
};

DWORD WINAPI RunWindowThread(LPVOID parameter) {
    WindowThread &thread = *static_cast<WindowThread *>(parameter);
    thread.window = OpenMessageWindow(L"VelmoraSyncElsewhereWindow", ElsewhereWindowProc, thread.state, thread.failure);
    SetEvent(thread.ready);
    if (thread.window == nullptr) return 1;
    const bool finished = PumpUntilFinished(*thread.state, thread.deadline);
    DestroyWindow(thread.window);
    return finished ? 0 : 1;
}

// One run of release-elsewhere; emits its "release" event.
int ReleaseElsewhereOnce(CommandContext &context, const Operation &operation) {
    Library &library = context.library;
    Variables variables;
    WindowState state;
    state.library = &library;
    state.variables = &variables;
    WindowThread thread;
    thread.state = &state;
    thread.deadline = GetTickCount64() + ULONGLONG{context.timeoutSeconds} * 1000;
    thread.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (thread.ready == nullptr) return HostError(ExitFailure, "cannot create an event");
    HANDLE windowThread = CreateThread(nullptr, 0, RunWindowThread, &thread, 0, nullptr);
    if (windowThread == nullptr) {
        CloseHandle(thread.ready);
        return HostError(ExitFailure, "cannot start the window thread");
    }
    WaitForSingleObject(thread.ready, INFINITE);
    CloseHandle(thread.ready);
    const int returned = thread.window != nullptr ? StartOperation(library, operation, thread.window, variables) : -1;
    if (returned != 0 && thread.window != nullptr) {
        // Nothing comes: the window thread may stop now.
        state.finished = true;
        PostMessageW(thread.window, WM_NULL, 0, 0);
    }
    // The window thread ends at the final message (or its deadline); no message
    // of this thread is needed meanwhile.
    WaitForSingleObject(windowThread, INFINITE);
    DWORD windowCode = 1;
    GetExitCodeThread(windowThread, &windowCode);
    CloseHandle(windowThread);
    if (thread.window == nullptr) return HostError(ExitFailure, thread.failure);
    bool workerEnded = true;
    if (state.worker != nullptr) {
        workerEnded = WaitForWorkerEnd(state.worker);
        CloseHandle(state.worker);
    }
    Event("release")
        .Number("return", returned)
        .Number("result_byte", variables.operation.resultByte)
        .Number("release_in_handler", state.release)
        .Number("release_later", returned == 0 ? library.killDropBoxThread(state.threadId) : -2)
        .Bool("worker_ended", workerEnded)
        .Emit();
    if (returned == 0 && windowCode != 0)
        return HostError(ExitTimeout, "no final message within " + std::to_string(context.timeoutSeconds) + " s");
    return workerEnded ? ExitOk : HostError(ExitTimeout, "the worker has not ended");
}

// release-elsewhere COUNT OPERATION: COUNT times, a thread of its own opens the
// window; this thread starts the operation on it; the window's thread handles
// the final message and calls KillDropBoxThread inside its handler, at once.
// Then this thread calls KillDropBoxThread with the same id again and waits
// for the worker's end. One "release" event per run.
int RunReleaseElsewhere(CommandContext &context) {
    unsigned long long count = 0;
    Operation operation;
    if (context.args.size() < 2 || !ParseCount(context.args[0], count) ||
        !ParseOperation(context.args.subspan(1), operation))
        return UsageError(kCommands[1]);
    int exitCode = ExitOk;
    for (unsigned long long run = 0; run < count && exitCode == ExitOk; ++run)
        exitCode = ReleaseElsewhereOnce(context, operation);
    return exitCode;
}

} // namespace

std::span<const Command> LifetimeCommands() { return kCommands; }
