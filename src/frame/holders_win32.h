// Local files that another program may hold for a moment (a virus scanner, an indexer, a
// backup program look at every new file): the errors that say so, and a deletion that waits
// such a holder out.
#pragma once
#include <windows.h>

#include <iterator>

// The pauses between the attempts of a call a holder refused: about a second
// in all, the time such a program holds a new file.
inline constexpr DWORD kHolderPausesMs[] = {50, 100, 150, 250, 450};
inline constexpr size_t kHolderAttempts = std::size(kHolderPausesMs) + 1;

// True for the errors of a call on a file refused because someone holds it
// (sharing, lock or access): worth another attempt shortly.
[[nodiscard]] bool RefusedByHolder(DWORD error);

// Deletes path, again after each pause of kHolderPausesMs while a holder
// refuses it. True when the file is gone (also when it was not there); false
// with the last attempt's error.
bool DeleteWaitingOutHolders(const wchar_t *path);
