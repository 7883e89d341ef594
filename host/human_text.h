// Texts for people: what a failure code means and what to do about it, folder
// names, local times.
#pragma once
#include "library.h"

#include <string>

// The folder of an index as people name it ("User Notes"); empty for an index outside 0-2.
std::string FolderOfIndex(unsigned long long index);
// A path as it stands in a URL ("User%20Notes") as people write it ("User Notes").
std::string PathFromUrlForm(const std::string &urlForm);

// What went wrong and what to do next, for a transfer step's failure message
// (kind 24) of a download (download true) or an upload.
struct FailureText {
    std::string what;
    std::string hint;
};
FailureText TransferFailure(bool download, unsigned long code, unsigned long codeClass);

// The system's text for an error code ("error 12029: ..."), WinINet's codes included.
std::string SystemErrorText(unsigned long code);

// False when no access pair is stored (GetAccessCreds fails): the reason most
// operations fail before they reach the service.
bool AccountLinked(const Library &library);

// A FILETIME value as local time, "2014-10-29 20:30".
std::string LocalTimeText(unsigned long long filetime);
