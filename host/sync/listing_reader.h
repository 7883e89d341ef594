// Reading a folder's listing text (what getDropboxMetadata hands over) into
// its files and sub-folders. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twoway {

struct ListedEntry {
    std::string name; // the last part of the entry's path (UTF-8)
    bool isDir = false;
    std::string rev;
    std::uint64_t size = 0;
    std::string clientMtime; // files: client_mtime, or modified when the service gave none
};

struct FolderListing {
    std::string rev;                  // the folder's own
    std::vector<ListedEntry> entries; // deleted entries left out
};

// Parses the listing of the folder named folder ("User Notes"). False (with
// why) unless it is the metadata of that folder with its contents, every entry
// a direct child with a path, and every file with its rev and size.
bool ReadListing(std::string_view text, std::string_view folder, FolderListing &listing, std::string &why);

// The account's namespace as a rev carries it: its last 8 hex digits; empty
// when the rev is no such text.
std::string NamespaceOfRev(std::string_view rev);

} // namespace twoway
