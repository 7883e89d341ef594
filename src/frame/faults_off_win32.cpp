// The shipped fault switch: every sys:: name is the system function itself.
#include "frame/faults_win32.h"

namespace sys {

#define VELMORA_SYSTEM_CALL_PLAIN(name, failure, error) decltype(&::name) const name = &::name;
VELMORA_SYSTEM_CALLS(VELMORA_SYSTEM_CALL_PLAIN)
#undef VELMORA_SYSTEM_CALL_PLAIN

bool AllocationShouldFail() { return false; }

void GetSystemTimeAsFileTime(FILETIME *now) { ::GetSystemTimeAsFileTime(now); }

void NoteReleasedBlock(HANDLE, const void *, bool) {}

DWORD TransferTimeout(DWORD shipped) { return shipped; }

} // namespace sys
