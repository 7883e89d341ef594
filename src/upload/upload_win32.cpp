// ChunkedUploadWorker with its two requests, SendUploadChunk and CommitChunkedUpload, each a
// member of the exchange core's family.
#include "upload/upload_win32.h"

#include <cstring>
#include <cwchar>
#include <string_view>
#include <utility>

#include "account/creds_store_win32.h"
#include "download/service_date_win32.h"
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

// The chunk sender's own failure codes (code class 2).
enum ChunkCode : DWORD {
    kNoProxySetting = 5001,
    kNoAnswerBuffer = 5002,
    kErrorAnswer = 5003,
    kNoUploadIdCopy = 5004,
    kNoMessageMemory = 5006,
};

// Answers are read once, into a buffer of this size with room for a terminator.
constexpr DWORD kAnswerCapacity = 16384;
// Passes in a row after which an offset that does not advance ends the upload:
// a service that keeps taking nothing must not be sent the same chunk forever.
constexpr int kStalledPassLimit = 3;

// The job of an upload: the host's window, result and cancel bytes, and the
// library's copies of the encoded remote path and the local path.
struct UploadJob {
    HWND window = nullptr;
    BYTE *result = nullptr;
    LibBlock<wchar_t> remotePath;
    LibBlock<wchar_t> localPath;
    BYTE *cancel = nullptr;
};

// Notes the length of the first piece of an answer and stops: the piece is
// already in the buffer it was read into.
SinkAnswer KeepFirstPiece(void *length, const char *, DWORD count) {
    *static_cast<DWORD *>(length) = count;
    return {SinkVerdict::Stop};
}

