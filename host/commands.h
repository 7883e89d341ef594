// The command table: each command file contributes one group of named commands.
#pragma once
#include "library.h"

#include <span>

// Exit codes of the host.
enum HostExit : int { ExitOk = 0, ExitFailure = 1, ExitUsage = 2, ExitTimeout = 3 };

// What a command gets: the loaded DLL, its own arguments and the global options.
struct CommandContext {
    Library &library;               // a command that unloads the library loads it here again before it returns
    std::span<wchar_t *const> args; // the arguments after the command name
    DWORD timeoutSeconds;
};

struct Command {
    const wchar_t *name;
    const char *usage; // the arguments, as shown in the usage text
    int (*run)(CommandContext &context);
    const char *summary = nullptr; // what it does, for --help (commands for tests have none)
};

// The groups, one per command file: the sample commands a host developer reads,
std::span<const Command> HousekeepingCommands();
std::span<const Command> TransportHelperCommands();
std::span<const Command> AccountCommands();
std::span<const Command> FileCommands();
std::span<const Command> SyncCommands(); // host/sync/
// and the commands for tests, which drive the test DLL's hooks (host/testing/).
std::span<const Command> ExecCommands();
std::span<const Command> StoreRawCommands();
std::span<const Command> ThreadTableCommands();
std::span<const Command> ParallelCommands();
std::span<const Command> HeapCommands();
std::span<const Command> NonceCommands();
std::span<const Command> LifetimeCommands();
std::span<const Command> ResumeCommands();
std::span<const Command> LocalFileCommands();

// Finds a command by name across all groups; null when unknown.
const Command *FindCommand(const wchar_t *name);
// Writes the usage lines to stderr (after bad options).
void PrintUsage();
// The --help text: options, every command, how folders are named, the exit codes.
std::string HelpText();

// Argument helpers shared by the command files.
int UsageError(const Command &command);
bool ParseUnsigned(const wchar_t *text, unsigned long long &value);
std::string Narrow(const wchar_t *text); // command-line text to UTF-8
