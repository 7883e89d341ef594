// One line per event on stdout: JSON objects with --json, short key=value text otherwise.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Chooses the rendering of every Event emitted later (default: text).
void SetJsonOutput(bool json);
bool JsonOutput();
// Tags every event emitted from now on with "iteration": n (0: no tag), so the
// events of the runs of one command in one process can be told apart.
void SetEventIteration(unsigned long n);

// Builds one event as an ordered list of fields. Nested objects are Events too.
class Event {
  public:
    Event() = default;
    explicit Event(const char *eventName);

    Event &Number(const char *key, long long value);
    Event &Unsigned(const char *key, unsigned long long value);
    Event &Bool(const char *key, bool value);
    Event &Null(const char *key);
    // An 8-bit text (UTF-8 or plain bytes); null pointer gives null.
    Event &Text(const char *key, const char *value);
    // A wide text, written as UTF-8; null pointer gives null.
    Event &Wide(const char *key, const wchar_t *value);
    Event &Object(const char *key, const Event &object);
    Event &NumberList(const char *key, const std::vector<long long> &values);

    // The fields as one JSON object.
    std::string Json() const;
    // Writes the event as one line and flushes stdout.
    void Emit() const;

  private:
    Event &Raw(const char *key, const std::string &jsonValue, const std::string &textValue);

    std::string json_;
    std::string text_;
};

// Emits {"event": "error", "text": ...}; returns exitCode so callers can `return HostError(...)`.
int HostError(int exitCode, const std::string &text);

// UTF-16 to UTF-8 (invalid sequences replaced).
std::string Utf8(const wchar_t *text);
