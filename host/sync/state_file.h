// The state file on disk: read with its .bak as fallback, saved so that a
// crash at any moment leaves a whole state (the new one, or the previous one
// as .bak), and the lock that keeps two syncs of one folder apart.
#pragma once
#include "state_format.h"

#include <windows.h>

#include <string>

namespace twoway {

enum class StateRead { Read, ReadBackup, None };

// Reads path, or path.bak when path is missing or corrupt. None (with what was
// wrong in note) when neither holds a state.
StateRead LoadState(const std::wstring &path, SyncState &state, std::string &note);

// Writes path.tmp, flushes it, keeps the current file as path.bak and moves
// the new one in its place (each move replacing and written through). False
// with the system error.
bool SaveState(const std::wstring &path, const SyncState &state, DWORD &error);

// An exclusive lock file, removed by the system when the process ends in any way.
class FolderLock {
  public:
    FolderLock() = default;
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    ~FolderLock();
    // False with the system error (ERROR_SHARING_VIOLATION: another sync holds it).
    bool Take(const std::wstring &path, DWORD &error);

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A test switch: VELMORA_SYNC_CRASH_AT=STEP stops the run dead when it reaches
// that step, for the test harness to kill the process there as a power cut
// would (it watches stderr for "crash point: STEP"). Unkilled, the process
// ends itself with exit code 86 after kCrashPointWaitSeconds.
void CrashPoint(const char *step);
constexpr DWORD kCrashPointWaitSeconds = 30;

} // namespace twoway
