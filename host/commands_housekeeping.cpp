// Commands for the housekeeping exports: info, free-null, kill.
#include "commands.h"
#include "output.h"

#include <cstring>
#include <string>

namespace {

int RunInfo(CommandContext &context);
int RunFreeNull(CommandContext &context);
int RunKill(CommandContext &context);

const Command kCommands[] = {
    {L"info", "TEXT | --null | --repeat N CHAR", RunInfo, "hands the library a text (SetInfo)"},
    {L"free-null", "", RunFreeNull, "FreeDropBoxMemory(NULL): what it answers"},
    {L"kill", "THREAD_ID", RunKill, "releases a worker with KillDropBoxThread"},
};
const Command &kInfo = kCommands[0];
const Command &kFreeNull = kCommands[1];
const Command &kKill = kCommands[2];

// SetInfo with the text, with NULL (--null) or with N copies of one character (--repeat).
int RunInfo(CommandContext &context) {
    if (!HasExport(context.library.setInfo, "SetInfo")) return ExitFailure;
    const auto &args = context.args;
    std::wstring_view first = args.empty() ? std::wstring_view() : std::wstring_view(args[0]);
    std::string text;
    bool null = false;
    if (args.size() == 1 && first == L"--null") {
        null = true;
    } else if (args.size() == 3 && first == L"--repeat") {
        unsigned long long count = 0;
        std::string unit = Narrow(args[2]);
        if (!ParseUnsigned(args[1], count) || count > 100000000ull || unit.size() != 1) return UsageError(kInfo);
        text.assign(static_cast<size_t>(count), unit[0]);
    } else if (args.size() == 1 && !first.starts_with(L"--")) {
        text = Narrow(args[0]);
    } else {
        return UsageError(kInfo);
    }
    context.library.setInfo(null ? nullptr : text.c_str());
    if (!JsonOutput()) {
        Say(null ? "SetInfo(NULL): the library ignores it"
                 : "SetInfo: " + std::to_string(text.size()) + " bytes handed over (the library keeps at most 999)");
        return ExitOk;
    }
    Event event("result");
    event.Text("export", "SetInfo").Null("return");
    if (null)
        event.Null("length");
    else
        event.Unsigned("length", text.size());
    // The test DLL lets the host see what the library kept (one byte more than
    // its buffer, so a missing terminator shows).
    if (const DebugStoredInfoFn storedInfo = context.library.hooks.storedInfo) {
        std::string stored(1001, '\0');
        const DWORD storedLength = storedInfo(stored.data(), static_cast<DWORD>(stored.size()));
        stored.resize(std::strlen(stored.c_str()));
        event.Unsigned("stored_length", storedLength).Text("stored", stored.c_str());
    }
    event.Emit();
    return ExitOk;
}

int RunFreeNull(CommandContext &context) {
    if (!context.args.empty()) return UsageError(kFreeNull);
    const int returned = context.library.freeDropBoxMemory(nullptr);
    if (JsonOutput())
        Event("result").Text("export", "FreeDropBoxMemory").Number("return", returned).Emit();
    else
        Say("FreeDropBoxMemory(NULL) returned " + std::to_string(returned));
    return ExitOk;
}

int RunKill(CommandContext &context) {
    unsigned long long id = 0;
    if (context.args.size() != 1 || !ParseUnsigned(context.args[0], id) || id > 0xFFFFFFFFull) return UsageError(kKill);
    const int returned = context.library.killDropBoxThread(static_cast<DWORD>(id));
    if (JsonOutput()) {
        Event("result").Text("export", "KillDropBoxThread").Number("return", returned).Emit();
        return ExitOk;
    }
    if (returned == 1) {
        Say("released worker " + std::to_string(id));
        return ExitOk;
    }
    return HostError(ExitFailure, "KillDropBoxThread(" + std::to_string(id) + ") returned " + std::to_string(returned) +
                                      (returned == 0 ? ": the library tracks no worker with that id" : ""));
}

} // namespace

std::span<const Command> HousekeepingCommands() { return kCommands; }
