// The listing table of `velmora-sync ls`, read with the sync's listing reader (nlohmann::json).
#include "listing_table.h"

#include "human_text.h"
#include "output.h"
#include "sync/listing_reader.h"

#include <algorithm>

namespace {

constexpr unsigned long long kFiletimeOf1970 = 116444736000000000ull;

// The characters a UTF-8 text takes on a terminal, counted as code points.
size_t Width(const std::string &text) {
    size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++width;
    return width;
}

std::string Padded(const std::string &text, size_t width, bool right) {
    const std::string padding(width > Width(text) ? width - Width(text) : 0, ' ');
    return right ? padding + text : text + padding;
}

std::string Counted(size_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Folders first, then files; each by name without regard to case.
bool ShownBefore(const twoway::ListedEntry &a, const twoway::ListedEntry &b) {
    if (a.isDir != b.isDir) return a.isDir;
    const auto lower = [](std::string text) {
        for (char &c : text)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    return lower(a.name) < lower(b.name);
}

std::string ModifiedText(const Library &library, const std::string &serviceDate) {
    if (serviceDate.empty()) return "";
    const unsigned long long value =
        library.convertToFILETIME != nullptr ? library.convertToFILETIME(serviceDate.c_str()) : kFiletimeOf1970;
    return value == kFiletimeOf1970 ? serviceDate : LocalTimeText(value);
}

} // namespace

bool ListingTable(const Library &library, std::string_view listing, const std::string &folder,
                  std::vector<std::string> &lines, std::string &why) {
    twoway::FolderListing read;
    if (!twoway::ReadListing(listing, folder, read, why)) return false;
    std::vector<twoway::ListedEntry> entries = std::move(read.entries);
    std::sort(entries.begin(), entries.end(), ShownBefore);

    size_t files = 0;
    unsigned long long bytes = 0;
    for (const auto &entry : entries) {
        if (entry.isDir) continue;
        ++files;
        bytes += entry.size;
    }
    const size_t folders = entries.size() - files;
    std::string summary = folder + ": " + Counted(files, "file", "files");
    if (folders != 0) summary += ", " + Counted(folders, "folder", "folders");
    lines = {summary + ", " + SizeText(bytes)};
    if (entries.empty()) return true;

    struct Row {
        std::string name, size, modified;
    };
    std::vector<Row> rows = {{"NAME", "SIZE", "MODIFIED"}};
    for (const auto &entry : entries) {
        if (entry.isDir)
            rows.push_back({entry.name + "/", "-", ""});
        else
            rows.push_back({entry.name, SizeText(entry.size), ModifiedText(library, entry.clientMtime)});
    }
    size_t nameWidth = 0;
    size_t sizeWidth = 0;
    for (const Row &row : rows) {
        nameWidth = std::max(nameWidth, Width(row.name));
        sizeWidth = std::max(sizeWidth, Width(row.size));
    }
    for (const Row &row : rows) {
        std::string line = "  " + Padded(row.name, nameWidth, false) + "  " + Padded(row.size, sizeWidth, true);
        if (!row.modified.empty()) line += "  " + row.modified;
        lines.push_back(line);
    }
    return true;
}
