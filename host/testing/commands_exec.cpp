// Commands that drive test hooks of the test DLL: exec, revision.
#include "../commands.h"
#include "../output.h"

#include <cstring>
#include <string>

namespace {

int RunExec(CommandContext &context);
int RunRevision(CommandContext &context);

const Command kCommands[] = {
    {L"exec", "URL [--measure]", RunExec},
    {L"revision", "REMOTE", RunRevision},
};

// FNV-1a over the body, so a test can check every byte without printing them.
unsigned long long Fnv1a64(const char *bytes, size_t length) {
    unsigned long long hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

// exec URL [--measure]: one exchange through the test hook; the body goes back
// to the library with FreeDropBoxMemory.
int RunExec(CommandContext &context) {
    const size_t argc = context.args.size();
    const bool measure = argc == 2 && std::wstring_view(context.args[1]) == L"--measure";
    if (argc != 1 && !measure) return UsageError(kCommands[0]);
    const DebugExecuteFn execute = context.library.hooks.execute;
    if (!HasExport(execute, "VelmoraDebugExecute")) return ExitFailure;

    DWORD status = 0xFFFFFFFF;
    DWORD count = 0xFFFFFFFF;
    char *body = nullptr;
    const int result = execute(context.args[0], measure ? 1 : 0, &status, &count, &body);
    Event event("result");
    event.Text("export", "VelmoraDebugExecute").Number("return", result).Unsigned("status", status);
    event.Unsigned("count", count);
    if (body == nullptr) {
        event.Null("body_length").Null("body").Null("body_fnv1a64");
    } else {
        const size_t length = std::strlen(body);
        event.Unsigned("body_length", length);
        event.Text("body", std::string(body, length < 200 ? length : 200).c_str());
        event.Unsigned("body_fnv1a64", Fnv1a64(body, length));
    }
    event.Emit();
    if (body != nullptr) context.library.freeDropBoxMemory(body);
    return ExitOk;
}

// revision REMOTE: the upload's revision lookup of REMOTE ("User Notes/a.txt")
// through the test hook; the text goes back with FreeDropBoxMemory.
int RunRevision(CommandContext &context) {
    if (context.args.size() != 1) return UsageError(kCommands[1]);
    const DebugRevisionFn lookup = context.library.hooks.revision;
    if (!HasExport(lookup, "VelmoraDebugRevision")) return ExitFailure;
    char *revision = nullptr;
    const int result = lookup(context.args[0], &revision);
    Event("result").Text("export", "VelmoraDebugRevision").Number("return", result).Text("revision", revision).Emit();
    if (revision != nullptr) context.library.freeDropBoxMemory(revision);
    return result == 200 || result == 404 ? ExitOk : ExitFailure;
}

} // namespace

std::span<const Command> ExecCommands() { return kCommands; }
