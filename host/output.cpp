// Rendering of host events as JSON lines or short text lines.
#include "output.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

bool g_json = false;
unsigned long g_iteration = 0;

std::string Quoted(const std::string &utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

} // namespace

void SetJsonOutput(bool json) {
    g_json = json;
    // Keep "\n" as written: the test harness reads exact lines.
    _setmode(_fileno(stdout), _O_BINARY);
}

bool JsonOutput() { return g_json; }

void SetEventIteration(unsigned long n) { g_iteration = n; }

std::string Utf8(const wchar_t *text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes - 1));
    return out;
}

Event::Event(const char *eventName) {
    json_ = Quoted("event") + ": " + Quoted(eventName);
    text_ = eventName; // text lines start with the bare event name
}

Event &Event::Raw(const char *key, const std::string &jsonValue, const std::string &textValue) {
    json_ += json_.empty() ? "" : ", ";
    json_ += Quoted(key) + ": " + jsonValue;
    text_ += text_.empty() ? "" : " ";
    text_ += std::string(key) + "=" + textValue;
    return *this;
}

Event &Event::Number(const char *key, long long value) {
    std::string v = std::to_string(value);
    return Raw(key, v, v);
}

Event &Event::Unsigned(const char *key, unsigned long long value) {
    std::string v = std::to_string(value);
    return Raw(key, v, v);
}

Event &Event::NumberList(const char *key, const std::vector<long long> &values) {
    std::string list;
    for (long long value : values) list += (list.empty() ? "" : ", ") + std::to_string(value);
    return Raw(key, "[" + list + "]", "[" + list + "]");
}

Event &Event::Bool(const char *key, bool value) {
    const char *v = value ? "true" : "false";
    return Raw(key, v, v);
}

Event &Event::Null(const char *key) { return Raw(key, "null", "null"); }

Event &Event::Text(const char *key, const char *value) {
    if (value == nullptr) return Null(key);
    std::string quoted = Quoted(value);
    return Raw(key, quoted, quoted);
}

Event &Event::Wide(const char *key, const wchar_t *value) {
    if (value == nullptr) return Null(key);
    std::string quoted = Quoted(Utf8(value));
    return Raw(key, quoted, quoted);
}

Event &Event::Object(const char *key, const Event &object) { return Raw(key, object.Json(), "{" + object.text_ + "}"); }

std::string Event::Json() const { return "{" + json_ + "}"; }

void Event::Emit() const {
    Event tagged = *this;
    if (g_iteration != 0) tagged.Unsigned("iteration", g_iteration);
    std::string line = (g_json ? tagged.Json() : tagged.text_) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int HostError(int exitCode, const std::string &text) {
    Event("error").Text("text", text.c_str()).Emit();
    return exitCode;
}
