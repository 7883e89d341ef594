// The library's exports: thin shims that check the host's arguments and call the subsystems.
// Nothing inside the library calls these; they exist only for the host.
#include <windows.h>

#include "account/account_win32.h"
#include "account/creds_store_win32.h"
#include "account/link_win32.h"
#include "download/fetch_win32.h"
#include "download/service_date.h"
#include "frame/heap_win32.h"
#include "frame/host_info_win32.h"
#include "frame/threads_win32.h"
#include "listing/listing_scan.h"
#include "listing/metadata_win32.h"
#include "transport/proxy_win32.h"
#include "upload/upload_win32.h"
#include "velmora_sync.h"

#include <cstring>
#include <cwchar>

namespace {

// A zero-terminated copy of text in a block of the process heap (the host
// releases it with HeapFree), or null when it cannot be allocated (counted).
wchar_t *CopyToProcessHeap(const wchar_t *text) {
    const size_t length = std::wcslen(text);
    auto *copy = static_cast<wchar_t *>(ProcessHeapAlloc((length + 1) * sizeof(wchar_t)));
    if (copy != nullptr) std::memcpy(copy, text, length * sizeof(wchar_t));
    return copy;
}

// A starting export that refuses its arguments: no worker, result byte 0.
int Refused(BYTE *result) {
    *result = 0;
    return 1;
}

} // namespace

// Nothing happens at load or unload: the heap is made on first use, and workers
// still running at unload are the host's to wait for.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// ---- Housekeeping ----

extern "C" VELMORA_API void VELMORA_CALL SetInfo(const char *text) {
    if (text != nullptr) StoreHostInfo(text);
}

// Every block is wiped before it goes back to the heap: some carry secrets
// (credentials, request token secrets), and the blocks the host gets are small.
extern "C" VELMORA_API int VELMORA_CALL FreeDropBoxMemory(void *block) {
    if (block == nullptr) return -1;
    LibWipeAndFree(block);
    return 1;
}

extern "C" VELMORA_API int VELMORA_CALL KillDropBoxThread(DWORD threadId) {
    if (threadId == 0) return -1;
    return ForgetThread(threadId);
}

// ---- Small services ----

// Hands out process-heap copies of the host and of the path with its query (null
// when the URL has none), which the caller releases with HeapFree; or returns
// the error, writing neither out-value.
extern "C" VELMORA_API DWORD VELMORA_CALL CrackHostAndPath(const wchar_t *url, wchar_t **host, wchar_t **path) {
    if (url == nullptr || host == nullptr || path == nullptr) return ERROR_INVALID_PARAMETER;
    UrlParts parts;
    const DWORD error = SplitUrl(url, &parts);
    if (error != 0) return error;
    wchar_t *hostCopy = CopyToProcessHeap(parts.host.get());
    wchar_t *pathCopy = parts.path ? CopyToProcessHeap(parts.path.get()) : nullptr;
    if (hostCopy == nullptr || (parts.path && pathCopy == nullptr)) {
        if (hostCopy != nullptr) HeapFree(GetProcessHeap(), 0, hostCopy);
        if (pathCopy != nullptr) HeapFree(GetProcessHeap(), 0, pathCopy);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *host = hostCopy;
    *path = pathCopy;
    return 0;
}

extern "C" VELMORA_API void VELMORA_CALL GetProxyInfo(DWORD *proxyType, wchar_t **proxyServer) {
    if (proxyServer != nullptr) *proxyServer = nullptr;
    if (proxyType == nullptr) return;
    ProxySetting setting = QueryProxySetting();
    *proxyType = setting.type;
    if (proxyServer != nullptr) *proxyServer = setting.server.release();
}

// The host cannot tell a failed parse from 1970-01-01 00:00:00 UTC; the
// library's own callers use ParseServiceDate, which can.
extern "C" VELMORA_API ULONGLONG VELMORA_CALL ConvertToFILETIME(const char *serviceDate) {
    uint64_t value = kFiletimeOf1970;
    if (serviceDate == nullptr || !ParseServiceDate(serviceDate, &value)) return kFiletimeOf1970;
    return value;
}

// ---- Account ----

extern "C" VELMORA_API int VELMORA_CALL GetAccessCreds(wchar_t **token, wchar_t **secret) {
    if (token != nullptr) *token = nullptr;
    if (secret != nullptr) *secret = nullptr;
    if (token == nullptr || secret == nullptr) return -1;
    AccessCreds creds;
    if (!ReadAccessCreds(&creds)) return -1;
    *token = creds.token.release();
    *secret = creds.secret.release();
    return 0;
}

extern "C" VELMORA_API int VELMORA_CALL RequestAccessToken(HWND window, wchar_t **requestToken,
                                                           wchar_t **requestSecret) {
    if (requestToken == nullptr || requestSecret == nullptr) return 1;
    return StartLink(window, requestToken, requestSecret);
}

extern "C" VELMORA_API int VELMORA_CALL CheckForAccessTokenResponse(const wchar_t *requestToken,
                                                                    const wchar_t *requestSecret) {
    if (requestToken == nullptr || requestSecret == nullptr) return 1;
    return TradeRequestToken(requestToken, requestSecret);
}

extern "C" VELMORA_API int VELMORA_CALL DBFolderInitialization(void) { return CreateAppFolders(); }

// ---- Listing ----

extern "C" VELMORA_API int VELMORA_CALL getDBMetadataBufferSize(HWND window, BYTE *result, const wchar_t *folderPath,
                                                                DWORD *size) {
    if (result == nullptr) return 1;
    if (folderPath == nullptr || size == nullptr) return Refused(result);
    return StartMetadataSize(window, result, folderPath, size);
}

extern "C" VELMORA_API int VELMORA_CALL getDropboxMetadata(HWND window, BYTE *result, const wchar_t *folderPath,
                                                           DWORD expectedLength) {
    if (result == nullptr) return 1;
    if (folderPath == nullptr) return Refused(result);
    return StartMetadataListing(window, result, folderPath, expectedLength);
}

extern "C" VELMORA_API int VELMORA_CALL GetNumberOfRemoteFiles(const char *listing) {
    if (listing == nullptr) return 0;
    return static_cast<int>(CountListedFiles(listing));
}

// ---- Transfers ----

extern "C" VELMORA_API int VELMORA_CALL getRemoteMergeFile(HWND window, const wchar_t *remoteName, DWORD folderIndex,
                                                           const wchar_t *localPath, BYTE *result, BYTE *cancel,
                                                           DWORD mode) {
    if (result == nullptr) return 1;
    if (remoteName == nullptr || localPath == nullptr || cancel == nullptr) return Refused(result);
    return StartMergeFileFetch(window, remoteName, folderIndex, localPath, result, cancel, mode);
}

extern "C" VELMORA_API int VELMORA_CALL BVDeleteRemote(HWND window, const wchar_t *remoteName, DWORD folderIndex,
                                                       BYTE *result) {
    if (result == nullptr) return 1;
    if (remoteName == nullptr) return Refused(result);
    return StartRemoteDelete(window, remoteName, folderIndex, result);
}

// The fourth argument is accepted and not used.
extern "C" VELMORA_API int VELMORA_CALL BVUpdateRemoteWithFeedback(HWND window, const wchar_t *remotePath,
                                                                   const wchar_t *localPath, DWORD, BYTE *result,
                                                                   BYTE *cancel) {
    if (result == nullptr) return 1;
    if (remotePath == nullptr || localPath == nullptr || cancel == nullptr) return Refused(result);
    return StartUpload(window, remotePath, localPath, result, cancel);
}
