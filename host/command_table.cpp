// The list of command groups and the helpers every command file shares.
#include "commands.h"

#include "output.h"

#include <cstdio>
#include <cwchar>

namespace {

using Group = std::span<const Command> (*)();

// A new command file adds its group to one of these.
constexpr Group kSampleGroups[] = {HousekeepingCommands, TransportHelperCommands, AccountCommands, FileCommands,
                                   SyncCommands};
constexpr Group kTestGroups[] = {ExecCommands,  StoreRawCommands, ThreadTableCommands, ParallelCommands, HeapCommands,
                                 NonceCommands, LifetimeCommands, ResumeCommands,      LocalFileCommands};

const Command *FindIn(std::span<const Group> groups, const wchar_t *name) {
    for (Group group : groups)
        for (const Command &command : group())
            if (std::wcscmp(command.name, name) == 0) return &command;
    return nullptr;
}

void PrintGroups(std::span<const Group> groups) {
    for (Group group : groups)
        for (const Command &command : group())
            std::fprintf(stderr, "  %s %s\n", Utf8(command.name).c_str(), command.usage);
}

} // namespace

const Command *FindCommand(const wchar_t *name) {
    const Command *command = FindIn(kSampleGroups, name);
    return command != nullptr ? command : FindIn(kTestGroups, name);
}

void PrintUsage() {
    std::fputs(
        "usage: velmora-sync.exe --version [--dll PATH]\n"
        "       velmora-sync.exe [--dll PATH] [--json] [--timeout SECONDS] [--repeat N | --fault-loop KIND[:ERROR]] "
        "[--watch-file PATH] COMMAND [ARGS]\ncommands:\n",
        stderr);
    PrintGroups(kSampleGroups);
    std::fputs("commands for tests (test DLL only):\n", stderr);
    PrintGroups(kTestGroups);
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
