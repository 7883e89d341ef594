// The application's three folders on the service, created where missing.
#include "account/account_win32.h"

#include "account/creds_store_win32.h"
#include "transport/executor_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_calls_win32.h"

namespace {

// Asks the service to create one folder. True when it was created (200 with
// the folder's metadata, not the service's error object) or already exists
// (403: the executor reports that as a failed call, keeping the status); any
// other outcome is false.
bool EnsureFolder(const wchar_t *folder, const AccessCreds &creds) {
    const WipedBlock<wchar_t> url = CreateFolderUrl(folder, creds.token.get(), creds.secret.get());
    if (!url) return false;
    LibBlock<char> body;
    DWORD status = 0;
    const bool completed = ExecuteRequest(url.get(), &body, &status);
    if (!completed) return status == 403;
    return status == 200 && !BeginsWithErrorObject(body.get());
}

} // namespace

int CreateAppFolders() {
    AccessCreds creds;
    if (!ReadAccessCreds(&creds)) return 1;
    for (DWORD index = 0; index < kRemoteFolderCount; ++index)
        if (!EnsureFolder(RemoteFolderName(index), creds)) return 1;
    return 0;
}
