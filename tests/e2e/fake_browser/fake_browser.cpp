// fake-browser.exe: the test prefix's program for ".html". Records the URL it
// was started with and, like a user clicking "Allow", approves the request
// token at the stand-in by POSTing to the same URL with "&approve=1".
//
// Environment: VELMORA_FAKE_BROWSER_LOG names the file that gets one line per
// start; VELMORA_FAKE_BROWSER_NO_APPROVE=1 leaves the token unapproved.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring Environment(const wchar_t *name) {
    wchar_t value[1024];
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

void AppendToLog(const std::wstring &logPath, const wchar_t *url) {
    HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, url, -1, nullptr, 0, nullptr, nullptr);
    std::string line(static_cast<size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, url, -1, line.data(), bytes, nullptr, nullptr);
    line.back() = '\n'; // replaces the terminator
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// POST with an empty body to url + "&approve=1"; true on a 2xx answer.
bool Approve(const wchar_t *url) {
    std::wstring target = std::wstring(url) + L"&approve=1";
    wchar_t host[256];
    wchar_t path[2048];
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!InternetCrackUrlW(target.c_str(), 0, 0, &parts)) return false;

    bool approved = false;
    HINTERNET session = InternetOpenW(L"VelmoraFakeBrowser", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection =
        session ? InternetConnectW(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0) : nullptr;
    HINTERNET request =
        connection ? HttpOpenRequestW(connection, L"POST", path, nullptr, nullptr, nullptr,
                                      INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD, 0)
                   : nullptr;
    if (request && HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
        DWORD status = 0;
        DWORD size = sizeof status;
        approved = HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) &&
                   status >= 200 && status < 300;
        char sink[4096];
        DWORD read = 0;
        while (InternetReadFile(request, sink, sizeof sink, &read) && read > 0) {}
    }
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
    return approved;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) return 2;
    std::wstring logPath = Environment(L"VELMORA_FAKE_BROWSER_LOG");
    if (!logPath.empty()) AppendToLog(logPath, argv[1]);
    if (Environment(L"VELMORA_FAKE_BROWSER_NO_APPROVE") == L"1") return 0;
    if (Approve(argv[1])) return 0;
    std::fprintf(stderr, "fake-browser: approval failed (error %lu)\n", GetLastError());
    return 1;
}
