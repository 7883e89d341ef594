// The local side of the sync, on the Windows file API.
#include "local_files.h"

#include "names.h"

#include <cstring>
#include <vector>

namespace twoway {

namespace {

std::uint64_t Join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

std::wstring MapCase(const std::wstring &text, DWORD flag) {
    if (text.empty()) return text;
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, flag, text.c_str(), static_cast<int>(text.size()), nullptr,
                                     0, nullptr, nullptr, 0);
    if (length <= 0) return text;
    std::wstring out(static_cast<size_t>(length), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, flag, text.c_str(), static_cast<int>(text.size()), out.data(), length, nullptr,
                  nullptr, 0);
    return out;
}

} // namespace

std::wstring Widen(const std::string &utf8) {
    if (utf8.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), length);
    return out;
}

std::string Narrowed(const std::wstring &wide) {
    if (wide.empty()) return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), length, nullptr, nullptr);
    return out;
}

std::string FoldKey(const std::string &utf8) {
    return Narrowed(MapCase(MapCase(Widen(utf8), LCMAP_UPPERCASE), LCMAP_LOWERCASE));
}

bool ScanFolder(const std::wstring &dir, int folder, std::vector<LocalFile> &files, std::vector<SkippedName> &skipped,
                DWORD &error) {
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    do {
        const std::wstring wide = found.cFileName;
        if (wide == L"." || wide == L"..") continue;
        const std::string name = Narrowed(wide);
        const char *why = nullptr;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            why = "sub-folder";
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            why = "link";
        else if (IsDownloadTemporaryName(name))
            why = "temporary file of a download";
        if (why != nullptr) {
            skipped.push_back({folder, FoldKey(name), name, why});
            continue;
        }
        files.push_back({name, FoldKey(name), Join(found.nFileSizeHigh, found.nFileSizeLow),
                         Join(found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime)});
    } while (FindNextFileW(find, &found));
    error = GetLastError();
    FindClose(find);
    return error == ERROR_NO_MORE_FILES;
}

Stat StatFile(const std::wstring &path, std::uint64_t &size, std::uint64_t &mtime) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Stat::Absent : Stat::Failed;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Stat::Failed;
    size = Join(data.nFileSizeHigh, data.nFileSizeLow);
    mtime = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    return Stat::Present;
}

bool Unchanged(const std::wstring &path, std::uint64_t size, std::uint64_t mtime) {
    std::uint64_t nowSize = 0;
    std::uint64_t nowTime = 0;
    return StatFile(path, nowSize, nowTime) == Stat::Present && nowSize == size && nowTime == mtime;
}

bool Missing(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
           (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
}

bool IsFolder(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SameBytes(const std::wstring &a, const std::wstring &b, bool &same) {
    HANDLE first = CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (first == INVALID_HANDLE_VALUE) return false;
    HANDLE second = CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (second == INVALID_HANDLE_VALUE) {
        CloseHandle(first);
        return false;
    }
    std::vector<char> left(65536);
    std::vector<char> right(65536);
    bool ok = true;
    same = true;
    for (;;) {
        DWORD gotLeft = 0;
        DWORD gotRight = 0;
        if (!ReadFile(first, left.data(), static_cast<DWORD>(left.size()), &gotLeft, nullptr) ||
            !ReadFile(second, right.data(), static_cast<DWORD>(right.size()), &gotRight, nullptr)) {
            ok = false;
            break;
        }
        if (gotLeft != gotRight || std::memcmp(left.data(), right.data(), gotLeft) != 0) {
            same = false;
            break;
        }
        if (gotLeft == 0) break;
    }
    CloseHandle(first);
    CloseHandle(second);
    return ok;
}

bool MoveLocalFile(const std::wstring &from, const std::wstring &to, bool replace, DWORD &error) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
    error = GetLastError();
    return false;
}

} // namespace twoway
