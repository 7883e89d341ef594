// The DLL as the host sees it: loaded by path, every export looked up by name.
#pragma once
#include <velmora_sync.h>

#include <string>

// Only the test DLL exports this: blocks still allocated and failed allocations.
using DebugCountersFn = void(__cdecl *)(long *outstandingBlocks, unsigned long *outOfMemoryCount);

// Function pointers of the exports; null when the loaded DLL lacks one.
struct Library {
    HMODULE module = nullptr;
    decltype(&SetInfo) setInfo = nullptr;
    decltype(&FreeDropBoxMemory) freeDropBoxMemory = nullptr;
    decltype(&KillDropBoxThread) killDropBoxThread = nullptr;
    decltype(&CrackHostAndPath) crackHostAndPath = nullptr;
    decltype(&GetProxyInfo) getProxyInfo = nullptr;
    decltype(&ConvertToFILETIME) convertToFILETIME = nullptr;
    decltype(&GetAccessCreds) getAccessCreds = nullptr;
    decltype(&RequestAccessToken) requestAccessToken = nullptr;
    decltype(&CheckForAccessTokenResponse) checkForAccessTokenResponse = nullptr;
    decltype(&DBFolderInitialization) dbFolderInitialization = nullptr;
    DebugCountersFn debugCounters = nullptr;
};

// The DLL that sits beside the running exe and matches its bitness.
std::wstring DefaultLibraryPath();

// Loads the DLL and resolves every export it has. False (with a reason) when it does not load.
bool LoadSyncLibrary(const std::wstring &path, Library &library, std::string &reason);

// Reports a host error naming an export that the DLL lacks; returns false.
bool ReportMissingExport(const char *name);
// True when the export is present; otherwise reports it missing.
template <class Fn> bool HasExport(Fn fn, const char *name) { return fn != nullptr || ReportMissingExport(name); }
