// Reading the library's diagnostic lines off the C runtime's stdout.
#include "library_output.h"

#include "output.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <string_view>

namespace {

// A line the host writes through the runtime's stdout behind the library's,
// to know when the reader has caught up. Starts with a byte the library never prints.
constexpr std::string_view kMarker = "\x1fvelmora-sync caught up\n";
constexpr std::string_view kUidLine = "Access token = ";
constexpr std::string_view kUidKey = ", and uid = ";
constexpr std::string_view kLaunchLine = "Launching ";

struct Route {
    bool forward = false;
    HANDLE reading = nullptr;    // the pipe's read end (overlapped)
    HANDLE readDone = nullptr;   // the read end's event, the reader's for its whole life
    HANDLE reader = nullptr;     // the thread
    HANDLE caughtUp = nullptr;   // set when the reader meets the marker
    SRWLOCK lock = SRWLOCK_INIT; // guards uid and address
    std::string uid;
    std::string address;
};

Route g_route;

// Holds g_route.lock for its scope.
struct Held {
    Held() { AcquireSRWLockExclusive(&g_route.lock); }
    ~Held() { ReleaseSRWLockExclusive(&g_route.lock); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
};

void NoteLine(std::string_view line) {
    if (line.starts_with(kLaunchLine)) {
        const Held held;
        g_route.address = std::string(line.substr(kLaunchLine.size()));
    }
    if (line.starts_with(kUidLine)) {
        const size_t key = line.rfind(kUidKey);
        if (key != std::string_view::npos) {
            std::string_view uid = line.substr(key + kUidKey.size());
            if (uid.ends_with('.')) uid.remove_suffix(1);
            const Held held;
            g_route.uid = uid == "(none)" ? std::string() : std::string(uid);
        }
    }
    if (g_route.forward && !line.empty()) {
        const std::string text = std::string(line) + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

// One complete line (its "\n" removed, a "\r" before it too).
void TakeLine(std::string &line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == kMarker.substr(0, kMarker.size() - 1))
        SetEvent(g_route.caughtUp);
    else
        NoteLine(line);
    line.clear();
}

// One read of the pipe; false at its end. Overlapped, with the route's own
// event: a blocking read would hold a wait handle of Wine's for as long as it
// waits, and the host's handle counts would then depend on whether this thread
// had begun its first read.
bool ReadPiece(char *buffer, DWORD size, DWORD &read) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = g_route.readDone;
    read = 0;
    if (!ReadFile(g_route.reading, buffer, size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(g_route.reading, &overlapped, &read, TRUE) && read != 0;
}

DWORD WINAPI ReadLibraryOutput(void *) {
    std::string line;
    char buffer[16384];
    DWORD read = 0;
    while (ReadPiece(buffer, sizeof buffer, read)) {
        for (DWORD i = 0; i < read; ++i) {
            if (buffer[i] == '\n')
                TakeLine(line);
            else
                line += buffer[i];
        }
    }
    if (!line.empty()) TakeLine(line);
    return 0;
}

// The runtime's stdout onto the descriptor, kept from child processes.
void PointStdoutAt(int descriptor) {
    std::fflush(stdout);
    _dup2(descriptor, _fileno(stdout));
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), HANDLE_FLAG_INHERIT, 0);
}

// A pipe whose read end is overlapped (an anonymous pipe's is not): *reading
// and a descriptor of the runtime's on the write end. Neither end is inherited.
bool MakeOutputPipe(HANDLE &reading, int &writing) {
    wchar_t name[96];
    static LONG serial = 0;
    swprintf(name, std::size(name), L"\\\\.\\pipe\\velmora-sync-output-%lu-%ld", GetCurrentProcessId(),
             InterlockedIncrement(&serial));
    reading = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
                               65536, 0, nullptr);
    if (reading == INVALID_HANDLE_VALUE) {
        reading = nullptr;
        return false;
    }
    HANDLE write = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    writing = write == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_BINARY);
    if (writing >= 0) return true;
    if (write != INVALID_HANDLE_VALUE) CloseHandle(write);
    CloseHandle(reading);
    reading = nullptr;
    return false;
}

} // namespace

void RouteLibraryOutput(bool forward) {
    g_route.forward = forward;
    const int saved = _dup(_fileno(stdout));
    int writing = -1;
    if (saved < 0 || !MakeOutputPipe(g_route.reading, writing)) {
        if (saved >= 0) _close(saved);
        if (forward) PointStdoutAt(_fileno(stderr));
        return;
    }
    _setmode(saved, _O_BINARY);
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(saved)), HANDLE_FLAG_INHERIT, 0);
    g_route.caughtUp = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_route.readDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_route.caughtUp != nullptr && g_route.readDone != nullptr)
        g_route.reader = CreateThread(nullptr, 0, ReadLibraryOutput, nullptr, 0, nullptr);
    if (g_route.reader == nullptr) {
        _close(writing);
        CloseHandle(g_route.reading);
        _close(saved);
        g_route.reading = nullptr;
        if (forward) PointStdoutAt(_fileno(stderr));
        return;
    }
    PointStdoutAt(writing);
    _close(writing);
    SetHostStdout(saved);
}

void CatchUpLibraryOutput() {
    if (g_route.reader == nullptr) return;
    std::fwrite(kMarker.data(), 1, kMarker.size(), stdout);
    std::fflush(stdout);
    WaitForSingleObject(g_route.caughtUp, 2000);
}

std::string LastLinkedUid() {
    const Held held;
    return g_route.uid;
}

std::string LastLaunchedAddress() {
    const Held held;
    return g_route.address;
}

void FinishLibraryOutput() {
    if (g_route.reader == nullptr) return;
    const int nul = _open("NUL", _O_WRONLY | _O_BINARY);
    if (nul >= 0) {
        // The pipe's last write end goes: the reader reads to its end.
        PointStdoutAt(nul);
        _close(nul);
        WaitForSingleObject(g_route.reader, 5000);
    }
    CloseHandle(g_route.reader);
    g_route.reader = nullptr;
}
