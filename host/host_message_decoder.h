// Turning one HOST_MESSAGE into what the host shows, and giving every block back.
#pragma once
#include "library.h"
#include "message_pump.h"

// Reads one message: notes progress (toward --cancel-after; in text mode the
// progress line on stderr is redrawn), a failure's code and a cancel notice in
// variables, keeps a listing's text when asked, and frees the record, the
// message, the payload and the texts of kinds 21/22 with FreeDropBoxMemory.
// With --json it also emits the message event (built only then). Returns true
// for an operation's final message, with the record's thread id in finalThreadId.
bool HandleHostMessage(const Library &library, HWND window, WPARAM wParam, LPARAM lParam, OperationVariables &variables,
                       DWORD &finalThreadId);

// Ends the progress line on stderr, if one is open.
void EndProgressLine(OperationVariables &variables);
