// ResilientDownload: one GET through the exchange core, streamed into a hidden temporary file
// that replaces the target only when the whole body is there and proven whole.
#include "download/download_win32.h"

// ntsecapi.h declares RtlGenRandom (advapi32 SystemFunction036) after windows.h.
#include <ntsecapi.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <iterator>
#include <string_view>
#include <utility>

#include "download/service_date_win32.h"
#include "frame/faults_win32.h"
#include "frame/holders_win32.h"
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
    kUnprovenLength = 4010,
};

constexpr DWORD kPieceSize = 16384;
constexpr DWORD kHeaderCapacity = 16384;
// The service names the file's metadata (with its size and modification time) in this header.
constexpr std::string_view kMetadataHeader = "x-dropbox-metadata";

// Temporary files are named "~vs" and 8 hex digits: short enough that any
// target's folder can hold one, and a pattern hosts leave out of their sync.
constexpr wchar_t kPartPrefix[] = L"~vs";
constexpr size_t kPartNameLength = 11;
// Names tried before a folder full of taken names gives up (ERROR_FILE_EXISTS).
constexpr int kPartNameAttempts = 16;
// The attributes of a replaced target that its replacement takes over; a
// read-only target is not replaced (ReplaceFileW refuses it with 5).
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The target as the file calls name it, and where its folder ends.
struct TargetPath {
    WipedBlock<wchar_t> path; // full path; the \\?\ form when it or a temporary file beside it passes MAX_PATH
    size_t folderLength = 0;  // characters up to and with the last separator
};

// Resolves localPath (relative, with "/" or ".." as the host wrote it) to a
// full path. The \\?\ form, which reaches past MAX_PATH, is taken only where
// the plain form cannot be used, since it also turns off the name clean-up
// (trailing dots and spaces) that the host's path may rely on. False with the
// system error.
bool ResolveTarget(const wchar_t *localPath, TargetPath *target) {
    const DWORD needed = sys::GetFullPathNameW(localPath, 0, nullptr, nullptr);
    if (needed == 0) return false;
    LibBlock<wchar_t> full(LibAllocArray<wchar_t>(needed));
    if (!full) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const DWORD length = sys::GetFullPathNameW(localPath, needed, full.get(), nullptr);
    if (length == 0) return false;
    if (length >= needed) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::wstring_view path(full.get(), length);
    const size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring_view::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const size_t longest =
        path.size() > separator + 1 + kPartNameLength ? path.size() : separator + 1 + kPartNameLength;
    std::wstring_view prefix;
    if (longest >= MAX_PATH && !path.starts_with(L"\\\\?\\") && !path.starts_with(L"\\\\.\\")) {
        prefix = path.starts_with(L"\\\\") ? L"\\\\?\\UNC" : L"\\\\?\\";
        // A UNC path keeps one of its two leading separators after "\\?\UNC".
        if (path.starts_with(L"\\\\")) path.remove_prefix(1);
    }
    target->path = JoinWideText({prefix, path});
    if (!target->path) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    target->folderLength = std::wstring_view(target->path.get()).find_last_of(L'\\') + 1;
    return true;
}

// The temporary file a body is written into, beside its target. Removed when
// it goes, unless MoveIntoPlace made it the target; a program that looks at
// the new file (a scanner, an indexer) and so refuses its deletion is waited
// out as it is for the replace.
struct PartFile {
    WipedBlock<wchar_t> path;
    FileHandle file;

    PartFile() = default;
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;
    ~PartFile() {
        if (!path) return;
        file.reset();
        (void)DeleteWaitingOutHolders(path.get());
    }
};

// 32 bits for a temporary name: from the system's generator, or (should it
// fail) from a count that differs for every name this process asks for.
DWORD PartNameNumber() {
    static constinit std::atomic<DWORD> fallback{0};
    DWORD number = 0;
    if (sys::RtlGenRandom(&number, sizeof(number))) return number;
    return (GetTickCount() << 8) ^ (GetCurrentThreadId() << 20) ^ fallback.fetch_add(1);
}

