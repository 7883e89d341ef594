// Running one asynchronous operation: a message-only window receives the
// library's HOST_MESSAGE while this thread pumps, until the final message.
#pragma once
#include "commands.h"

#include <functional>
#include <string>
#include <vector>

// Host variables an operation may point into (messages are checked against
// them), and what the window procedure does with the messages of a transfer.
struct OperationVariables {
    BYTE resultByte = 0xFF; // the library writes 1 or 0 before the final message
    DWORD sizeVariable = 0;
    BYTE cancelByte = 0;
    // Sets the cancel byte once this many progress messages have arrived (-1: never).
    long long cancelAfter = -1;
    // Bytes the transfer is expected to move, for the progress line's percent (0: unknown).
    unsigned long long expectedBytes = 0;
    // What the progress line names (text mode), e.g. the file's name.
    std::string progressLabel;
    // Where a listing's text is copied before the block goes back (null: not kept).
    std::string *keepListing = nullptr;
    // Progress so far and when the operation started (GetTickCount64).
    long long progressMessages = 0;
    unsigned long long progressBytes = 0;
    unsigned long long startTick = 0;
    // What the transfer step reported: the code and class of its last failure
    // message (kind 24), and whether a cancel notice came.
    bool failureReported = false;
    DWORD failureCode = 0;
    DWORD failureClass = 0;
    bool cancelNoticed = false;
};

// Calls start(window) on a fresh message-only window. When start reports that
// the operation began, pumps messages until the final one (then, with the test
// DLL, waits for the worker's end so that its counters are final, and calls
// KillDropBoxThread with its thread id) or until the timeout. Returns ExitOk or
// ExitTimeout (after an error event).
int RunOperation(const CommandContext &context, OperationVariables &variables,
                 const std::function<bool(HWND window)> &start);

// A new message-only window of windowClass (registered here with procedure
// when it is not yet), created with state as its creation parameter. Null with
// the reason in failure when it cannot be had.
HWND OpenMessageWindow(const wchar_t *windowClass, WNDPROC procedure, void *state, std::string &failure);

// Dispatches everything queued, sent messages of the workers included.
void DrainMessages();

// Seconds a worker may take to end after its final message.
constexpr DWORD kWorkerEndSeconds = 10;

// Waits, pumping, until the worker thread has ended; false when it still runs
// after kWorkerEndSeconds. A host must not let its process exit while a worker
// is still ending: under Wine the exit can then hang until the process is killed.
bool WaitForWorkerEnd(HANDLE worker);

// The ids of this process's threads, for telling which threads an export started.
std::vector<DWORD> ThreadsOfThisProcess();
// Handles (for waiting) of this process's threads whose ids are not in before.
std::vector<HANDLE> OpenThreadsStartedSince(const std::vector<DWORD> &before);
// WaitForWorkerEnd on each handle, which is closed; false when one still runs.
bool WaitForWorkersEnd(std::vector<HANDLE> &workers);
