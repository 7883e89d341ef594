// Names the sync makes or refuses: conflicted copies, trash names, the
// library's temporary files, names a Windows folder cannot hold. Portable.
#pragma once

#include <functional>
#include <string>

namespace twoway {

// The local name a conflicting local file takes: "c (conflicted copy HOST
// 2026-12-10).txt", then "... 2026-12-10 2).txt" and on while taken(name).
std::string ConflictName(const std::string &name, const std::string &host, const std::string &date,
                         const std::function<bool(const std::string &)> &taken);
// A free name: the name itself, then "a (2).txt", "a (3).txt"... while taken(name).
std::string NumberedName(const std::string &name, const std::function<bool(const std::string &)> &taken);
// The library's download writes "~vs" and 8 hex digits beside its target: never synced.
bool IsDownloadTemporaryName(const std::string &name);
// Why a remote name cannot be a file name here (reserved characters, a
// device name, a trailing dot or space), or null when it can.
const char *UnusableLocalName(const std::string &name);

} // namespace twoway
