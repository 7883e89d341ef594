// The local side: the scan of a folder, a file's size and time read again,
// byte comparison, the folded names that matching uses, and moves.
#pragma once
#include "planner.h"

#include <windows.h>

#include <string>
#include <vector>

namespace twoway {

std::wstring Widen(const std::string &utf8);
std::string Narrowed(const std::wstring &wide);

// The key two names share when they differ only in case: upper- then
// lower-cased with the invariant locale, so that any two names that the
// service or a Windows folder could take for one become one key.
std::string FoldKey(const std::string &utf8);

// The files directly in dir (folder: its index); sub-folders, links and the
// library's temporary files go into skipped. False when dir cannot be read.
bool ScanFolder(const std::wstring &dir, int folder, std::vector<LocalFile> &files, std::vector<SkippedName> &skipped,
                DWORD &error);

enum class Stat { Present, Absent, Failed };
// A file's size and last-write time as they are now.
Stat StatFile(const std::wstring &path, std::uint64_t &size, std::uint64_t &mtime);
// True when the file is there with exactly this size and time.
bool Unchanged(const std::wstring &path, std::uint64_t size, std::uint64_t mtime);
// True when the file is not there at all.
bool Missing(const std::wstring &path);
bool IsFolder(const std::wstring &path);

// Compares two files' bytes; false when one cannot be read.
bool SameBytes(const std::wstring &a, const std::wstring &b, bool &same);

// Renames from to to, replacing to when replace is set, the move written
// through before it returns. False with the system error.
bool MoveLocalFile(const std::wstring &from, const std::wstring &to, bool replace, DWORD &error);

} // namespace twoway
