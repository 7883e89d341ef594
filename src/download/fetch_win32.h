// The host's fetch of one file of an application folder, and the remote delete.
// The exports getRemoteMergeFile and BVDeleteRemote are shims over these.
#pragma once
#include <windows.h>

// Starts RemoteMergeFileWorker: downloads remoteName (plain text, encoded here)
// of folder folderIndex into localPath, writes the outcome into *result and
// sends the finishing notice of mode. Returns 0 when the worker runs; 1 when
// not, with *result 0 when the folder index is not one of the three or a copy
// could not be allocated.
[[nodiscard]] int StartMergeFileFetch(HWND window, const wchar_t *remoteName, DWORD folderIndex,
                                      const wchar_t *localPath, BYTE *result, BYTE *cancel, DWORD mode);

// Starts DeleteRemoteWorker: deletes remoteName of folder folderIndex, writes
// the outcome into *result and sends MsgDeleteFinished. Returns 0 when the
// worker runs; 1 when not, with *result 0 when the folder index is not one of
// the three or the name could not be copied.
[[nodiscard]] int StartRemoteDelete(HWND window, const wchar_t *remoteName, DWORD folderIndex, BYTE *result);

// Sends one POST without a body to url (complete and signed) and reads the
// answer. Returns 0 when the service answered 200 without an error object, 1 otherwise.
[[nodiscard]] int ResilientPost(const wchar_t *url);
