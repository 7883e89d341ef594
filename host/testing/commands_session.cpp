// A command that runs other commands one after another in one process, each as a driver on
// stdin asks for it: session. Lets a test change the service between two operations.
#include "../commands.h"
#include "../output.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int RunSession(CommandContext &context);

const Command kCommands[] = {
    {L"session", "(steps on stdin, one per line, fields separated by tabs)", RunSession},
};

// The longest step line taken, in UTF-8 bytes.
constexpr size_t kLineCapacity = 16384;

// One step line as wide fields; false at the end of the input, or for a line
// that is too long or not UTF-8 (fields empty then).
bool ReadStep(std::vector<std::wstring> &fields, bool &valid) {
    fields.clear();
    valid = true;
    std::vector<char> line(kLineCapacity + 2);
    if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) return false;
    size_t length = std::strlen(line.data());
    if (length > kLineCapacity) {
        valid = false;
        // The rest of an overlong line is read and dropped.
        while (line[length - 1] != '\n' && std::fgets(line.data(), static_cast<int>(line.size()), stdin) != nullptr)
            length = std::strlen(line.data());
        return true;
    }
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
    const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(), static_cast<int>(length),
                                         nullptr, 0);
    if (length != 0 && wide <= 0) {
        valid = false;
        return true;
    }
    std::wstring text(static_cast<size_t>(wide), L'\0');
    if (wide > 0)
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(length), text.data(), wide);
    size_t start = 0;
    for (;;) {
        const size_t tab = text.find(L'\t', start);
        fields.push_back(text.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) break;
        start = tab + 1;
    }
    return true;
}

// The steps of the session itself, beside the commands of the table.
// setenv NAME [VALUE]: sets (or, without VALUE, removes) a variable of this
// process; the test DLL reads some of its settings at each request.
int RunSetenv(const std::vector<wchar_t *> &args) {
    if (args.empty() || args.size() > 2) return HostError(ExitUsage, "usage: setenv NAME [VALUE]");
    if (!SetEnvironmentVariableW(args[0], args.size() == 2 ? args[1] : nullptr))
        return HostError(ExitFailure, "cannot set " + Narrow(args[0]));
    return ExitOk;
}

// access TOKEN SECRET: one CheckForAccessTokenResponse.
int RunAccess(const Library &library, const std::vector<wchar_t *> &args) {
    if (args.size() != 2) return HostError(ExitUsage, "usage: access TOKEN SECRET");
    if (!HasExport(library.checkForAccessTokenResponse, "CheckForAccessTokenResponse")) return ExitFailure;
    Event("result")
        .Text("export", "CheckForAccessTokenResponse")
        .Number("return", library.checkForAccessTokenResponse(args[0], args[1]))
        .Emit();
    return ExitOk;
}

// Runs one step; its events are those of the command it names.
int RunStep(CommandContext &context, std::vector<std::wstring> &fields) {
    std::vector<wchar_t *> args;
    for (size_t i = 1; i < fields.size(); ++i) args.push_back(fields[i].data());
    const std::wstring &name = fields[0];
    if (name == L"setenv") return RunSetenv(args);
    if (name == L"access") return RunAccess(context.library, args);
    const Command *command = FindCommand(name.c_str());
    if (command == nullptr || command->run == RunSession) return HostError(ExitUsage, "unknown step " + Narrow(name.c_str()));
    CommandContext step{context.library, std::span<wchar_t *const>(args.data(), args.size()), context.timeoutSeconds};
    return command->run(step);
}

// session: reads steps from stdin until "end" or the end of the input. A step
// is a command of the table with its arguments (or setenv, access), fields
// separated by tabs, so that paths and names may hold spaces. Every event of
// step n carries "iteration": n; the step ends with (test DLL) the counters,
// its workers waited for first, and {"event": "step", "code"}. A driver
// writes the next step once it has read that event, so it can change the
// service (faults, files) between two steps. Returns ExitOk: each step's
// outcome is in its events.
int RunSession(CommandContext &context) {
    if (!context.args.empty()) return UsageError(kCommands[0]);
    const TestHooks &hooks = context.library.hooks;
    std::vector<std::wstring> fields;
    bool valid = true;
    for (unsigned long n = 1; ReadStep(fields, valid); ++n) {
        if (valid && fields.size() == 1 && fields[0] == L"end") break;
        SetEventIteration(n);
        int code = ExitUsage;
        if (!valid || fields.empty() || fields[0].empty())
            HostError(ExitUsage, "a step line must be UTF-8 text of at most 16384 bytes");
        else
            code = RunStep(context, fields);
        Event step("step");
        step.Number("code", code);
        if (hooks.waitForWorkers != nullptr)
            step.Bool("workers_ended", hooks.waitForWorkers(context.timeoutSeconds * 1000) == 1);
        if (hooks.counters != nullptr) {
            long outstanding = -1;
            unsigned long outOfMemory = 0;
            hooks.counters(&outstanding, &outOfMemory);
            step.Number("outstanding_blocks", outstanding).Unsigned("out_of_memory", outOfMemory);
        }
        step.Emit();
        SetEventIteration(0);
    }
    return ExitOk;
}

} // namespace

std::span<const Command> SessionCommands() { return kCommands; }
