// The records the sync compares: a local file, a remote file, a last-synced snapshot. Portable.
#pragma once

#include <cstdint>
#include <string>

namespace twoway {

// The three folders, by the library's folder index.
constexpr int kFolderCount = 3;
// As they stand on disk and in remote paths ("User Notes/a.txt").
constexpr const char *kFolderNames[kFolderCount] = {"Highlights", "User Notes", "User Tools"};

// A file directly inside a local folder: its name as on disk (UTF-8), the
// folded name that matching uses, and what the scan read.
struct LocalFile {
    std::string name;
    std::string key;
    std::uint64_t size = 0;
    std::uint64_t mtime = 0; // last-write time, a FILETIME value
};

// A file of a remote folder's listing.
struct RemoteFile {
    std::string name;
    std::string key;
    std::string rev;
    std::uint64_t size = 0;
    std::string clientMtime; // the service's date text
};

// What the last run recorded for a file once both sides held the same bytes:
// the remote side as listed, the local side as read back from disk.
struct StateEntry {
    int folder = 0;
    std::string name;
    std::string key; // filled by whoever loads the state (the fold is the platform's)
    std::string rev;
    std::uint64_t remoteSize = 0;
    std::string clientMtime;
    std::uint64_t localSize = 0;
    std::uint64_t localMtime = 0;
};

} // namespace twoway
