// ChunkedUploadWorker with its two requests, SendUploadChunk and CommitChunkedUpload, each a
// member of the exchange core's family.
#include "upload/upload_win32.h"

#include <cstring>
#include <cwchar>
#include <string_view>
#include <utility>

#include "account/creds_store_win32.h"
#include "download/service_date_win32.h"
#include "frame/faults_win32.h"
#include "frame/host_message_win32.h"
#include "frame/jobs_win32.h"
#include "frame/text_win32.h"
#include "frame/transfer_messages_win32.h"
#include "request/encoding_win32.h"
#include "transport/exchange_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_calls_win32.h"
#include "transport/service_profiles_win32.h"
#include "upload/revision_win32.h"

namespace {

// The upload's own failure codes (code class 2). 5005 (no memory for a copy
// of the offset) is never sent: the offset is read where it stands.
enum UploadCode : DWORD {
    kNoProxySetting = 5001,
    kNoAnswerBuffer = 5002,
    kErrorAnswer = 5003,
    kNoUploadIdCopy = 5004,
    kNoMessageMemory = 5006,
    kFileChanged = 5007,
    kAnswersOutOfBounds = 5008,
    kUnprovenAnswer = 5009,
};

// Answers are kept up to this size less one byte, which stays a terminator.
constexpr DWORD kAnswerCapacity = 16384;
// The piece an answer is read in (on the worker's stack).
constexpr DWORD kAnswerPiece = 4096;
// Passes in a row after which an offset that does not advance ends the upload:
// a service that keeps taking nothing must not be sent the same chunk forever.
constexpr int kStalledPassLimit = 3;

// The job of an upload: the host's window, result and cancel bytes, and the
// library's copies of the encoded remote path and the local path. An upload
// that goes on with a session the service already holds (tests only) starts
// at startOffset with that session's id.
struct UploadJob {
    HWND window = nullptr;
    BYTE *result = nullptr;
    LibBlock<wchar_t> remotePath;
    LibBlock<wchar_t> localPath;
    BYTE *cancel = nullptr;
    LibBlock<wchar_t> uploadId;
    int64_t startOffset = 0;
};

// Reads the whole answer of a 200 and keeps its first kAnswerCapacity - 1
// bytes (the keys the upload looks for come first) as text in *text, cut at a
// zero byte. The answer counts only when its length is proven (a
// Content-Length, and all of it): one cut short, framed without a length or
// stalled could name an offset, an upload id or a time it never finished
// saying. False with *failure the reason: no buffer (5002), a length not
// proven (5009), a read that failed (its system error, class 3).
bool ReadAnswer(Exchange &exchange, DWORD status, LibBlock<char> *buffer, std::string_view *text,
                TransferCode *failure) {
    *buffer = LibBlock<char>(LibAllocArray<char>(kAnswerCapacity));
    if (!*buffer) {
        *failure = {kNoAnswerBuffer, kClassOperation};
        return false;
    }
    CappedBuffer capped = {buffer->get(), kAnswerCapacity - 1, 0};
    char piece[kAnswerPiece];
    if (ReadProvenReply(exchange, status, piece, sizeof piece, AppendCapped, &capped) != ReadEnd::Complete) {
        *failure = exchange.failedStep == ExchangeStep::Length ? TransferCode{kUnprovenAnswer, kClassOperation}
                                                               : FailureCode(exchange, kNoProxySetting, status);
        return false;
    }
    *text = std::string_view(buffer->get(), strnlen(buffer->get(), capped.used));
    return true;
}

// The chunk request without its messages: true with *uploadId and *offset
// updated from a 200 answer, false with the failure in *failure.
bool PutChunk(const wchar_t *url, const ProxySetting *proxy, LibBlock<wchar_t> *uploadId, int64_t *offset,
              const void *data, DWORD length, TransferCode *failure) {
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kChunkProfile, {url, nullptr, data, length, proxy}, exchange, &status)) {
        *failure = FailureCode(exchange, kNoProxySetting, status);
        return false;
    }
    if (status != HTTP_STATUS_OK) {
        *failure = {status, kClassHttpStatus};
        return false;
    }
    LibBlock<char> answer;
    std::string_view text;
    if (!ReadAnswer(exchange, status, &answer, &text, failure)) return false;
    if (ContainsErrorMarker(text)) {
        *failure = {kErrorAnswer, kClassOperation};
        return false;
    }
    std::string_view id;
    if (FindUploadId(text, &id)) {
        // Kept as it goes into the next request's URL: the id's bytes escaped.
        LibBlock<wchar_t> copy = EncodeBytesForUrl(id);
        if (!copy) {
            *failure = {kNoUploadIdCopy, kClassOperation};
            return false;
        }
        *uploadId = std::move(copy);
    }
    int64_t answered = 0;
    if (FindOffset(text, &answered)) *offset = answered;
    return true;
}

