// ResilientDownload: one GET through the exchange core, streamed into a temporary file that
// replaces the target only when the whole body is there.
#include "download/download_win32.h"

#include <cwchar>
#include <string_view>
#include <utility>

#include "download/service_date_win32.h"
#include "frame/text_win32.h"
#include "frame/transfer_messages_win32.h"
#include "transport/exchange_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_profiles_win32.h"

namespace {

// The download's own failure codes (code class 2).
enum DownloadCode : DWORD {
    kNoProxySetting = 4001,
    kNoHeaderBuffer = 4002,
    kStatusNotOk = 4003,
    kNoPieceBuffer = 4006,
    kNoMessageMemory = 4007,
    kCancelled = 4008,
    kErrorObject = 4009,
    kShortBody = 4010,
};

constexpr DWORD kPieceSize = 16384;
constexpr DWORD kHeaderCapacity = 16384;
// The service names the file's metadata (with its modification time) in this header.
constexpr std::string_view kMetadataHeader = "x-dropbox-metadata";
// What the temporary file's name adds to the target's.
constexpr wchar_t kPartSuffix[] = L".velmora-part-";

// The temporary file a body is written into, beside its target. Removed when
// it goes, unless MoveIntoPlace made it the target.
struct PartFile {
    LibBlock<wchar_t> path;
    FileHandle file;

