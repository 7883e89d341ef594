// The DLL as the host sees it: loaded by path, every export looked up by name.
#pragma once
#include <velmora_sync.h>

#include <string>

#include "testing/test_hooks.h"

// Every export the host uses, as X(field, ExportName): the one list of them.
#define VELMORA_HOST_EXPORTS(X)                                                                                        \
    X(setInfo, SetInfo)                                                                                                \
    X(freeDropBoxMemory, FreeDropBoxMemory)                                                                            \
    X(killDropBoxThread, KillDropBoxThread)                                                                            \
    X(crackHostAndPath, CrackHostAndPath)                                                                              \
    X(getProxyInfo, GetProxyInfo)                                                                                      \
    X(convertToFILETIME, ConvertToFILETIME)                                                                            \
    X(getAccessCreds, GetAccessCreds)                                                                                  \
    X(requestAccessToken, RequestAccessToken)                                                                          \
    X(checkForAccessTokenResponse, CheckForAccessTokenResponse)                                                        \
    X(dbFolderInitialization, DBFolderInitialization)                                                                  \
    X(getDBMetadataBufferSize, getDBMetadataBufferSize)                                                                \
    X(getDropboxMetadata, getDropboxMetadata)                                                                          \
    X(getNumberOfRemoteFiles, GetNumberOfRemoteFiles)                                                                  \
    X(getRemoteMergeFile, getRemoteMergeFile)                                                                          \
    X(bvDeleteRemote, BVDeleteRemote)                                                                                  \
    X(bvUpdateRemoteWithFeedback, BVUpdateRemoteWithFeedback)

// Function pointers of the exports; null when the loaded DLL lacks one.
struct Library {
    HMODULE module = nullptr;
#define VELMORA_EXPORT_FIELD(field, name) decltype(&name) field = nullptr;
    VELMORA_HOST_EXPORTS(VELMORA_EXPORT_FIELD)
#undef VELMORA_EXPORT_FIELD
    TestHooks hooks; // the test DLL's extra exports
};

// The DLL that sits beside the running exe and matches its bitness.
std::wstring DefaultLibraryPath();

// Loads the DLL and resolves every export it has. False (with a reason) when it does not load.
bool LoadSyncLibrary(const std::wstring &path, Library &library, std::string &reason);

// The loaded DLL's path and the file version of its version resource
// ("1.0.0"; a fourth part only when it is not 0). False (version empty) when
// the DLL carries no version resource.
bool LibraryVersion(const Library &library, std::wstring &path, std::string &version);

// Reports a host error naming an export that the DLL lacks; returns false.
bool ReportMissingExport(const char *name);
// True when the export is present; otherwise reports it missing.
template <class Fn> bool HasExport(Fn fn, const char *name) { return fn != nullptr || ReportMissingExport(name); }