// The file's size, last-write time and change time as they are now. False
// when neither the size nor a last-write time can be read.
bool ReadFileState(HANDLE file, FileState *state) {
    *state = {};
    LARGE_INTEGER bytes = {};
    if (!sys::GetFileSizeEx(file, &bytes)) return false;
    state->size = bytes.QuadPart;
    FILE_BASIC_INFO basic = {};
    if (sys::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        state->lastWrite = basic.LastWriteTime.QuadPart;
        state->changed = basic.ChangeTime.QuadPart;
        return true;
    }
    FILETIME lastWrite = {};
    if (!sys::GetFileTime(file, nullptr, nullptr, &lastWrite)) return false;
    state->lastWrite =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(lastWrite.dwHighDateTime) << 32) | lastWrite.dwLowDateTime);
    return true;
}

// True when the file is still as noted; false when it changed, or cannot tell.
// The change times are compared only when both readings have one: a reading
// without it (the file system keeps none, or the query failed that time) says
// nothing about a change, and must not make an unchanged file look changed.
bool FileUnchanged(HANDLE file, const FileState &noted) {
    FileState now;
    return ReadFileState(file, &now) && now.size == noted.size && now.lastWrite == noted.lastWrite &&
           (now.changed == 0 || noted.changed == 0 || now.changed == noted.changed);
}

