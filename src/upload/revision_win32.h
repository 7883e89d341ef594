// The revision of a remote file, or the news that nothing exists at its path.
#pragma once
#include <windows.h>

#include "frame/heap_win32.h"

// What a revision lookup found.
enum RevisionLookup : int {
    kRevisionFound = 200,  // the file exists; its revision was read
    kNothingThere = 404,   // the service answered 404: the upload creates the file
    kRevisionUnknown = -1, // every other outcome
};

// Asks the service for the metadata of remotePath (percent-encoded, inserted
// into the URL as it is) with the linked account's credentials. *revision gets
// the first "rev" of the reply on kRevisionFound and is empty otherwise.
[[nodiscard]] int GetRemoteRevision(const wchar_t *remotePath, LibBlock<char> *revision);

// The lookup's exchange on a complete signed URL; results as GetRemoteRevision.
[[nodiscard]] int ExecuteRevisionRequest(const wchar_t *url, LibBlock<char> *revision);
