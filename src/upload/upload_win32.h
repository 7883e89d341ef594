// The upload of one local file: chunks of 256 KiB, then a commit at the remote file's revision.
// The export BVUpdateRemoteWithFeedback is a shim over StartUpload.
#pragma once
#include <windows.h>

#include <cstdint>

#include "frame/heap_win32.h"
#include "transport/proxy_win32.h"

// Starts ChunkedUploadWorker: sends localPath in chunks to the service,
// commits it under remotePath (plain text, encoded here) at the remote file's
// current revision or as a new file, stamps the local file with the service's
// time (unless the file changed meanwhile), writes the outcome into *result and
// sends MsgUploadFinished. Returns 0 when the worker runs; 1 when not, with
// *result 0 when a copy could not be allocated.
[[nodiscard]] int StartUpload(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result,
                              BYTE *cancel);

// StartUpload that goes on with an upload session the service already holds
// up to offset under uploadId: the chunk loop starts there. For tests of
// offsets that an honest upload reaches only after gigabytes.
[[nodiscard]] int StartUploadFrom(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result,
                                  BYTE *cancel, const wchar_t *uploadId, int64_t offset);

// What the upload notes of its local file to tell whether the file changed
// under it: the host may go on writing it (the upload shares it for writing).
struct FileState {
    int64_t size = 0;
    LONGLONG lastWrite = 0;
    // The time of the file's last change of any kind (data or attributes),
    // which no program can set back; 0 where the file system keeps none.
    LONGLONG changed = 0;
};

// Bytes of one chunk.
constexpr DWORD kChunkSize = 256 * 1024;

// Sends one chunk (data, length) to url (complete and signed), through the
// proxy setting the upload read once (null: read it for this chunk). On success
// *uploadId (percent-encoded, as the next URL carries it) and *offset hold
// what the service answered (each unchanged when the answer lacks it) and MsgTransferProgress has gone to window. Returns 0
// when the service accepted the chunk; 1 after sending MsgTransferFailed with
// the code and class of the failure (none when window is null).
[[nodiscard]] int SendUploadChunk(const wchar_t *url, const ProxySetting *proxy, HWND window,
                                  LibBlock<wchar_t> *uploadId, int64_t *offset, const void *data, DWORD length);

// Sends the commit to url (complete and signed) and stamps file with the
// committed file's "client_mtime" when it parses and the file is still as
// noted (when noted is not null). Returns 0 when committed, 1 on failure.
// Sends no message.
[[nodiscard]] int CommitChunkedUpload(const wchar_t *url, HANDLE file, const FileState *noted);
