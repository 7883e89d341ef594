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
// time, writes the outcome into *result and sends MsgUploadFinished. Returns 0
// when the worker runs; 1 when not, with *result 0 when a copy could not be allocated.
[[nodiscard]] int StartUpload(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result,
                              BYTE *cancel);

// Bytes of one chunk.
constexpr DWORD kChunkSize = 256 * 1024;

// Sends one chunk (data, length) to url (complete and signed), through the
// proxy setting the upload read once (null: read it for this chunk). On success
// *uploadId and *offset hold what the service answered (each unchanged when
// the answer lacks it) and MsgTransferProgress has gone to window. Returns 0
// when the service accepted the chunk; 1 after sending MsgTransferFailed with
// the code and class of the failure (none when window is null).
[[nodiscard]] int SendUploadChunk(const wchar_t *url, const ProxySetting *proxy, HWND window,
                                  LibBlock<wchar_t> *uploadId, int64_t *offset, const void *data, DWORD length);

// Sends the commit to url (complete and signed) and stamps file with the
// committed file's "client_mtime" when it parses. Returns 0 when committed, 1
// on failure. Sends no message.
[[nodiscard]] int CommitChunkedUpload(const wchar_t *url, HANDLE file);
