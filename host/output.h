// What the host prints. With --json: one JSON object per line on stdout and
// nothing else there. Without: lines for people on stdout, errors and the one
// redrawn progress line on stderr.
#pragma once
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

// Chooses the rendering of everything printed later (default: text).
void SetJsonOutput(bool json);
bool JsonOutput();
// Tags every event emitted from now on with "iteration": n (0: no tag), so the
// events of the runs of one command in one process can be told apart.
void SetEventIteration(unsigned long n);

// Where the host's own stdout lines go: the C runtime's stdout as the process
// got it, or the descriptor it was saved in when the library's output was
// moved away from it (host/library_output.cpp).
void SetHostStdout(int descriptor);

// One event: {"event": name, fields in the order added}. Build one only when
// it is printed (JsonOutput(), or a command for tests, whose events are its
// text output too).
class Event {
  public:
    Event() = default;
    explicit Event(const char *eventName);

    Event &Number(const char *key, long long value);
    Event &Unsigned(const char *key, unsigned long long value);
    Event &Bool(const char *key, bool value);
    Event &Null(const char *key);
    // An 8-bit text (UTF-8 or plain bytes: what is not UTF-8 becomes U+FFFD); null pointer gives null.
    Event &Text(const char *key, const char *value);
    // A wide text, written as UTF-8; null pointer gives null.
    Event &Wide(const char *key, const wchar_t *value);
    Event &Object(const char *key, const Event &object);
    Event &NumberList(const char *key, const std::vector<long long> &values);

    const Json &Fields() const { return fields_; }
    // Prints the event: a JSON line with --json, else "name key=value ..." (the
    // commands for tests have no other text).
    void Emit() const;

  private:
    Json fields_ = Json::object();
};

// One JSON object as one line on stdout (--json only; tagged with the iteration).
void EmitJson(Json object);

// A line for people on stdout (text mode only; the progress line is cleared first).
void Say(const std::string &line);
// A line for people on stderr (text mode only): warnings, hints, prompts.
void Tell(const std::string &line);

// The one progress line on stderr (text mode, and only when stderr is a
// terminal: in a file or a pipe a redrawn line is noise): drawn again in place
// at most every 100 ms unless force, cleared before any other line is printed.
bool ProgressShown();
void DrawProgress(const std::string &text, bool force = false);
void ClearProgress();

// Reports a failure: with --json {"event": "error", "text": text}; in text
// mode "error: text" and, when given, the hint (what to do next) on stderr.
// Returns exitCode so callers can `return HostError(...)`.
int HostError(int exitCode, const std::string &text, const std::string &hint = {});

// UTF-16 to UTF-8 (invalid sequences replaced).
std::string Utf8(const wchar_t *text);

// Sizes for people: "0 B", "812 B", "1.2 KiB", "6.0 MiB", "3.1 GiB".
std::string SizeText(unsigned long long bytes);
// "0.2 s", "12 s", "2 min 5 s".
std::string DurationText(unsigned long long milliseconds);
