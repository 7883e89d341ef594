// Commands for the small services: crack, proxy, date.
#include "commands.h"
#include "human_text.h"
#include "output.h"

#include <cstdio>
#include <string_view>

namespace {

int RunCrack(CommandContext &context);
int RunProxy(CommandContext &context);
int RunDate(CommandContext &context);

const Command kCommands[] = {
    {L"crack", "URL|--null [--null-host | --null-path]", RunCrack,
     "splits a URL into host and path (CrackHostAndPath)"},
    {L"proxy", "[--null-type | --null-server]", RunProxy, "the proxy setting the library reads (GetProxyInfo)"},
    {L"date", "TEXT|--null", RunDate, "converts a service date to a FILETIME (ConvertToFILETIME)"},
};

// A host-owned marker: an out-value still equal to it was not written by the library.
wchar_t g_untouched[] = L"untouched";

constexpr unsigned long long kFiletimeOf1970 = 116444736000000000ull;

// The proxy type bit as people read it.
std::string ProxyText(DWORD type, const wchar_t *server) {
    switch (type) {
    case 0:
        return "the settings cannot be read";
    case 1:
        return "none (direct connection)";
    case 2:
        return "manual, " + (server != nullptr ? Utf8(server) : std::string("no server named"));
    case 4:
        return "automatic configuration script";
    case 8:
        return "detected automatically";
    default:
        return "type " + std::to_string(type);
    }
}

// A FILETIME value as "2014-10-29 19:30:19".
std::string UtcText(unsigned long long value) {
    const FILETIME time = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    SYSTEMTIME utc = {};
    if (!FileTimeToSystemTime(&time, &utc)) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond);
    return text;
}

// The one optional argument of a command, or an empty view; false when there
// are more arguments than that or it is not one of the two options given.
bool OneOption(std::span<wchar_t *const> args, std::wstring_view first, std::wstring_view second,
               std::wstring_view &option) {
    option = args.empty() ? std::wstring_view() : std::wstring_view(args[0]);
    return args.size() <= 1 && (option.empty() || option == first || option == second);
}

// CrackHostAndPath; on success both texts go back to the process heap. "--null"
// for the URL and --null-host / --null-path pass null pointers instead.
int RunCrack(CommandContext &context) {
    std::wstring_view option;
    if (context.args.empty() || !OneOption(context.args.subspan(1), L"--null-host", L"--null-path", option))
        return UsageError(kCommands[0]);
    if (!HasExport(context.library.crackHostAndPath, "CrackHostAndPath")) return ExitFailure;
    const wchar_t *url = std::wstring_view(context.args[0]) == L"--null" ? nullptr : context.args[0];
    wchar_t *host = g_untouched;
    wchar_t *path = g_untouched;
    DWORD result = context.library.crackHostAndPath(url, option == L"--null-host" ? nullptr : &host,
                                                    option == L"--null-path" ? nullptr : &path);
    bool hostWritten = host != g_untouched;
    bool pathWritten = path != g_untouched;
    if (JsonOutput()) {
        Event event("result");
        event.Text("export", "CrackHostAndPath").Unsigned("return", result);
        event.Bool("host_written", hostWritten).Bool("path_written", pathWritten);
        event.Wide("host", hostWritten ? host : nullptr).Wide("path", pathWritten ? path : nullptr);
        event.Emit();
    } else if (result == 0) {
        Say("host " + (hostWritten && host != nullptr ? Utf8(host) : std::string("(none)")));
        Say("path " + (pathWritten && path != nullptr ? Utf8(path) : std::string("(none)")));
    } else {
        HostError(ExitFailure, "the URL does not split: " + SystemErrorText(result));
    }
    // After a failure nothing was handed over, whatever the pointers hold.
    if (result == 0) {
        if (hostWritten && host != nullptr) HeapFree(GetProcessHeap(), 0, host);
        if (pathWritten && path != nullptr) HeapFree(GetProcessHeap(), 0, path);
    }
    // With --json the result event tells the outcome and the exit code only that the call was made.
    return JsonOutput() || result == 0 ? ExitOk : ExitFailure;
}

// GetProxyInfo; the server text is a library block. --null-type and
// --null-server pass a null pointer for that out-value.
int RunProxy(CommandContext &context) {
    std::wstring_view option;
    if (!OneOption(context.args, L"--null-type", L"--null-server", option)) return UsageError(kCommands[1]);
    if (!HasExport(context.library.getProxyInfo, "GetProxyInfo")) return ExitFailure;
    DWORD type = 0xFFFFFFFF;
    wchar_t *server = g_untouched;
    context.library.getProxyInfo(option == L"--null-type" ? nullptr : &type,
                                 option == L"--null-server" ? nullptr : &server);
    bool serverWritten = server != g_untouched;
    if (JsonOutput())
        Event("result")
            .Text("export", "GetProxyInfo")
            .Null("return")
            .Unsigned("type", type)
            .Bool("server_written", serverWritten)
            .Wide("server", serverWritten ? server : nullptr)
            .Emit();
    else
        Say("proxy: " + ProxyText(type, serverWritten ? server : nullptr));
    if (serverWritten && server != nullptr) context.library.freeDropBoxMemory(server);
    return ExitOk;
}

// ConvertToFILETIME of the text, or of a null pointer (--null).
int RunDate(CommandContext &context) {
    if (context.args.size() != 1) return UsageError(kCommands[2]);
    if (!HasExport(context.library.convertToFILETIME, "ConvertToFILETIME")) return ExitFailure;
    const bool null = std::wstring_view(context.args[0]) == L"--null";
    std::string text = Narrow(context.args[0]);
    const unsigned long long value = context.library.convertToFILETIME(null ? nullptr : text.c_str());
    if (JsonOutput()) {
        Event("result").Text("export", "ConvertToFILETIME").Unsigned("return", value).Emit();
        return ExitOk;
    }
    if (value == kFiletimeOf1970)
        return HostError(ExitFailure,
                         "not a date as the service writes it (ConvertToFILETIME gave " + std::to_string(value) +
                             ", its value for a failed parse and for 1970-01-01)",
                         "the form is: Wed, 29 Oct 2014 19:30:19 +0000");
    Say(UtcText(value) + " UTC, FILETIME " + std::to_string(value));
    return ExitOk;
}

} // namespace

std::span<const Command> TransportHelperCommands() { return kCommands; }
