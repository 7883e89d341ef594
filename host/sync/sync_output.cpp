// The sync's lines and events.
#include "sync_output.h"

#include "../output.h"

#include <cstdio>

namespace twoway {

namespace {

bool g_progressShown = false;
unsigned long long g_progressTick = 0;

} // namespace

bool JsonEvents() { return JsonOutput(); }

void EmitEvent(const char *name, Json fields) {
    if (!JsonEvents()) return;
    Json event{{"event", name}};
    for (auto &[key, value] : fields.items()) event[key] = std::move(value);
    const std::string line = event.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void SayLine(const std::string &text) {
    if (JsonEvents()) return;
    EndProgress();
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void ShowProgress(size_t running, unsigned long long bytes) {
    if (JsonEvents()) return;
    const unsigned long long now = GetTickCount64();
    if (g_progressShown && now - g_progressTick < 100) return;
    g_progressTick = now;
    g_progressShown = true;
    std::fprintf(stderr, "\r%zu running, %llu bytes moved   ", running, bytes);
    std::fflush(stderr);
}

void EndProgress() {
    if (!g_progressShown) return;
    std::fputs("\r                                                  \r", stderr);
    std::fflush(stderr);
    g_progressShown = false;
}

} // namespace twoway