// The worker's local file: opened for reading, and for setting its time only,
// so that nothing the upload does can change its bytes; shared for reading and
// writing, so that the host may go on saving it. *state: the file as opened.
FileHandle OpenLocalFile(const wchar_t *path, FileState *state) {
    FileHandle file(sys::CreateFileW(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !ReadFileState(file.get(), state)) return {};
    return file;
}

// Reads length bytes at offset of file into buffer. False when the file cannot
// be read there or has become shorter.
bool ReadChunk(HANDLE file, int64_t offset, char *buffer, DWORD length, DWORD *read) {
    LARGE_INTEGER position = {};
    position.QuadPart = offset;
    *read = 0;
    if (!sys::SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return false;
    if (!sys::ReadFile(file, buffer, length, read, nullptr)) return false;
    return *read == length;
}

// Ends an upload whose local file changed under it: kind 24 (5007) tells the
// host why. Returns false for the caller to return.
bool FileChanged(HWND window) {
    (void)SendTransferMessage(window, MsgTransferFailed, 0, kFileChanged, kClassOperation);
    return false;
}

// Ends an upload whose service answers would have it loop or go out of range:
// kind 24 (5008) tells the host why. Returns false for the caller to return.
bool AnswersOutOfBounds(HWND window) {
    (void)SendTransferMessage(window, MsgTransferFailed, 0, kAnswersOutOfBounds, kClassOperation);
    return false;
}

// The chunk requests one upload may make from offset start on a file of size
// bytes: twice its chunks and three more, room for an honest service to ask
// for parts again, and an end for one whose answers never converge.
int64_t ChunkRequestLimit(int64_t start, int64_t size) {
    const int64_t chunks = size > start ? (size - start + kChunkSize - 1) / kChunkSize : 1;
    return 2 * chunks + 3;
}

// Sends the whole file (noted.size bytes, as opened), chunk by chunk, from the
// offset the service last reported. An empty file goes as one empty chunk,
// which opens the upload. True when the service holds every byte; *uploadId
// then names the upload. Answers that would loop (passes that do not advance,
// more requests than ChunkRequestLimit) or report more than this upload sent
// end it with 5008; a chunk that cannot be read because the file changed
// (it became shorter) with 5007.
bool SendChunks(const UploadJob &job, HANDLE file, const FileState &noted, LibBlock<wchar_t> *uploadId) {
    const int64_t size = noted.size;
    AccessCreds creds;
    if (!ReadAccessCreds(&creds)) return false;
    LibBlock<char> chunk(LibAllocArray<char>(kChunkSize));
    if (!chunk) return false;
    // Read once for all chunks: the user's setting does not change within an upload.
    const ProxySetting proxy = QueryProxySetting();
    int64_t offset = job.startOffset;
    // The end of the furthest bytes sent: an honest service never reports more.
    int64_t sentEnd = offset;
    const int64_t requestLimit = ChunkRequestLimit(offset, size);
    int64_t requests = 0;
    int stalled = 0;
    do {
        if (*job.cancel != 0) return false;
        if (requests == requestLimit) return AnswersOutOfBounds(job.window);
        const DWORD length = static_cast<DWORD>(size - offset < kChunkSize ? size - offset : kChunkSize);
        DWORD read = 0;
        if (length != 0 && !ReadChunk(file, offset, chunk.get(), length, &read))
            return FileUnchanged(file, noted) ? false : FileChanged(job.window);
        // The next chunk starts a new upload only at offset 0; later ones need the id.
        if (offset != 0 && !*uploadId) return false;
        wchar_t offsetText[24] = {};
        std::swprintf(offsetText, 24, L"%lld", static_cast<long long>(offset));
        const WipedBlock<wchar_t> url =
            ChunkUrl(offset != 0 ? uploadId->get() : nullptr, offsetText, creds.token.get(), creds.secret.get());
        if (!url) return false;
        const int64_t sent = offset;
        ++requests;
        if (SendUploadChunk(url.get(), &proxy, job.window, uploadId, &offset, chunk.get(), read) != 0) return false;
        if (sent + read > sentEnd) sentEnd = sent + read;
        if (offset < 0 || offset > sentEnd) return AnswersOutOfBounds(job.window);
        stalled = offset > sent ? 0 : stalled + 1;
        if (stalled == kStalledPassLimit) return AnswersOutOfBounds(job.window);
    } while (offset < size);
    return static_cast<bool>(*uploadId);
}

// Looks up the remote revision and commits the upload at it (or as a new file).
// The local file gets the committed time only while it is still as noted.
bool Commit(const UploadJob &job, HANDLE file, const FileState &noted, const LibBlock<wchar_t> &uploadId) {
    LibBlock<char> revision;
    const int lookup = GetRemoteRevision(job.remotePath.get(), &revision);
    if (lookup == kRevisionUnknown) return false;
    LibBlock<wchar_t> wideRevision;
    if (lookup == kRevisionFound) {
        wideRevision = EncodeBytesForUrl(revision.get());
        if (!wideRevision) return false;
    }
    WipedBlock<wchar_t> url;
    {
        AccessCreds creds;
        if (!ReadAccessCreds(&creds)) return false;
        url =
            CommitUrl(job.remotePath.get(), wideRevision.get(), uploadId.get(), creds.token.get(), creds.secret.get());
    }
    return url && CommitChunkedUpload(url.get(), file, &noted) == 0;
}

// Sends the file and commits it. Bytes read while the host saved the file may
// mix two versions: a file that is no longer as it was opened is not
// committed, and kind 24 (5007) tells the host why.
bool Upload(UploadJob &job, HANDLE file, const FileState &noted) {
    LibBlock<wchar_t> uploadId = std::move(job.uploadId);
    if (!SendChunks(job, file, noted, &uploadId)) return false;
    if (!FileUnchanged(file, noted)) return FileChanged(job.window);
    return Commit(job, file, noted, uploadId);
}

DWORD WINAPI ChunkedUploadWorker(LPVOID parameter) {
    JobBlock<UploadJob> job(static_cast<UploadJob *>(parameter));
    bool uploaded = false;
    FileState noted;
    if (const FileHandle file = OpenLocalFile(job->localPath.get(), &noted))
        uploaded = Upload(*job.get(), file.get(), noted);
    BYTE *const result = job->result;
    *result = uploaded ? 1 : 0;
    // The job goes before the final message: once the host has it, the upload holds nothing.
    const HWND window = job->window;
    job.reset();
    SendPayload<ResultPayload>(window, reinterpret_cast<WPARAM>(window), MsgUploadFinished,
                               [&](ResultPayload &payload) { payload.result = result; });
    return 0;
}

} // namespace

int SendUploadChunk(const wchar_t *url, const ProxySetting *proxy, HWND window, LibBlock<wchar_t> *uploadId,
                    int64_t *offset, const void *data, DWORD length) {
    TransferCode failure = {};
    if (PutChunk(url, proxy, uploadId, offset, data, length, &failure)) {
        if (SendTransferMessage(window, MsgTransferProgress, length)) return 0;
        failure = {kNoMessageMemory, kClassOperation};
    }
    // Nothing more can be done when even this payload cannot be had.
    (void)SendTransferMessage(window, MsgTransferFailed, 0, failure.code, failure.codeClass);
    return 1;
}

int CommitChunkedUpload(const wchar_t *url, HANDLE file, const FileState *noted) {
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kCommitProfile, {url}, exchange, &status) || status != HTTP_STATUS_OK) return 1;
    LibBlock<char> answer;
    std::string_view text;
    TransferCode failure = {};
    if (!ReadAnswer(exchange, status, &answer, &text, &failure) || ContainsErrorMarker(text)) return 1;
    // Without a time that parses, the file keeps its own: never a 1970 stamp.
    // A file saved since it was read keeps its own too: the service's time on
    // it would tell a host that compares times that the new version is in step.
    std::string_view clientMtime;
    FILETIME modified = {};
    if (FindClientMtime(text, &clientMtime) && ServiceDateToFILETIME(clientMtime, &modified) &&
        (noted == nullptr || FileUnchanged(file, *noted)))
        sys::SetFileTime(file, nullptr, nullptr, &modified);
    return 0;
}

int StartUpload(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result, BYTE *cancel) {
    return StartUploadFrom(window, remotePath, localPath, result, cancel, nullptr, 0);
}

int StartUploadFrom(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result, BYTE *cancel,
                    const wchar_t *uploadId, int64_t offset) {
    return StartNetworkOperation<UploadJob, ChunkedUploadWorker>(result, [&](UploadJob &job) {
        job.window = window;
        job.result = result;
        job.cancel = cancel;
        job.remotePath = EncodeForUrl(remotePath);
        job.localPath = CopyWideText(localPath);
        job.startOffset = offset;
        // The host's id as the chunk URL carries it, like the ids the service answers.
        if (uploadId != nullptr) job.uploadId = EncodeForUrl(uploadId);
        return job.remotePath && job.localPath && (uploadId == nullptr || job.uploadId);
    });
}