    PartFile() = default;
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;
    ~PartFile() {
        if (!path) return;
        file.reset();
        DeleteFileW(path.get());
    }
};

// Creates the temporary file for target: the target's name with kPartSuffix and
// this thread's id, so concurrent downloads of one target never share it. False
// with the system error.
bool CreatePartFile(const wchar_t *target, PartFile &part) {
    wchar_t thread[16] = {};
    std::swprintf(thread, 16, L"%lx", GetCurrentThreadId());
    LibBlock<wchar_t> path(JoinWideText({target, kPartSuffix, thread}).release());
    if (!path) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    part.file.reset(CreateFileW(path.get(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part.file) return false;
    part.path = std::move(path);
    return true;
}

// Makes the complete temporary file the target: its bytes flushed to disk and
// its last-write time set first, so the target is never seen half-written. A
// time that cannot be set leaves the file's own time. False with the system error.
bool MoveIntoPlace(PartFile &part, const wchar_t *target, const FILETIME *modified) {
    if (modified != nullptr) SetFileTime(part.file.get(), nullptr, nullptr, modified);
    if (!FlushFileBuffers(part.file.get())) return false;
    part.file.reset();
    if (!MoveFileExW(part.path.get(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
    part.path.reset();
    return true;
}

// The file's modification time, from "client_mtime" in the metadata header.
// False when the header, the key or a date that parses is missing: the file
// then keeps the time it was written at.
bool ModificationTime(std::string_view headers, FILETIME *modified) {
    std::string_view metadata;
    std::string_view clientMtime;
    return FindHeaderValue(headers, kMetadataHeader, &metadata) && metadata.starts_with('{') &&
           FindClientMtime(metadata, &clientMtime) && ServiceDateToFILETIME(clientMtime, modified);
}

// Where the body's pieces go, and what the first one is checked for.
struct BodyWriter {
    HANDLE file;
    HWND window;
    bool checkErrorObject; // the reply named no metadata: it may be the service's error object
    bool firstPiece = true;
    ULONGLONG written = 0;
};

SinkAnswer WritePiece(void *context, const char *bytes, DWORD count) {
    BodyWriter &writer = *static_cast<BodyWriter *>(context);
    if (writer.firstPiece) {
        writer.firstPiece = false;
        if (writer.checkErrorObject && BeginsWithErrorObject(std::string_view(bytes, count)))
            return {SinkVerdict::Fail, kErrorObject, kClassOperation};
    }
    DWORD done = 0;
    if (!WriteFile(writer.file, bytes, count, &done, nullptr) || done != count) {
        const DWORD error = GetLastError();
        return {SinkVerdict::Fail, error != 0 ? error : static_cast<DWORD>(ERROR_WRITE_FAULT), kClassSystemError};
    }
    writer.written += count;
    if (!SendTransferMessage(writer.window, MsgTransferProgress, count))
        return {SinkVerdict::Fail, kNoMessageMemory, kClassOperation};
    return {};
}

// What the reply's headers say about the file.
struct ReplyFacts {
    FILETIME modified = {};
    bool hasTime = false;     // a client_mtime that parses
    bool hasMetadata = false; // the reply names the file's metadata
    ULONGLONG announced = 0;  // Content-Length
    bool hasLength = false;
};

// Checks the answer before anything touches the disk: the raw headers must be
// readable and the status, read as a number whatever the protocol version and
// whatever header values say, must be 200. False with the failure's code.
bool CheckReply(Exchange &exchange, DWORD status, ReplyFacts *facts, TransferCode *failure) {
    LibBlock<char> headers(LibAllocArray<char>(kHeaderCapacity));
    if (!headers) {
        *failure = {kNoHeaderBuffer, kClassOperation};
        return false;
    }
    DWORD length = 0;
    if (!QueryRawHeaders(exchange, headers.get(), kHeaderCapacity, &length)) {
        *failure = FailureCode(exchange, kNoProxySetting, status);
        return false;
    }
    if (status != HTTP_STATUS_OK) {
        *failure = {kStatusNotOk, kClassOperation};
        return false;
    }
    const std::string_view text(headers.get(), length);
    std::string_view metadata;
    facts->hasMetadata = FindHeaderValue(text, kMetadataHeader, &metadata);
    facts->hasTime = ModificationTime(text, &facts->modified);
    facts->hasLength = QueryContentLength(exchange, &facts->announced);
    return true;
}

// Streams the body into a temporary file beside target and, once it is whole,
// makes that file the target. False with the failure's code; the temporary
// file is gone then, and the target as it was.
bool WriteBody(Exchange &exchange, const ReplyFacts &facts, const wchar_t *target, DWORD mode, HWND window,
               const volatile BYTE *cancel, TransferCode *failure) {
    LibBlock<char> piece(LibAllocArray<char>(kPieceSize));
    if (!piece) {
        *failure = {kNoPieceBuffer, kClassOperation};
        return false;
    }
    PartFile part;
    if (!CreatePartFile(target, part)) {
        *failure = {GetLastError(), kClassSystemError};
        return false;
    }
    BodyWriter writer = {part.file.get(), window, !facts.hasMetadata};
    switch (ReadReply(exchange, piece.get(), kPieceSize, WritePiece, &writer, cancel)) {
    case ReadEnd::Complete:
        break;
    case ReadEnd::Cancelled:
        *failure = SendTransferMessage(window, FetchFinishedKind(mode), 0)
                       ? TransferCode{kCancelled, kClassOperation}
                       : TransferCode{kNoMessageMemory, kClassOperation};
        return false;
    case ReadEnd::Stopped:
    case ReadEnd::Failed:
        *failure = FailureCode(exchange, kNoProxySetting, 0);
        return false;
    }
    // A connection closed early ends the reading like the end of the body does.
    if (facts.hasLength && writer.written != facts.announced) {
        *failure = {kShortBody, kClassOperation};
        return false;
    }
    if (!MoveIntoPlace(part, target, facts.hasTime ? &facts.modified : nullptr)) {
        *failure = {GetLastError(), kClassSystemError};
        return false;
    }
    return true;
}

// The download itself. True when the target holds the whole file; false with
// the failure's code and class in *failure.
bool Download(const wchar_t *url, const wchar_t *target, DWORD mode, HWND window, const volatile BYTE *cancel,
              TransferCode *failure) {
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kDownloadProfile, {url}, exchange, &status)) {
        *failure = FailureCode(exchange, kNoProxySetting, status);
        return false;
    }
    ReplyFacts facts;
    return CheckReply(exchange, status, &facts, failure) &&
           WriteBody(exchange, facts, target, mode, window, cancel, failure);
}

} // namespace

DWORD FetchFinishedKind(DWORD mode) {
    switch (mode) {
    case 1:
        return MsgFetchFinishedMode1;
    case 2:
        return MsgFetchFinishedMode2;
    default:
        return MsgFetchFinishedMode0;
    }
}

int ResilientDownload(const wchar_t *url, const wchar_t *localPath, DWORD mode, HWND window,
                      const volatile BYTE *cancel) {
    TransferCode failure = {};
    if (Download(url, localPath, mode, window, cancel, &failure)) return 0;
    // Nothing more can be done when even this payload cannot be had.
    (void)SendTransferMessage(window, MsgTransferFailed, 0, failure.code, failure.codeClass);
    return 1;
}
