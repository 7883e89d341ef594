// The list of command groups and the helpers every command file shares.
#include "commands.h"

#include "output.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using Group = std::span<const Command> (*)();

// A new command file adds its group to one of these.
constexpr Group kSampleGroups[] = {AccountCommands, FileCommands, SyncCommands, HousekeepingCommands,
                                   TransportHelperCommands};
constexpr Group kTestGroups[] = {ExecCommands,  StoreRawCommands, ThreadTableCommands, ParallelCommands, HeapCommands,
                                 NonceCommands, LifetimeCommands, ResumeCommands,      LocalFileCommands,
                                 SessionCommands, SoakCommands};

const Command *FindIn(std::span<const Group> groups, const wchar_t *name) {
    for (Group group : groups)
        for (const Command &command : group())
            if (std::wcscmp(command.name, name) == 0) return &command;
    return nullptr;
}

// The commands of groups, each with its arguments and, when it has one, what it does.
std::string Listed(std::span<const Group> groups) {
    std::string text;
    for (Group group : groups)
        for (const Command &command : group()) {
            text += "  " + Utf8(command.name) + (*command.usage != '\0' ? " " : "") + command.usage + "\n";
            if (command.summary != nullptr) text += std::string("      ") + command.summary + "\n";
        }
    return text;
}

constexpr char kUsage[] =
    "usage: velmora-sync.exe [--dll PATH] [--json | --verbose] [--timeout SECONDS] COMMAND [ARGS]\n"
    "       velmora-sync.exe [--dll PATH] [--json] --version\n"
    "       velmora-sync.exe --help\n";

constexpr char kOptions[] =
    "options:\n"
    "  --dll PATH         the library to load (default: the one beside this program)\n"
    "  --json             one JSON object per line on stdout: each message of the library, each\n"
    "                     result; nothing else there (the library's own lines go to stderr)\n"
    "  --verbose          also show the library's own diagnostic lines (on stderr)\n"
    "  --timeout SECONDS  how long to wait for the library (default 60)\n"
    "  --repeat N | --fault-loop KIND[:ERROR]   run the command N times, or once per N with the\n"
    "                     N-th call of KIND (alloc, CreateFileW, ...) failing until none fails\n"
    "                     (tests; --fault-loop needs the test library)\n"
    "  --watch-file PATH  each run reports the file before and after (tests)\n";

constexpr char kNames[] =
    "naming the account's folders:\n"
    "  FOLDER  as it stands in a URL, without a leading slash: Highlights, User%20Notes, User%20Tools\n"
    "  INDEX   0 Highlights, 1 User Notes, 2 User Tools (NAME: the file's plain name)\n"
    "  REMOTE  a plain path below the application folder: \"User Notes/Trip notes.txt\"\n";

constexpr char kExitCodes[] =
    "exit codes:\n"
    "  0  done\n"
    "  1  the operation failed (stderr says what went wrong and what to do next)\n"
    "  2  bad options or arguments\n"
    "  3  the library did not finish within --timeout\n"
    "  sync: 0 done, 1 some files failed (the next run tries them again), 2 aborted by a\n"
    "  guard before anything was written, 3 bad arguments.\n"
    "  With --json the commands that report one call's answer (creds, exchange, init, crack,\n"
    "  date, proxy, info, kill, free-null) exit 0 once the call was made: the answer is in the\n"
    "  result event.\n";

} // namespace

const Command *FindCommand(const wchar_t *name) {
    const Command *command = FindIn(kSampleGroups, name);
    return command != nullptr ? command : FindIn(kTestGroups, name);
}

void PrintUsage() {
    const std::string text = std::string(kUsage) + "velmora-sync.exe --help lists the commands\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string HelpText() {
    std::string text = std::string("velmora-sync.exe " VELMORA_SYNC_VERSION_STRING
                                   ": the reference host of the Velmora sync library\n\n") +
                       kUsage + "\n" + kOptions + "\ncommands:\n" + Listed(kSampleGroups) +
                       "commands for tests (most need the test library, VelmoraSync64Faults.dll):\n" +
                       Listed(kTestGroups) + "\n" + kNames + "\n" + kExitCodes;
    text.pop_back(); // printed as one line
    return text;
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
