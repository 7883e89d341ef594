// Calls on local files that wait out a brief holder.
#include "frame/holders_win32.h"

#include "frame/faults_win32.h"

bool RefusedByHolder(DWORD error) {
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
        return true;
    default:
        return false;
    }
}

bool DeleteWaitingOutHolders(const wchar_t *path) {
    for (size_t attempt = 0;; ++attempt) {
        if (sys::DeleteFileW(path)) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        if (!RefusedByHolder(error) || attempt + 1 == kHolderAttempts) {
            SetLastError(error);
            return false;
        }
        Sleep(kHolderPausesMs[attempt]);
    }
}
