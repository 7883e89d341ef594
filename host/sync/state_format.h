// The state file's text: a header (schema, account, local root, host) and one
// entry per synced file, guarded by a checksum. Portable; the file itself is
// state_file.cpp's.
#pragma once
#include "sync_types.h"

#include <string>
#include <string_view>
#include <vector>

namespace twoway {

constexpr int kStateSchema = 1;

struct SyncState {
    std::string account;   // the account's namespace, as the listings' revs end with it
    std::string localRoot; // the full path of the synced folder
    std::string host;      // the computer that wrote it
    std::vector<StateEntry> files;
};

// The state as the file's text: {"checksum": "<hex>", "state": {...}}, the
// checksum taken over the state member's compact text.
std::string WriteState(const SyncState &state);
// Reads a text of WriteState. False (with why) when it is no such text, its
// schema is another or its checksum does not match; keys are left empty.
bool ReadState(std::string_view text, SyncState &state, std::string &why);

// FNV-1a, 64 bits: the state's corruption check (not a security measure).
std::uint64_t Fnv1a64(std::string_view bytes);

} // namespace twoway
