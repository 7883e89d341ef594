// A folder listing read with nlohmann::json (the library's own scanner only counts files).
#include "listing_reader.h"

#include <nlohmann/json.hpp>

namespace twoway {

namespace {

using nlohmann::json;

// Paths are compared as the service does, without regard to case (the folder names are ASCII).
bool SameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string Text(const json &object, const char *key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool ReadEntry(const json &item, std::string_view folder, ListedEntry &entry, std::string &why) {
    if (!item.is_object() || !item.contains("path") || !item["path"].is_string() || !item.contains("is_dir") ||
        !item["is_dir"].is_boolean()) {
        why = "an entry without path or is_dir";
        return false;
    }
    const std::string path = item["path"].get<std::string>();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size() ||
        !SameAscii(path.substr(0, slash), "/" + std::string(folder))) {
        why = "an entry outside the folder: " + path;
        return false;
    }
    entry.name = path.substr(slash + 1);
    entry.isDir = item["is_dir"].get<bool>();
    if (entry.isDir) return true;
    entry.rev = Text(item, "rev");
    const auto bytes = item.find("bytes");
    if (entry.rev.empty() || bytes == item.end() || !bytes->is_number_unsigned()) {
        why = "a file without rev or bytes: " + path;
        return false;
    }
    entry.size = bytes->get<std::uint64_t>();
    entry.clientMtime = Text(item, "client_mtime");
    if (entry.clientMtime.empty()) entry.clientMtime = Text(item, "modified");
    return true;
}

bool ReadListingText(std::string_view text, std::string_view folder, FolderListing &listing, std::string &why) {
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        why = "the listing is no JSON object";
        return false;
    }
    const auto contents = root.find("contents");
    const auto isDir = root.find("is_dir");
    if (Text(root, "path").empty() || !SameAscii(Text(root, "path"), "/" + std::string(folder)) ||
        isDir == root.end() || *isDir != true || contents == root.end() || !contents->is_array()) {
        why = "the listing is not that of the folder " + std::string(folder);
        return false;
    }
    FolderListing read;
    read.rev = Text(root, "rev");
    for (const json &item : *contents) {
        if (item.is_object() && item.contains("is_deleted")) {
            if (!item["is_deleted"].is_boolean()) {
                why = "an entry whose is_deleted is no boolean";
                return false;
            }
            if (item["is_deleted"].get<bool>()) continue;
        }
        ListedEntry entry;
        if (!ReadEntry(item, folder, entry, why)) return false;
        read.entries.push_back(std::move(entry));
    }
    listing = std::move(read);
    return true;
}

} // namespace

bool ReadListing(std::string_view text, std::string_view folder, FolderListing &listing, std::string &why) {
    // A member of an unexpected type makes the library throw: such a text is no listing.
    try {
        return ReadListingText(text, folder, listing, why);
    } catch (const json::exception &) {
        why = "a member of the listing has an unexpected type";
        return false;
    }
}

std::string NamespaceOfRev(std::string_view rev) {
    if (rev.size() <= 8) return {};
    for (char c : rev)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    return std::string(rev.substr(rev.size() - 8));
}

} // namespace twoway
