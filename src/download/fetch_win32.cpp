// RemoteMergeFileWorker and DeleteRemoteWorker: one download or one delete of a file in an
// application folder, each ending with one finishing notice.
#include "download/fetch_win32.h"

#include "account/creds_store_win32.h"
#include "download/download_win32.h"
#include "frame/host_message_win32.h"
#include "frame/jobs_win32.h"
#include "frame/text_win32.h"
#include "request/encoding_win32.h"
#include "transport/exchange_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_calls_win32.h"
#include "transport/service_profiles_win32.h"

namespace {

// The job of a fetch: the host's window, result and cancel bytes, the local
// path and the encoded remote name (library copies), the folder and the mode.
struct MergeFileJob {
    HWND window = nullptr;
    BYTE *result = nullptr;
    LibBlock<wchar_t> localPath;
    LibBlock<wchar_t> name;
    DWORD folderIndex = 0;
    BYTE *cancel = nullptr;
    DWORD mode = 0;
};

// The job of a delete.
struct DeleteJob {
    HWND window = nullptr;
    BYTE *result = nullptr;
    LibBlock<wchar_t> name;
    DWORD folderIndex = 0;
};

// A signed URL of a file call for the linked account, or an empty block when the
// account is not linked or memory runs out.
template <class MakeUrl> WipedBlock<wchar_t> SignedFileUrl(DWORD folderIndex, const wchar_t *name, MakeUrl makeUrl) {
    AccessCreds creds;
    if (!ReadAccessCreds(&creds)) return {};
    return makeUrl(folderIndex, name, creds.token.get(), creds.secret.get());
}

// Sends the ResultPayload of an operation's final message.
bool SendFinished(HWND window, DWORD kind, BYTE *result, bool tagged = true) {
    return SendPayload<ResultPayload>(
        window, reinterpret_cast<WPARAM>(window), kind, [&](ResultPayload &payload) { payload.result = result; },
        tagged);
}

// Each worker releases its job before its final message, so that once the host
// has that message the operation holds nothing.

DWORD WINAPI RemoteMergeFileWorker(LPVOID parameter) {
    JobBlock<MergeFileJob> job(static_cast<MergeFileJob *>(parameter));
    bool downloaded = false;
    if (const WipedBlock<wchar_t> url = SignedFileUrl(job->folderIndex, job->name.get(), FileUrl))
        downloaded = ResilientDownload(url.get(), job->localPath.get(), job->mode, job->window, job->cancel) == 0;
    BYTE *const result = job->result;
    *result = downloaded ? 1 : 0;
    // The tag stays zero while the host's cancel byte is set: the host can tell
    // a fetch it cancelled by the notice alone.
    const bool tagged = *job->cancel == 0;
    const HWND window = job->window;
    const DWORD kind = FetchFinishedKind(job->mode);
    job.reset();
    if (!SendFinished(window, kind, result, tagged)) *result = 0;
    return 0;
}

// The first piece of the answer decides whether the service refused after all.
SinkAnswer RefuseErrorObject(void *firstPiece, const char *bytes, DWORD count) {
    bool &first = *static_cast<bool *>(firstPiece);
    if (first && ContainsErrorMarker(std::string_view(bytes, count))) return {SinkVerdict::Fail};
    first = false;
    return {};
}

DWORD WINAPI DeleteRemoteWorker(LPVOID parameter) {
    JobBlock<DeleteJob> job(static_cast<DeleteJob *>(parameter));
    bool deleted = false;
    if (const WipedBlock<wchar_t> url = SignedFileUrl(job->folderIndex, job->name.get(), DeleteUrl))
        deleted = ResilientPost(url.get()) == 0;
    BYTE *const result = job->result;
    *result = deleted ? 1 : 0;
    const HWND window = job->window;
    job.reset();
    (void)SendFinished(window, MsgDeleteFinished, result);
    return 0;
}

} // namespace

// A deletion counts only once its answer is proven whole (its Content-Length,
// all of it): a 200 cut short, or framed without a length, cannot be told from
// one that a proxy or the network broke off, and is reported as not deleted.
int ResilientPost(const wchar_t *url) {
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kDeleteProfile, {url}, exchange, &status) || status != HTTP_STATUS_OK) return 1;
    constexpr DWORD kPieceSize = 16384;
    LibBlock<char> piece(LibAllocArray<char>(kPieceSize));
    if (!piece) return 1;
    bool firstPiece = true;
    return ReadProvenReply(exchange, status, piece.get(), kPieceSize, RefuseErrorObject, &firstPiece) ==
                   ReadEnd::Complete
               ? 0
               : 1;
}

int StartMergeFileFetch(HWND window, const wchar_t *remoteName, DWORD folderIndex, const wchar_t *localPath,
                        BYTE *result, BYTE *cancel, DWORD mode) {
    if (RemoteFolderName(folderIndex) == nullptr) {
        *result = 0;
        return 1;
    }
    return StartNetworkOperation<MergeFileJob, RemoteMergeFileWorker>(result, [&](MergeFileJob &job) {
        job.window = window;
        job.result = result;
        job.folderIndex = folderIndex;
        job.cancel = cancel;
        job.mode = mode;
        job.name = EncodeForUrl(remoteName);
        job.localPath = CopyWideText(localPath);
        return job.name && job.localPath;
    });
}

int StartRemoteDelete(HWND window, const wchar_t *remoteName, DWORD folderIndex, BYTE *result) {
    if (RemoteFolderName(folderIndex) == nullptr) {
        *result = 0;
        return 1;
    }
    return StartNetworkOperation<DeleteJob, DeleteRemoteWorker>(result, [&](DeleteJob &job) {
        job.window = window;
        job.result = result;
        job.folderIndex = folderIndex;
        job.name = EncodeForUrl(remoteName);
        return static_cast<bool>(job.name);
    });
}
