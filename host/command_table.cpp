// The list of command groups and the helpers every command file shares.
#include "commands.h"

#include "output.h"

#include <cstdio>
#include <cwchar>

namespace {

// A new command file adds its group here.
std::span<const Command> (*const kGroups[])() = {
    HousekeepingCommands, TransportHelperCommands, AccountCommands, DebugCommands, CredsDebugCommands, ThreadCommands,
};

} // namespace

const Command *FindCommand(const wchar_t *name) {
    for (auto group : kGroups)
        for (const Command &command : group())
            if (std::wcscmp(command.name, name) == 0) return &command;
    return nullptr;
}

void PrintUsage() {
    std::fputs("usage: velmora-sync.exe [--dll PATH] [--json] [--timeout SECONDS] COMMAND [ARGS]\ncommands:\n", stderr);
    for (auto group : kGroups)
        for (const Command &command : group())
            std::fprintf(stderr, "  %s %s\n", Utf8(command.name).c_str(), command.usage);
}

int UsageError(const Command &command) {
    return HostError(ExitUsage, "usage: " + Utf8(command.name) + " " + command.usage);
}

bool ParseUnsigned(const wchar_t *text, unsigned long long &value) {
    if (text == nullptr || *text < L'0' || *text > L'9') return false;
    wchar_t *end = nullptr;
    value = std::wcstoull(text, &end, 10);
    return *end == L'\0';
}

std::string Narrow(const wchar_t *text) { return Utf8(text); }
