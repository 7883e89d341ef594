// Rendering of what the host prints: JSON lines (nlohmann::json), lines for
// people, the progress line.
#include "output.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

bool g_json = false;
unsigned long g_iteration = 0;
int g_stdout = -1; // -1: the C runtime's stdout

// The progress line: drawn only where a person watches it redrawn (stderr a
// terminal); its width when drawn (0: none open) and when it was.
bool g_progressShown = false;
size_t g_progressWidth = 0;
ULONGLONG g_progressTick = 0;

// One write of the whole line: lines of several threads never interleave.
void WriteHostStdout(const std::string &line) {
    if (g_stdout < 0) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        return;
    }
    size_t written = 0;
    while (written < line.size()) {
        const int chunk = _write(g_stdout, line.data() + written, static_cast<unsigned>(line.size() - written));
        if (chunk <= 0) return; // stdout closed: nothing more to say
        written += static_cast<size_t>(chunk);
    }
}

void WriteStderr(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string Dump(const Json &value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

} // namespace

void SetJsonOutput(bool json) {
    g_json = json;
    // Keep "\n" as written: drivers read exact lines.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    g_progressShown = !json && _isatty(_fileno(stderr)) != 0;
}

bool JsonOutput() { return g_json; }

void SetEventIteration(unsigned long n) { g_iteration = n; }

void SetHostStdout(int descriptor) { g_stdout = descriptor; }

std::string Utf8(const wchar_t *text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes - 1));
    return out;
}

Event::Event(const char *eventName) { fields_["event"] = eventName; }

Event &Event::Number(const char *key, long long value) {
    fields_[key] = value;
    return *this;
}

Event &Event::Unsigned(const char *key, unsigned long long value) {
    fields_[key] = value;
    return *this;
}

Event &Event::Bool(const char *key, bool value) {
    fields_[key] = value;
    return *this;
}

Event &Event::Null(const char *key) {
    fields_[key] = nullptr;
    return *this;
}

Event &Event::Text(const char *key, const char *value) {
    if (value == nullptr) return Null(key);
    fields_[key] = value;
    return *this;
}

Event &Event::Wide(const char *key, const wchar_t *value) {
    if (value == nullptr) return Null(key);
    fields_[key] = Utf8(value);
    return *this;
}

Event &Event::Object(const char *key, const Event &object) {
    fields_[key] = object.fields_;
    return *this;
}

Event &Event::NumberList(const char *key, const std::vector<long long> &values) {
    fields_[key] = values;
    return *this;
}

void Event::Emit() const {
    if (g_json) {
        EmitJson(fields_);
        return;
    }
    std::string line;
    for (const auto &[key, value] : fields_.items()) {
        if (key == "event") {
            line += value.get<std::string>();
            continue;
        }
        line += " " + key + "=" + Dump(value);
    }
    if (g_iteration != 0) line += " iteration=" + std::to_string(g_iteration);
    Say(line);
}

void EmitJson(Json object) {
    if (!g_json) return;
    if (g_iteration != 0) object["iteration"] = g_iteration;
    WriteHostStdout(Dump(object) + "\n");
}

void Say(const std::string &line) {
    if (g_json) return;
    ClearProgress();
    WriteHostStdout(line + "\n");
}

void Tell(const std::string &line) {
    if (g_json) return;
    ClearProgress();
    WriteStderr(line + "\n");
}

bool ProgressShown() { return g_progressShown; }

void DrawProgress(const std::string &text, bool force) {
    if (!g_progressShown) return;
    const ULONGLONG now = GetTickCount64();
    if (g_progressWidth != 0 && now - g_progressTick < 100 && !force) return;
    g_progressTick = now;
    // Spaces over what a longer earlier drawing left.
    const size_t width = text.size() + 1;
    const std::string padding(g_progressWidth > width ? g_progressWidth - width : 0, ' ');
    WriteStderr("\r" + text + " " + padding);
    g_progressWidth = width;
}

void ClearProgress() {
    if (g_progressWidth == 0) return;
    WriteStderr("\r" + std::string(g_progressWidth, ' ') + "\r");
    g_progressWidth = 0;
}

int HostError(int exitCode, const std::string &text, const std::string &hint) {
    if (g_json) {
        EmitJson(Json{{"event", "error"}, {"text", text}});
        return exitCode;
    }
    Tell("error: " + text);
    if (!hint.empty()) Tell(hint);
    return exitCode;
}

std::string SizeText(unsigned long long bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10.0 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string DurationText(unsigned long long milliseconds) {
    char text[32];
    if (milliseconds < 10000)
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
    else if (milliseconds < 120000)
        std::snprintf(text, sizeof text, "%llu s", milliseconds / 1000);
    else
        std::snprintf(text, sizeof text, "%llu min %llu s", milliseconds / 60000, milliseconds / 1000 % 60);
    return text;
}