// The first piece of a 200 answer (one read) as text in *buffer: empty when the
// read failed or gave nothing, and cut at a zero byte. False when the buffer
// cannot be allocated.
bool ReadFirstPiece(Exchange &exchange, LibBlock<char> *buffer, std::string_view *text) {
    *buffer = LibBlock<char>(LibAllocArray<char>(kAnswerCapacity));
    if (!*buffer) return false;
    DWORD length = 0;
    (void)ReadReply(exchange, buffer->get(), kAnswerCapacity - 1, KeepFirstPiece, &length);
    *text = std::string_view(buffer->get(), strnlen(buffer->get(), length));
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
    if (!ReadFirstPiece(exchange, &answer, &text)) {
        *failure = {kNoAnswerBuffer, kClassOperation};
        return false;
    }
    if (ContainsErrorMarker(text)) {
        *failure = {kErrorAnswer, kClassOperation};
        return false;
    }
    std::string_view id;
    if (FindUploadId(text, &id)) {
        LibBlock<wchar_t> copy = WidenText(id);
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

// The worker's local file: opened for reading, and for setting its time only,
// so that nothing the upload does can change its bytes.
FileHandle OpenLocalFile(const wchar_t *path, int64_t *size) {
    FileHandle file(CreateFileW(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER bytes = {};
    if (!file || !GetFileSizeEx(file.get(), &bytes)) return {};
    *size = bytes.QuadPart;
    return file;
}

// Reads length bytes at offset of file into buffer. False when the file cannot
// be read there or has become shorter.
bool ReadChunk(HANDLE file, int64_t offset, char *buffer, DWORD length, DWORD *read) {
    LARGE_INTEGER position = {};
    position.QuadPart = offset;
    *read = 0;
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return false;
    if (!ReadFile(file, buffer, length, read, nullptr)) return false;
    return *read == length;
}

// Sends the whole file, chunk by chunk, from the offset the service last
// reported. An empty file goes as one empty chunk, which opens the upload.
// True when the service holds every byte; *uploadId then names the upload.
bool SendChunks(const UploadJob &job, HANDLE file, int64_t size, LibBlock<wchar_t> *uploadId) {
    AccessCreds creds;
    if (!ReadAccessCreds(&creds)) return false;
    LibBlock<char> chunk(LibAllocArray<char>(kChunkSize));
    if (!chunk) return false;
    // Read once for all chunks: the user's setting does not change within an upload.
    const ProxySetting proxy = QueryProxySetting();
    int64_t offset = 0;
    int stalled = 0;
    do {
        if (*job.cancel != 0) return false;
        const DWORD length = static_cast<DWORD>(size - offset < kChunkSize ? size - offset : kChunkSize);
        DWORD read = 0;
        if (length != 0 && !ReadChunk(file, offset, chunk.get(), length, &read)) return false;
        // The next chunk starts a new upload only at offset 0; later ones need the id.
        if (offset != 0 && !*uploadId) return false;
        wchar_t offsetText[24] = {};
        std::swprintf(offsetText, 24, L"%lld", static_cast<long long>(offset));
        const WipedBlock<wchar_t> url =
            ChunkUrl(offset != 0 ? uploadId->get() : nullptr, offsetText, creds.token.get(), creds.secret.get());
        if (!url) return false;
        const int64_t sent = offset;
        if (SendUploadChunk(url.get(), &proxy, job.window, uploadId, &offset, chunk.get(), read) != 0) return false;
        if (offset < 0 || offset > size) return false;
        stalled = offset > sent ? 0 : stalled + 1;
        if (stalled == kStalledPassLimit) return false;
    } while (offset < size);
    return static_cast<bool>(*uploadId);
}

// Looks up the remote revision and commits the upload at it (or as a new file).
bool Commit(const UploadJob &job, HANDLE file, const LibBlock<wchar_t> &uploadId) {
    LibBlock<char> revision;
    const int lookup = GetRemoteRevision(job.remotePath.get(), &revision);
    if (lookup == kRevisionUnknown) return false;
    LibBlock<wchar_t> wideRevision;
    if (lookup == kRevisionFound) {
        wideRevision = WidenText(revision.get());
        if (!wideRevision) return false;
    }
    WipedBlock<wchar_t> url;
    {
        AccessCreds creds;
        if (!ReadAccessCreds(&creds)) return false;
        url =
            CommitUrl(job.remotePath.get(), wideRevision.get(), uploadId.get(), creds.token.get(), creds.secret.get());
    }
    return url && CommitChunkedUpload(url.get(), file) == 0;
}

DWORD WINAPI ChunkedUploadWorker(LPVOID parameter) {
    JobBlock<UploadJob> job(static_cast<UploadJob *>(parameter));
    bool uploaded = false;
    int64_t size = 0;
    if (const FileHandle file = OpenLocalFile(job->localPath.get(), &size)) {
        LibBlock<wchar_t> uploadId;
        uploaded = SendChunks(*job.get(), file.get(), size, &uploadId) && Commit(*job.get(), file.get(), uploadId);
    }
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

int CommitChunkedUpload(const wchar_t *url, HANDLE file) {
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kCommitProfile, {url}, exchange, &status) || status != HTTP_STATUS_OK) return 1;
    LibBlock<char> answer;
    std::string_view text;
    if (!ReadFirstPiece(exchange, &answer, &text) || ContainsErrorMarker(text)) return 1;
    // Without a time that parses, the file keeps its own: never a 1970 stamp.
    std::string_view clientMtime;
    FILETIME modified = {};
    if (FindClientMtime(text, &clientMtime) && ServiceDateToFILETIME(clientMtime, &modified))
        SetFileTime(file, nullptr, nullptr, &modified);
    return 0;
}

int StartUpload(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result, BYTE *cancel) {
    return StartNetworkOperation<UploadJob, ChunkedUploadWorker>(result, [&](UploadJob &job) {
        job.window = window;
        job.result = result;
        job.cancel = cancel;
        job.remotePath = EncodeForUrl(remotePath);
        job.localPath = CopyWideText(localPath);
        return job.remotePath && job.localPath;
    });
}
