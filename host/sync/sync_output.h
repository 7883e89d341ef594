// What the sync prints: in --json mode one JSON event per line on stdout (every
// decision, every library message, every outcome); otherwise one line per file
// as it is done, a progress line on stderr redrawn for the running transfers,
// and a summary.
#pragma once
#include <nlohmann/json.hpp>

#include <string>

namespace twoway {

using Json = nlohmann::ordered_json;

// (The lines go through the host's output, host/output.h.)

// Follows the host's --json switch (JsonOutput()).
bool JsonEvents();
// {"event": name, ...fields} as one line (--json only).
void EmitEvent(const char *name, Json fields);
// One line for people (text mode only); the progress line is cleared first.
void SayLine(const std::string &text);
// Redraws the progress line (text mode, at most every 100 ms).
void ShowProgress(size_t running, unsigned long long bytes);
void EndProgress();

} // namespace twoway