// Creates the temporary file in the target's folder: a name of the pattern
// that no file has yet (CREATE_NEW; a taken name is followed by another),
// hidden from the user's view of the folder until it becomes the target.
// False with the system error.
bool CreatePartFile(const TargetPath &target, PartFile &part) {
    const std::wstring_view folder(target.path.get(), target.folderLength);
    for (int attempt = 0; attempt < kPartNameAttempts; ++attempt) {
        wchar_t name[kPartNameLength + 1] = {};
        std::swprintf(name, std::size(name), L"%ls%08lx", kPartPrefix, static_cast<unsigned long>(PartNameNumber()));
        WipedBlock<wchar_t> path = JoinWideText({folder, name});
        if (!path) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        part.file.reset(sys::CreateFileW(path.get(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (part.file) {
            part.path = std::move(path);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// Writes all of bytes. A write that takes fewer bytes than asked (Wine's on a
// file system that is filling up) is continued, so that a full disk shows as
// the failing write's own error (ERROR_DISK_FULL) rather than a short count.
// False with the system error.
bool WriteAll(HANDLE file, const char *bytes, DWORD count) {
    while (count > 0) {
        DWORD done = 0;
        if (!sys::WriteFile(file, bytes, count, &done, nullptr)) return false;
        if (done == 0) {
            // No progress and no error: nothing tells why, and asking again would spin.
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += done;
        count -= done;
    }
    return true;
}

// One attempt at making part the target. An existing target is replaced with
// ReplaceFileW, which keeps its attributes, security, creation time and
// streams; a new one is moved into place with write-through. False with the
// system error; both files keep their names then.
bool ReplaceOnce(const wchar_t *part, const wchar_t *target) {
    // A holder that does not share deleting refuses this open as it would
    // refuse ReplaceFileW; asked first because Wine's ReplaceFileW leaves an
    // empty "rf*.tmp" file in the folder each time such a holder refuses it.
    // The open also tells whether there is a target.
    FileHandle probe(sys::CreateFileW(target, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe) {
        probe.reset();
        if (sys::ReplaceFileW(target, part, nullptr, 0, nullptr, nullptr)) return true;
        const DWORD error = GetLastError();
        // Wine's ReplaceFileW makes a temporary name of its own with
        // GetTempFileNameW, which cannot name a file in a folder of more than
        // MAX_PATH - 14 characters, and fails with 123; all it does is rename,
        // which the move does as well (the attributes are already set).
        const bool longPathRefused = error == ERROR_INVALID_NAME;
        // A target removed since it was looked at is not there to be replaced.
        const bool targetGone =
            error == ERROR_FILE_NOT_FOUND && sys::GetFileAttributesW(target) == INVALID_FILE_ATTRIBUTES;
        if (!longPathRefused && !targetGone) {
            SetLastError(error);
            return false;
        }
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    return sys::MoveFileExW(part, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

// Makes part the target, waiting out a brief holder: an attempt refused for
// sharing, lock or access reasons is made again after each pause of
// kHolderPausesMs. False with the last attempt's error (ERROR_ACCESS_DENIED
// for a folder in the target's place).
bool ReplaceTarget(const wchar_t *part, const wchar_t *target) {
    // A folder is never replaced by a file: Wine's ReplaceFileW would put one
    // in place of an empty folder. Refused as MoveFileExW refuses it, at once.
    const DWORD existing = sys::GetFileAttributesW(target);
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    for (size_t attempt = 0;; ++attempt) {
        if (ReplaceOnce(part, target)) return true;
        const DWORD error = GetLastError();
        if (!RefusedByHolder(error) || attempt + 1 == kHolderAttempts) {
            SetLastError(error);
            return false;
        }
        Sleep(kHolderPausesMs[attempt]);
    }
}

// The attributes part takes before it becomes the target: those of the target
// it replaces (Wine's ReplaceFileW keeps the replacement's own, so the
// library sets them itself), or a new file's. Either way it is no longer hidden.
DWORD AttributesForTarget(const wchar_t *target) {
    const DWORD existing = sys::GetFileAttributesW(target);
    if (existing == INVALID_FILE_ATTRIBUTES) return FILE_ATTRIBUTE_ARCHIVE;
    const DWORD kept = existing & kKeptAttributes;
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// Makes the complete temporary file the target: its last-write time set and
// its bytes flushed to disk first, so the target is never seen half-written. A
// time that cannot be set leaves the file's own time; attributes that cannot
// be set fail (the target would turn hidden). False with the system error.
bool MoveIntoPlace(PartFile &part, const wchar_t *target, const FILETIME *modified) {
    if (modified != nullptr) sys::SetFileTime(part.file.get(), nullptr, nullptr, modified);
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = AttributesForTarget(target);
    if (!sys::SetFileInformationByHandle(part.file.get(), FileBasicInfo, &basic, sizeof(basic))) return false;
    if (!sys::FlushFileBuffers(part.file.get())) return false;
    part.file.reset();
    if (!ReplaceTarget(part.path.get(), target)) return false;
    part.path.reset();
    return true;
}

// The file's modification time, from "client_mtime" in the metadata header.
// False when the key or a date that parses is missing: the file then keeps
// the time it was written at.
bool ModificationTime(std::string_view metadata, FILETIME *modified) {
    std::string_view clientMtime;
    return FindClientMtime(metadata, &clientMtime) && ServiceDateToFILETIME(clientMtime, modified);
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
    if (!WriteAll(writer.file, bytes, count)) {
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
    uint64_t size = 0;        // the metadata's "bytes": the file's size
    bool hasSize = false;
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
    std::string_view metadata;
    facts->hasMetadata = FindHeaderValue(std::string_view(headers.get(), length), kMetadataHeader, &metadata);
    if (facts->hasMetadata && metadata.starts_with('{')) {
        facts->hasTime = ModificationTime(metadata, &facts->modified);
        facts->hasSize = FindFileSize(metadata, &facts->size);
    }
    return true;
}

// True when the body that was read to its end is the whole file. The
// metadata's size proves it whatever the framing (chunked, or ended by closing
// the connection, as proxies and content networks re-frame replies); without
// one only a Content-Length does, which the reading has already held the body
// to. A reply with neither cannot be told from one cut off.
bool ProvenWhole(const Exchange &exchange, const ReplyFacts &facts, ULONGLONG written) {
    if (facts.hasSize) return written == facts.size;
    return exchange.lengthAnnounced;
}

// Streams the body into a temporary file beside target and, once it is whole,
// makes that file the target. False with the failure's code; the temporary
// file is gone then, and the target as it was.
bool WriteBody(Exchange &exchange, const ReplyFacts &facts, const wchar_t *localPath, DWORD mode, HWND window,
               const volatile BYTE *cancel, TransferCode *failure) {
    LibBlock<char> piece(LibAllocArray<char>(kPieceSize));
    if (!piece) {
        *failure = {kNoPieceBuffer, kClassOperation};
        return false;
    }
    TargetPath target;
    PartFile part;
    if (!ResolveTarget(localPath, &target) || !CreatePartFile(target, part)) {
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
        *failure = exchange.failedStep == ExchangeStep::Length ? TransferCode{kUnprovenLength, kClassOperation}
                                                               : FailureCode(exchange, kNoProxySetting, 0);
        return false;
    }
    if (!ProvenWhole(exchange, facts, writer.written)) {
        *failure = {kUnprovenLength, kClassOperation};
        return false;
    }
    if (!MoveIntoPlace(part, target.path.get(), facts.hasTime ? &facts.modified : nullptr)) {
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
