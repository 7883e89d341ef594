// The application's three folders on the service, created where missing.
#include <windows.h>

#include "frame/heap_win32.h"
#include "transport/executor_win32.h"
#include "transport/service_calls_win32.h"
#include "velmora_sync.h"

namespace {

// The folders in the order they are made, as their names stand in URLs.
constexpr const wchar_t *kAppFolders[] = {L"Highlights", L"User%20Notes", L"User%20Tools"};

// Asks the service to create one folder. True when it was created (200) or
// already exists (403: the executor reports that as a failed call, keeping the
// status); any other outcome is false.
bool EnsureFolder(const wchar_t *encodedFolder, const wchar_t *token, const wchar_t *secret) {
    WipedBlock<wchar_t> url(CreateFolderUrl(encodedFolder, token, secret));
    if (!url) return false;
    LibBlock<char> body;
    DWORD status = 0;
    bool completed = ExecuteRequest(url.get(), body.put(), &status);
    return (completed && status == 200) || (!completed && status == 403);
}

} // namespace

// Runs on the caller's thread. Returns 0 when all three folders exist
// afterwards; 1 without stored credentials (no request then) or when a folder
// could be neither created nor found (later folders are not tried; those made
// so far stay).
extern "C" VELMORA_API int VELMORA_CALL DBFolderInitialization(void) {
    WipedBlock<wchar_t> token;
    WipedBlock<wchar_t> secret;
    if (GetAccessCreds(token.put(), secret.put()) != 0) return 1;
    for (const wchar_t *folder : kAppFolders)
        if (!EnsureFolder(folder, token.get(), secret.get())) return 1;
    return 0;
}
