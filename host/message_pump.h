// Running one asynchronous operation: a message-only window receives the
// library's HOST_MESSAGE while this thread pumps, until the final message.
#pragma once
#include "commands.h"

#include <functional>

// Host variables an operation may point into; messages are checked against them.
struct OperationVariables {
    BYTE resultByte = 0xFF; // the library writes 1 or 0 before the final message
    DWORD sizeVariable = 0;
    BYTE cancelByte = 0;
};

// Calls start(window) on a fresh message-only window. When start reports that
// the operation began, pumps messages until the final one (then calls
// KillDropBoxThread with its thread id) or until the timeout. Returns ExitOk or
// ExitTimeout (after an error event).
int RunOperation(const CommandContext &context, OperationVariables &variables,
                 const std::function<bool(HWND window)> &start);
