// Commands for tests that look at local files as Windows sees them: file-info, names.
#include "../commands.h"
#include "../output.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

int RunFileInfo(CommandContext &context);
int RunNames(CommandContext &context);

const Command kCommands[] = {
    {L"file-info", "PATH [--attributes N] [--created FILETIME]", RunFileInfo},
    {L"names", "FOLDER", RunNames},
};

unsigned long long Ticks(const FILETIME &time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Sets the attributes and the creation time asked for (as a program of the
// user's would); false after an error event.
bool ChangeFile(const wchar_t *path, bool setAttributes, unsigned long long attributes, bool setCreated,
                unsigned long long created) {
    if (setCreated) {
        const HANDLE file =
            CreateFileW(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        FILETIME time = {static_cast<DWORD>(created & 0xFFFFFFFFull), static_cast<DWORD>(created >> 32)};
        const bool set = file != INVALID_HANDLE_VALUE && SetFileTime(file, &time, nullptr, nullptr);
        const DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (!set)
            return HostError(ExitFailure, "cannot set the creation time (error " + std::to_string(error) + ")"), false;
    }
    if (setAttributes && !SetFileAttributesW(path, static_cast<DWORD>(attributes)))
        return HostError(ExitFailure, "cannot set the attributes (error " + std::to_string(GetLastError()) + ")"),
               false;
    return true;
}

// file-info PATH: the file's attributes, creation and last-write times (FILETIME
// ticks) and size, after setting the attributes and creation time when asked.
int RunFileInfo(CommandContext &context) {
    const auto &args = context.args;
    bool setAttributes = false;
    bool setCreated = false;
    unsigned long long attributes = 0;
    unsigned long long created = 0;
    for (size_t i = 1; i < args.size(); i += 2) {
        unsigned long long value = 0;
        if (i + 1 >= args.size() || !ParseUnsigned(args[i + 1], value)) return UsageError(kCommands[0]);
        if (std::wcscmp(args[i], L"--attributes") == 0 && value <= 0xFFFFFFFFull) {
            setAttributes = true;
            attributes = value;
        } else if (std::wcscmp(args[i], L"--created") == 0) {
            setCreated = true;
            created = value;
        } else {
            return UsageError(kCommands[0]);
        }
    }
    if (args.empty()) return UsageError(kCommands[0]);
    if (!ChangeFile(args[0], setAttributes, attributes, setCreated, created)) return ExitFailure;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(args[0], GetFileExInfoStandard, &data)) {
        Event("file").Wide("path", args[0]).Unsigned("error", GetLastError()).Emit();
        return ExitFailure;
    }
    Event("file")
        .Wide("path", args[0])
        .Unsigned("attributes", data.dwFileAttributes)
        .Unsigned("created", Ticks(data.ftCreationTime))
        .Unsigned("written", Ticks(data.ftLastWriteTime))
        .Unsigned("size", (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow)
        .Emit();
    return ExitOk;
}

// names FOLDER: one event per entry of the folder (no "." or ".."), with its attributes.
int RunNames(CommandContext &context) {
    if (context.args.size() != 1) return UsageError(kCommands[1]);
    const std::wstring pattern = std::wstring(context.args[0]) + L"\\*";
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return HostError(ExitFailure, "cannot list the folder (error " + std::to_string(GetLastError()) + ")");
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
        Event("name").Wide("name", found.cFileName).Unsigned("attributes", found.dwFileAttributes).Emit();
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return ExitOk;
}

} // namespace

std::span<const Command> LocalFileCommands() { return kCommands; }
