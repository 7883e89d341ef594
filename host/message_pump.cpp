// The message-only window and the pump that waits for an operation's end.
#include "message_pump.h"

#include "host_message_decoder.h"
#include "output.h"

#include <algorithm>
#include <iterator>
#include <tlhelp32.h>
#include <string>

namespace {

const wchar_t kWindowClass[] = L"VelmoraSyncHostWindow";

struct PumpState {
    const Library *library;
    OperationVariables *variables;
    bool finished = false;
    DWORD finalThreadId = 0;
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *state = reinterpret_cast<PumpState *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == HOST_MESSAGE && state != nullptr) {
        DWORD threadId = 0;
        if (HandleHostMessage(*state->library, window, wParam, lParam, *state->variables, threadId) &&
            !state->finished) {
            state->finished = true;
            state->finalThreadId = threadId;
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Pauses before each further attempt at the message window.
constexpr DWORD kWindowRetryPauses[] = {50, 100, 200, 400, 800};

} // namespace

void DrainMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Retried a few times. Under Wine each thread keeps the desktop's two top
// windows from its first window call. Several hosts starting at once each start
// explorer.exe, and a host that asks while one of them has made the desktop
// window but not yet its message parent keeps the first without the second:
// HWND_MESSAGE then yields an ordinary top-level window, which the stand-in
// graphics driver of a desktop still being set up refuses without an error
// code. Setting the thread's desktop again forgets the kept windows, so a later
// attempt finds the finished desktop.
HWND OpenMessageWindow(const wchar_t *windowClass, WNDPROC procedure, void *state, std::string &failure) {
    WNDCLASSEXW registration{};
    registration.cbSize = sizeof registration;
    registration.lpfnWndProc = procedure;
    registration.hInstance = GetModuleHandleW(nullptr);
    registration.lpszClassName = windowClass;
    if (RegisterClassExW(&registration) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        failure = "cannot register the window class";
        return nullptr;
    }
    DWORD lastError = ERROR_SUCCESS;
    for (int attempts = 1;; ++attempts) {
        SetLastError(ERROR_SUCCESS);
        HWND window = CreateWindowExW(0, windowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), state);
        if (window != nullptr) return window;
        lastError = GetLastError();
        if (attempts > static_cast<int>(std::size(kWindowRetryPauses))) {
            failure = "cannot create the message window (error " + std::to_string(lastError) + ", " +
                      std::to_string(attempts) + " attempts)";
            return nullptr;
        }
        Sleep(kWindowRetryPauses[attempts - 1]);
        SetThreadDesktop(GetThreadDesktop(GetCurrentThreadId()));
    }
}

int RunOperation(const CommandContext &context, OperationVariables &variables,
                 const std::function<bool(HWND window)> &start) {
    PumpState state{&context.library, &variables};
    std::string failure;
    HWND window = OpenMessageWindow(kWindowClass, WindowProc, &state, failure);
    if (window == nullptr) return HostError(ExitFailure, failure);

    int exitCode = ExitOk;
    if (start(window)) {
        ULONGLONG deadline = GetTickCount64() + ULONGLONG{context.timeoutSeconds} * 1000;
        while (!state.finished) {
            ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                exitCode =
                    HostError(ExitTimeout, "no final message within " + std::to_string(context.timeoutSeconds) + " s",
                              "the service may be slow or unreachable: try again, or wait longer with "
                              "--timeout SECONDS");
                break;
            }
            MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE);
            DrainMessages();
        }
        if (state.finished) {
            // Opened before KillDropBoxThread lets go of the library's handle,
            // which keeps the id valid until then.
            HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, state.finalThreadId);
            // Only after the window procedure returned: the worker has let go of the record.
            const int released = context.library.killDropBoxThread(state.finalThreadId);
            if (JsonOutput())
                Event("result")
                    .Text("export", "KillDropBoxThread")
                    .Number("return", released)
                    .Unsigned("thread_id", state.finalThreadId)
                    .Emit();
            else if (released != 1)
                Tell("warning: KillDropBoxThread(" + std::to_string(state.finalThreadId) + ") returned " +
                     std::to_string(released) + ": the library had no record of the worker");
            if (worker != nullptr) {
                if (!WaitForWorkerEnd(worker))
                    exitCode = HostError(ExitTimeout, "the worker has not ended " + std::to_string(kWorkerEndSeconds) +
                                                          " s after its final message");
                CloseHandle(worker);
            }
        }
    }
    DestroyWindow(window);
    return exitCode;
}

// Under Wine the process exit interrupts a thread that is ending on its own
// (the first thread to end loads libgcc_s under the dynamic loader's lock): the
// thread dies holding that lock, the main thread's exit() waits for it forever,
// and the wineserver kills the process half a second later. A worker sends
// nothing after its final message, so this wait cannot block it.
bool WaitForWorkerEnd(HANDLE worker) {
    ULONGLONG deadline = GetTickCount64() + ULONGLONG{kWorkerEndSeconds} * 1000;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &worker, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                                  MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) return true;
        if (woken == WAIT_FAILED) return false;
        DrainMessages();
    }
}

std::vector<DWORD> ThreadsOfThisProcess() {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

std::vector<HANDLE> OpenThreadsStartedSince(const std::vector<DWORD> &before) {
    std::vector<HANDLE> started;
    for (DWORD id : ThreadsOfThisProcess())
        if (std::find(before.begin(), before.end(), id) == before.end())
            if (HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id)) started.push_back(thread);
    return started;
}

bool WaitForWorkersEnd(std::vector<HANDLE> &workers) {
    bool ended = true;
    for (HANDLE worker : workers) {
        ended = WaitForWorkerEnd(worker) && ended;
        CloseHandle(worker);
    }
    workers.clear();
    return ended;
}
