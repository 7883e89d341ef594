// Commands for the small services: crack, proxy, date.
#include "commands.h"
#include "output.h"

namespace {

int RunCrack(CommandContext &context);
int RunProxy(CommandContext &context);
int RunDate(CommandContext &context);

const Command kCommands[] = {
    {L"crack", "URL", RunCrack},
    {L"proxy", "", RunProxy},
    {L"date", "TEXT", RunDate},
};

// A host-owned marker: an out-value still equal to it was not written by the library.
wchar_t g_untouched[] = L"untouched";

// CrackHostAndPath; on success both texts go back to the process heap.
int RunCrack(CommandContext &context) {
    if (context.args.size() != 1) return UsageError(kCommands[0]);
    if (!HasExport(context.library.crackHostAndPath, "CrackHostAndPath")) return ExitFailure;
    wchar_t *host = g_untouched;
    wchar_t *path = g_untouched;
    DWORD result = context.library.crackHostAndPath(context.args[0], &host, &path);
    bool hostWritten = host != g_untouched;
    bool pathWritten = path != g_untouched;
    Event event("result");
    event.Text("export", "CrackHostAndPath").Unsigned("return", result);
    event.Bool("host_written", hostWritten).Bool("path_written", pathWritten);
    event.Wide("host", hostWritten ? host : nullptr).Wide("path", pathWritten ? path : nullptr);
    event.Emit();
    // After a failure nothing was handed over, whatever the pointers hold.
    if (result == 0) {
        if (hostWritten && host != nullptr) HeapFree(GetProcessHeap(), 0, host);
        if (pathWritten && path != nullptr) HeapFree(GetProcessHeap(), 0, path);
    }
    return ExitOk;
}

// GetProxyInfo; the server text is a library block.
int RunProxy(CommandContext &context) {
    if (!context.args.empty()) return UsageError(kCommands[1]);
    if (!HasExport(context.library.getProxyInfo, "GetProxyInfo")) return ExitFailure;
    DWORD type = 0xFFFFFFFF;
    wchar_t *server = g_untouched;
    context.library.getProxyInfo(&type, &server);
    bool serverWritten = server != g_untouched;
    Event("result")
        .Text("export", "GetProxyInfo")
        .Null("return")
        .Unsigned("type", type)
        .Bool("server_written", serverWritten)
        .Wide("server", serverWritten ? server : nullptr)
        .Emit();
    if (serverWritten && server != nullptr) context.library.freeDropBoxMemory(server);
    return ExitOk;
}

int RunDate(CommandContext &context) {
    if (context.args.size() != 1) return UsageError(kCommands[2]);
    if (!HasExport(context.library.convertToFILETIME, "ConvertToFILETIME")) return ExitFailure;
    std::string text = Narrow(context.args[0]);
    Event("result")
        .Text("export", "ConvertToFILETIME")
        .Unsigned("return", context.library.convertToFILETIME(text.c_str()))
        .Emit();
    return ExitOk;
}

} // namespace

std::span<const Command> TransportHelperCommands() { return kCommands; }
