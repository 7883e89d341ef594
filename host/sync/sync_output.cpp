// The sync's lines and events, on the host's shared output.
#include "sync_output.h"

#include "../output.h"

namespace twoway {

bool JsonEvents() { return JsonOutput(); }

void EmitEvent(const char *name, Json fields) {
    if (!JsonEvents()) return;
    Json event{{"event", name}};
    for (auto &[key, value] : fields.items()) event[key] = std::move(value);
    EmitJson(std::move(event));
}

void SayLine(const std::string &text) { Say(text); }

void ShowProgress(size_t running, unsigned long long bytes) {
    if (JsonEvents()) return;
    DrawProgress(std::to_string(running) + " running, " + SizeText(bytes) + " moved");
}

void EndProgress() { ClearProgress(); }

} // namespace twoway
