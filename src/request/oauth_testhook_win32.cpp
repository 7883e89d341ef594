// Test DLL only: nonces made on several threads at once through the library's
// own MakeTimestamp and MakeNonce, as every signed query makes them, so tests
// can look for repeats (with the clock held still, for one).
#include "request/oauth_win32.h"

#include <atomic>
#include <cwchar>

namespace {

constexpr DWORD kMaxNonceThreads = 64; // what one WaitForMultipleObjects takes

struct NonceRun {
    HANDLE start; // manual-reset: every thread begins at once
    DWORD perThread;
    DWORD slot; // wide characters per nonce slot
    wchar_t *nonces;
    std::atomic<DWORD> made;
};

struct NonceThread {
    NonceRun *run;
    DWORD first; // the thread's first slot
};

// Copies the nonce into slot index when it fits with its terminator.
bool PutNonce(const NonceRun &run, DWORD index, const wchar_t *nonce) {
    const size_t length = std::wcslen(nonce);
    if (length + 1 > run.slot) return false;
    std::wmemcpy(run.nonces + static_cast<size_t>(index) * run.slot, nonce, length + 1);
    return true;
}

DWORD WINAPI MakeNoncesWorker(LPVOID parameter) {
    const NonceThread &thread = *static_cast<NonceThread *>(parameter);
    NonceRun &run = *thread.run;
    WaitForSingleObject(run.start, INFINITE);
    for (DWORD i = 0; i < run.perThread; ++i) {
        const DWORD index = thread.first + i;
        const LibBlock<wchar_t> timestamp = MakeTimestamp();
        const LibBlock<wchar_t> nonce = MakeNonce();
        if (timestamp && nonce && PutNonce(run, index, nonce.get())) run.made.fetch_add(1);
    }
    return 0;
}

} // namespace

// Starts threads threads (at most 64) that each make perThread timestamps and
// nonces, a timestamp then a nonce per turn, once all have started. Slot i of
// nonces (slot wide characters each, threads * perThread slots, thread t's from
// t * perThread on) receives the i-th nonce; a slot whose turn failed or whose
// nonce did not fit is left as it was. Returns how many nonces were stored, or
// 0 when the arguments are unusable or a thread cannot start.
extern "C" __declspec(dllexport) DWORD
    __cdecl VelmoraDebugMakeNonces(DWORD threads, DWORD perThread, DWORD slot, wchar_t *nonces) {
    if (threads == 0 || threads > kMaxNonceThreads || nonces == nullptr || slot == 0) return 0;
    NonceRun run{CreateEventW(nullptr, TRUE, FALSE, nullptr), perThread, slot, nonces, {0}};
    if (run.start == nullptr) return 0;
    NonceThread workers[kMaxNonceThreads] = {};
    HANDLE handles[kMaxNonceThreads] = {};
    DWORD started = 0;
    for (; started < threads; ++started) {
        workers[started] = NonceThread{&run, started * perThread};
        handles[started] = CreateThread(nullptr, 0, MakeNoncesWorker, &workers[started], 0, nullptr);
        if (handles[started] == nullptr) break;
    }
    SetEvent(run.start);
    if (started > 0) WaitForMultipleObjects(started, handles, TRUE, INFINITE);
    for (DWORD i = 0; i < started; ++i) CloseHandle(handles[i]);
    CloseHandle(run.start);
    return started == threads ? run.made.load() : 0;
}
