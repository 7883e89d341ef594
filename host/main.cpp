// velmora-sync.exe: the reference host. Loads the sync DLL, runs one command,
// prints what the library returned and sent.
#include "commands.h"
#include "library_output.h"
#include "output.h"
#include "testing/runs.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Options {
    std::wstring dllPath;
    bool json = false;
    bool verbose = false; // --verbose: the library's own lines on stderr in text mode too
    bool version = false; // --version: print the versions, run no command
    bool help = false;    // --help: print the help text, run no command
    DWORD timeoutSeconds = 60;
    RunPlan runs;         // --repeat N, --fault-loop KIND, --watch-file PATH: the command more than once (for tests)
    int commandIndex = 0; // argv index of the command name; 0 when missing
};

bool ParseOptions(int argc, wchar_t **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring_view arg = argv[i];
        if (arg == L"--json") {
            options.json = true;
        } else if (arg == L"--verbose") {
            options.verbose = true;
        } else if (arg == L"--help" || arg == L"-h") {
            options.help = true;
            return true;
        } else if (arg == L"--version") {
            options.version = true;
        } else if (arg == L"--dll" && i + 1 < argc) {
            options.dllPath = argv[++i];
        } else if (arg == L"--timeout" && i + 1 < argc) {
            unsigned long long seconds = 0;
            if (!ParseUnsigned(argv[++i], seconds) || seconds == 0 || seconds > 86400) return false;
            options.timeoutSeconds = static_cast<DWORD>(seconds);
        } else if (arg == L"--repeat" && i + 1 < argc && !options.runs.faultLoop) {
            unsigned long long count = 0;
            if (!ParseUnsigned(argv[++i], count) || count == 0 || count > 1000) return false;
            options.runs.repeat = static_cast<unsigned long>(count);
        } else if (arg == L"--fault-loop" && i + 1 < argc && options.runs.repeat == 0) {
            if (!ParseFaultLoop(argv[++i], options.runs)) return false;
        } else if (arg == L"--watch-file" && i + 1 < argc) {
            options.runs.watchFile = argv[++i];
        } else if (arg.starts_with(L"--")) {
            return false;
        } else {
            options.commandIndex = i;
            return true;
        }
    }
    return options.version;
}

// --version: the host's version (that of the header it was built with, which
// the build keeps equal to the project's) and that of the DLL it loads, from
// the DLL's version resource. Fails when the DLL does not load or has none.
int PrintVersions(const std::wstring &dllPath) {
    Library library;
    std::string reason;
    const bool loaded = LoadSyncLibrary(dllPath, library, reason);
    std::wstring path = dllPath;
    std::string version;
    const bool found = loaded && LibraryVersion(library, path, version);
    if (JsonOutput()) {
        Event event("version");
        event.Text("host", VELMORA_SYNC_VERSION_STRING).Wide("library_path", path.c_str());
        (found ? event.Text("library", version.c_str()) : event.Null("library")).Emit();
    } else {
        Say("velmora-sync.exe " VELMORA_SYNC_VERSION_STRING);
        if (loaded) Say(Utf8(path.c_str()) + " " + (found ? version : std::string("(no version resource)")));
    }
    if (!loaded) return HostError(ExitFailure, reason);
    return found ? ExitOk : ExitFailure;
}

// Only the test DLL has the counters; they prove that nothing the library handed
// out is left, and that blocks which held the watched secret were wiped before
// they were freed (watched_at_free; -1 when VELMORA_WATCH_SECRET is not set).
void EmitCounters(const Library &library) {
    if (library.hooks.counters == nullptr) return;
    long outstanding = -1;
    unsigned long outOfMemory = 0;
    library.hooks.counters(&outstanding, &outOfMemory);
    Event event("counters");
    event.Number("outstanding_blocks", outstanding).Unsigned("out_of_memory", outOfMemory);
    if (library.hooks.watchedBlocks != nullptr) {
        long atWipe = -1;
        long atFree = -1;
        library.hooks.watchedBlocks(&atWipe, &atFree);
        event.Number("watched_at_wipe", atWipe).Number("watched_at_free", atFree);
    }
    event.Emit();
}

} // namespace

namespace {

int Run(int argc, wchar_t **argv) {
    Options options;
    bool parsed = ParseOptions(argc, argv, options);
    SetJsonOutput(options.json && !options.help);
    if (options.help) {
        Say(HelpText());
        return ExitOk;
    }
    // Before the library is loaded: its lines must never reach the host's stdout.
    RouteLibraryOutput(options.json || options.verbose);
    if (!parsed) {
        PrintUsage();
        return HostError(ExitUsage, "bad options or no command");
    }
    const std::wstring dllPath = options.dllPath.empty() ? DefaultLibraryPath() : options.dllPath;
    if (options.version) return PrintVersions(dllPath);
    const Command *command = FindCommand(argv[options.commandIndex]);
    if (command == nullptr) {
        PrintUsage();
        return HostError(ExitUsage, "unknown command " + Utf8(argv[options.commandIndex]));
    }

    Library library;
    std::string reason;
    if (!LoadSyncLibrary(dllPath, library, reason)) return HostError(ExitFailure, reason);
    if (!HasExport(library.freeDropBoxMemory, "FreeDropBoxMemory") ||
        !HasExport(library.killDropBoxThread, "KillDropBoxThread"))
        return ExitFailure;

    int first = options.commandIndex + 1;
    CommandContext context{library, std::span<wchar_t *const>(argv + first, static_cast<size_t>(argc - first)),
                           options.timeoutSeconds};
    int exitCode = options.runs.repeat != 0 || options.runs.faultLoop ? RunRepeatedly(*command, context, options.runs)
                                                                      : command->run(context);
    EmitCounters(library);
    // The last line: a driver can tell a run that finished from one cut short.
    if (JsonOutput()) Event("exit").Number("code", exitCode).Emit();
    // The library is not unloaded: a worker may still be running after a timeout.
    return exitCode;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    const int exitCode = Run(argc, argv);
    FinishLibraryOutput();
    return exitCode;
}
