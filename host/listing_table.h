// A folder's listing (the text getDropboxMetadata hands over) as a table for people.
#pragma once
#include "library.h"

#include <string>
#include <string_view>
#include <vector>

// The lines that show the listing of folder (as people name it, "User Notes"):
// a summary ("User Notes: 3 files, 1 folder, 6.1 MiB"), then a table of the
// entries, folders first, each group by name, with sizes and modification
// times (converted with the library's ConvertToFILETIME, shown in local time).
// False with why when the text is no listing of that folder.
bool ListingTable(const Library &library, std::string_view listing, const std::string &folder,
                  std::vector<std::string> &lines, std::string &why);
