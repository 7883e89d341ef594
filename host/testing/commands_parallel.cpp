// A command that keeps many real operations alive at once, to watch the worker-thread table: parallel-rm.
#include "../commands.h"
#include "../message_pump.h"
#include "../output.h"

#include <vector>

namespace {

int RunParallelRm(CommandContext &context);

const Command kCommands[] = {
    {L"parallel-rm", "COUNT INDEX NAME", RunParallelRm},
};

const wchar_t kWindowClass[] = L"VelmoraSyncParallelWindow";

// The operations started so far: each has a result byte of its own, which is
// how a final message (whose payload points at it) is matched to its start.
struct Operations {
    const Library *library;
    std::vector<BYTE> results;    // sized once: the library keeps pointers into it
    std::vector<DWORD> threadIds; // by start index; 0 until its final message came
    std::vector<HANDLE> workers;  // opened at their final message, waited for at the end
    size_t finished = 0;
};

// Takes one final message (kind 19): notes the thread id of the operation whose
// result byte it points at, then gives every block back.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *operations = reinterpret_cast<Operations *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != HOST_MESSAGE || operations == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    auto *record = reinterpret_cast<HostRecord *>(lParam);
    if (record == nullptr) return 0;
    const Library &library = *operations->library;
    if (HostMessage *hostMessage = record->message) {
        auto *payload = static_cast<ResultPayload *>(hostMessage->payload);
        if (hostMessage->kind == MsgDeleteFinished && payload != nullptr) {
            const size_t index = static_cast<size_t>(payload->result - operations->results.data());
            if (index < operations->threadIds.size() && operations->threadIds[index] == 0) {
                operations->threadIds[index] = record->threadId;
                // Before its release, which lets go of the handle that keeps the id valid.
                if (HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, record->threadId))
                    operations->workers.push_back(worker);
                ++operations->finished;
            }
        }
        if (payload != nullptr) library.freeDropBoxMemory(payload);
        library.freeDropBoxMemory(hostMessage);
    }
    library.freeDropBoxMemory(record);
    return 0;
}

// Pumps until `count` operations have sent their final message, or the time is up.
bool WaitForFinished(Operations &operations, size_t count, ULONGLONG deadline) {
    while (operations.finished < count) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return true;
}

// parallel-rm COUNT INDEX NAME: starts COUNT deletes at once (the test delays
// their replies, so all are alive together) and waits for every final message.
// Then releases the first, starts one more delete (which takes the freed slot
// when the table was full), releases it, and releases the others in start order;
// then waits for every worker to end.
int RunParallelRm(CommandContext &context) {
    unsigned long long requested = 0;
    unsigned long long index = 0;
    if (context.args.size() != 3 || !ParseUnsigned(context.args[0], requested) || requested == 0 || requested > 100 ||
        !ParseUnsigned(context.args[1], index) || index > 2)
        return UsageError(kCommands[0]);
    const Library &library = context.library;
    if (!HasExport(library.bvDeleteRemote, "BVDeleteRemote")) return ExitFailure;
    const size_t count = static_cast<size_t>(requested);

    Operations operations{&library, std::vector<BYTE>(count + 1, 0xFF), std::vector<DWORD>(count + 1, 0), {}};
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                                  &operations);
    if (window == nullptr) return HostError(ExitFailure, "cannot create the message window");

    auto start = [&](size_t i) {
        return library.bvDeleteRemote(window, context.args[2], static_cast<DWORD>(index), &operations.results[i]);
    };
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG{context.timeoutSeconds} * 1000;
    std::vector<long long> starts;
    for (size_t i = 0; i < count; ++i) starts.push_back(start(i));
    if (!WaitForFinished(operations, count, deadline)) return HostError(ExitTimeout, "not every delete finished");

    const int firstRelease = library.killDropBoxThread(operations.threadIds[0]);
    const int extraStart = start(count);
    if (!WaitForFinished(operations, count + 1, deadline)) return HostError(ExitTimeout, "the extra delete hung");
    const int extraRelease = library.killDropBoxThread(operations.threadIds[count]);
    std::vector<long long> laterReleases;
    for (size_t i = 1; i < count; ++i) laterReleases.push_back(library.killDropBoxThread(operations.threadIds[i]));
    const bool workersEnded = WaitForWorkersEnd(operations.workers);
    DestroyWindow(window);
    if (!workersEnded) return HostError(ExitTimeout, "a delete's worker has not ended");

    Event("result")
        .Text("export", "BVDeleteRemote")
        .NumberList("starts", starts)
        .Number("first_release", firstRelease)
        .Number("extra_start", extraStart)
        .Number("extra_release", extraRelease)
        .NumberList("later_releases", laterReleases)
        .Emit();
    return ExitOk;
}

} // namespace

std::span<const Command> ParallelCommands() { return kCommands; }
