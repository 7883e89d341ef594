// Test DLL only: an upload that goes on with a session the service already holds, so that
// tests can prove offsets past 32 bits without sending gigabytes first.
#include "upload/upload_win32.h"

// BVUpdateRemoteWithFeedback (without its unused argument) whose chunk loop
// starts at offset with uploadId, the id of a session that holds offset bytes.
// Results and messages as the export's.
extern "C" __declspec(dllexport) int __cdecl VelmoraDebugUploadFrom(HWND window, const wchar_t *remotePath,
                                                                    const wchar_t *localPath, BYTE *result,
                                                                    BYTE *cancel, const wchar_t *uploadId,
                                                                    ULONGLONG offset) {
    if (result == nullptr) return 1;
    if (remotePath == nullptr || localPath == nullptr || cancel == nullptr || uploadId == nullptr ||
        offset > 0x7FFFFFFFFFFFFFFFull) {
        *result = 0;
        return 1;
    }
    return StartUploadFrom(window, remotePath, localPath, result, cancel, uploadId, static_cast<int64_t>(offset));
}
