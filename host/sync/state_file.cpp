// The state file and the lock file.
#include "state_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace twoway {

namespace {

enum class FileRead { Read, Missing, Failed };

FileRead ReadWholeFile(const std::wstring &path, std::string &text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND ? FileRead::Missing
                                                                                                : FileRead::Failed;
    text.clear();
    std::vector<char> buffer(65536);
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        text.append(buffer.data(), got);
    }
    CloseHandle(file);
    return ok ? FileRead::Read : FileRead::Failed;
}

// One candidate file: true when it holds a state; otherwise note says why not.
bool TryLoad(const std::wstring &path, const char *which, SyncState &state, std::string &note) {
    std::string text;
    const FileRead read = ReadWholeFile(path, text);
    std::string why;
    if (read == FileRead::Read && ReadState(text, state, why)) return true;
    note += std::string(note.empty() ? "" : "; ") + which + ": " +
            (read == FileRead::Missing  ? "missing"
             : read == FileRead::Failed ? "unreadable"
                                        : why);
    return false;
}

} // namespace

StateRead LoadState(const std::wstring &path, SyncState &state, std::string &note) {
    note.clear();
    if (TryLoad(path, "state", state, note)) return StateRead::Read;
    if (TryLoad(path + L".bak", "backup", state, note)) return StateRead::ReadBackup;
    return StateRead::None;
}

bool SaveState(const std::wstring &path, const SyncState &state, DWORD &error) {
    const std::string text = WriteState(state);
    const std::wstring temporary = path + L".tmp";
    HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    DWORD written = 0;
    const bool whole = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size() && FlushFileBuffers(file);
    error = GetLastError();
    CloseHandle(file);
    if (!whole) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(path.c_str(), (path + L".bak").c_str(), flags) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        error = GetLastError();
        return false;
    }
    // Here only the backup holds a state: the next run reads it.
    CrashPoint("between-state-moves");
    if (!MoveFileExW(temporary.c_str(), path.c_str(), flags)) {
        error = GetLastError();
        return false;
    }
    return true;
}

FolderLock::~FolderLock() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool FolderLock::Take(const std::wstring &path, DWORD &error) {
    // No sharing, and gone with the last handle: a crashed sync leaves no lock behind.
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle_ != INVALID_HANDLE_VALUE) return true;
    error = GetLastError();
    return false;
}

void CrashPoint(const char *step) {
    static const char *const asked = std::getenv("VELMORA_SYNC_CRASH_AT");
    if (asked == nullptr || std::strcmp(asked, step) != 0) return;
    std::fflush(stdout);
    std::fprintf(stderr, "crash point: %s\n", step);
    std::fflush(stderr);
    // The kill comes from outside. Ended from inside (TerminateProcess), a Wine
    // process can hang in the exit, or die of a signal, while another of its
    // threads is starting or ending: a library worker just started, or one
    // that has sent its final message.
    Sleep(kCrashPointWaitSeconds * 1000);
    TerminateProcess(GetCurrentProcess(), 86);
}

} // namespace twoway
