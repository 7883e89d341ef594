// Turning one HOST_MESSAGE into an event and giving every block back.
#pragma once
#include "library.h"
#include "message_pump.h"

// Emits the message event (in text mode a progress message only updates the
// progress line on stderr), counts progress toward --cancel-after, and frees
// the record, message, payload and the texts of kinds 21/22 with FreeDropBoxMemory. Returns true for an operation's final
// message, with the record's thread id in finalThreadId.
bool HandleHostMessage(const Library &library, HWND window, WPARAM wParam, LPARAM lParam,
                       OperationVariables &variables, DWORD &finalThreadId);

// Ends the progress line on stderr, if one is open.
void EndProgressLine(OperationVariables &variables);
