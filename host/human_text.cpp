// Failure codes, folders and times as people read them.
#include "human_text.h"

#include "output.h"

#include <cstdio>

namespace {

const char *const kFolders[] = {"Highlights", "User Notes", "User Tools"};

// WinINet's errors (12000 to 12999) and what a person does about them.
bool NetworkError(unsigned long code) { return code >= 12000 && code < 13000; }

FailureText SystemFailure(unsigned long code, bool download) {
    FailureText text{SystemErrorText(code), "try again"};
    if (NetworkError(code))
        text.hint = "check the network connection and the proxy settings (velmora-sync proxy), then try again";
    else if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
        text.hint = "free some space on the target's drive, then try again";
    else if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
        text.hint = std::string("close programs that hold the ") + (download ? "target" : "file") +
                    " open (or check its permissions), then try again";
    return text;
}

constexpr const char *kMemoryHint = "close other programs, then try again";
constexpr const char *kProxyHint = "check the Internet settings (velmora-sync proxy shows what the library reads)";

FailureText DownloadCode(unsigned long code) {
    switch (code) {
    case 4001:
        return {"the proxy settings cannot be read (code 4001)", kProxyHint};
    case 4002:
    case 4006:
    case 4007:
        return {"the library ran out of memory (code " + std::to_string(code) + ")", kMemoryHint};
    case 4003:
        return {"the service did not send the file (code 4003: its answer was not 200 OK)",
                "check the name: velmora-sync ls FOLDER lists the folder"};
    case 4008:
        return {"cancelled (code 4008)", ""};
    case 4009:
        return {"the service sent an error instead of the file (code 4009)",
                "check the name: velmora-sync ls FOLDER lists the folder"};
    case 4010:
        return {"the file arrived incomplete (code 4010)", "try again"};
    default:
        return {"failed with code " + std::to_string(code), "try again"};
    }
}

FailureText UploadCode(unsigned long code) {
    switch (code) {
    case 5001:
        return {"the proxy settings cannot be read (code 5001)", kProxyHint};
    case 5002:
    case 5004:
    case 5006:
        return {"the library ran out of memory (code " + std::to_string(code) + ")", kMemoryHint};
    case 5003:
        return {"the service refused a chunk (code 5003)", "try again later"};
    case 5007:
        return {"the file changed while it was being sent, so nothing was committed (code 5007)",
                "run put again once the file is saved"};
    case 5008:
        return {"the service's answers would not end the upload (code 5008)", "try again later"};
    default:
        return {"failed with code " + std::to_string(code), "try again"};
    }
}

} // namespace

std::string FolderOfIndex(unsigned long long index) { return index < std::size(kFolders) ? kFolders[index] : ""; }

std::string PathFromUrlForm(const std::string &urlForm) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < urlForm.size(); ++i) {
        if (urlForm[i] == '%' && i + 2 < urlForm.size() && hex(urlForm[i + 1]) >= 0 && hex(urlForm[i + 2]) >= 0) {
            out += static_cast<char>(hex(urlForm[i + 1]) * 16 + hex(urlForm[i + 2]));
            i += 2;
        } else {
            out += urlForm[i];
        }
    }
    return out;
}

FailureText TransferFailure(bool download, unsigned long code, unsigned long codeClass) {
    switch (codeClass) {
    case CodeClassHttpStatus:
        return {"the service refused with HTTP status " + std::to_string(code),
                code == 401 || code == 403 ? "run velmora-sync link if the account was unlinked" : "try again later"};
    case CodeClassOperation:
        return download ? DownloadCode(code) : UploadCode(code);
    case CodeClassSystemError:
        return SystemFailure(code, download);
    default:
        return {"failed", "try again"};
    }
}

std::string SystemErrorText(unsigned long code) {
    wchar_t *text = nullptr;
    constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    // WinINet's texts live in its own module, which the library has loaded.
    HMODULE wininet = NetworkError(code) ? GetModuleHandleW(L"wininet.dll") : nullptr;
    DWORD length =
        FormatMessageW(kFlags | (wininet != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM),
                       wininet, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string said = length != 0 ? Utf8(text) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ' || said.back() == '.'))
        said.pop_back();
    return "error " + std::to_string(code) + (said.empty() ? "" : ": " + said);
}

bool AccountLinked(const Library &library) {
    if (library.getAccessCreds == nullptr) return true; // cannot tell: say nothing about it
    wchar_t *token = nullptr;
    wchar_t *secret = nullptr;
    const bool linked = library.getAccessCreds(&token, &secret) == 0;
    if (token != nullptr) library.freeDropBoxMemory(token);
    if (secret != nullptr) library.freeDropBoxMemory(secret);
    return linked;
}

std::string LocalTimeText(unsigned long long filetime) {
    FILETIME utc = {static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)};
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    if (!FileTimeToSystemTime(&utc, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                  local.wMinute);
    return text;
}
