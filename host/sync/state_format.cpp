// The state file's text, written and read with nlohmann::json.
#include "state_format.h"

#include <nlohmann/json.hpp>

namespace twoway {

namespace {

using nlohmann::json;

// 16 lower-case hex digits.
std::string Hex(std::uint64_t value) {
    std::string text(16, '0');
    for (size_t i = 16; i-- > 0; value >>= 4) text[i] = "0123456789abcdef"[value & 0xF];
    return text;
}

json EntryJson(const StateEntry &entry) {
    return json{{"folder", kFolderNames[entry.folder]},
                {"name", entry.name},
                {"rev", entry.rev},
                {"remote_size", entry.remoteSize},
                {"client_mtime", entry.clientMtime},
                {"local_size", entry.localSize},
                {"local_mtime", entry.localMtime}};
}

// One entry of the file; false when a member is missing or of another type.
bool ReadEntry(const json &item, StateEntry &entry) {
    if (!item.is_object()) return false;
    const std::string folder = item.value("folder", "");
    entry.folder = -1;
    for (int i = 0; i < kFolderCount; ++i)
        if (folder == kFolderNames[i]) entry.folder = i;
    const auto text = [&](const char *key, std::string &out) {
        const auto found = item.find(key);
        if (found == item.end() || !found->is_string()) return false;
        out = found->get<std::string>();
        return true;
    };
    const auto number = [&](const char *key, std::uint64_t &out) {
        const auto found = item.find(key);
        if (found == item.end() || !found->is_number_unsigned()) return false;
        out = found->get<std::uint64_t>();
        return true;
    };
    return entry.folder >= 0 && text("name", entry.name) && !entry.name.empty() && text("rev", entry.rev) &&
           text("client_mtime", entry.clientMtime) && number("remote_size", entry.remoteSize) &&
           number("local_size", entry.localSize) && number("local_mtime", entry.localMtime);
}

std::string Dump(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

} // namespace

static bool ReadStateText(std::string_view text, SyncState &state, std::string &why);

std::uint64_t Fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string WriteState(const SyncState &state) {
    json files = json::array();
    for (const StateEntry &entry : state.files) files.push_back(EntryJson(entry));
    const json body{{"schema", kStateSchema},
                    {"account", state.account},
                    {"local_root", state.localRoot},
                    {"host", state.host},
                    {"files", std::move(files)}};
    const json file{{"checksum", Hex(Fnv1a64(Dump(body)))}, {"state", body}};
    return Dump(file) + "\n";
}

bool ReadState(std::string_view text, SyncState &state, std::string &why) {
    // A member of an unexpected type makes the library throw; such a file is no state of ours.
    try {
        return ReadStateText(text, state, why);
    } catch (const json::exception &) {
        why = "a member of another type";
        return false;
    }
}

static bool ReadStateText(std::string_view text, SyncState &state, std::string &why) {
    const json file = json::parse(text, nullptr, false);
    if (file.is_discarded() || !file.is_object()) {
        why = "not a JSON object";
        return false;
    }
    const auto body = file.find("state");
    const auto checksum = file.find("checksum");
    if (body == file.end() || checksum == file.end() || !checksum->is_string() || !body->is_object()) {
        why = "no state or checksum";
        return false;
    }
    if (checksum->get<std::string>() != Hex(Fnv1a64(Dump(*body)))) {
        why = "checksum mismatch";
        return false;
    }
    if (body->value("schema", 0) != kStateSchema) {
        why = "another schema";
        return false;
    }
    SyncState read;
    read.account = body->value("account", "");
    read.localRoot = body->value("local_root", "");
    read.host = body->value("host", "");
    const auto files = body->find("files");
    if (files == body->end() || !files->is_array()) {
        why = "no file list";
        return false;
    }
    for (const json &item : *files) {
        StateEntry entry;
        if (!ReadEntry(item, entry)) {
            why = "an entry is incomplete";
            return false;
        }
        read.files.push_back(std::move(entry));
    }
    state = std::move(read);
    return true;
}

} // namespace twoway
