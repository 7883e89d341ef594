// The library's own diagnostic lines ("Launching ...", "Access token = ...",
// "Response result: ..."), which it writes to the C runtime's stdout. The DLL
// and the host share that runtime (msvcrt.dll), so the host moves the
// runtime's stdout onto a pipe before it loads the library and keeps the real
// stdout for itself: stdout then carries only the host's own lines (nothing
// but JSON with --json). A thread of the host reads the pipe line by line.
#pragma once

#include <string>

// Sets up the pipe and the reading thread, and points the host's own output
// at the saved stdout (SetHostStdout). forward: each of the library's lines is
// written to stderr as it comes (else it is dropped). Without a pipe (it cannot
// be made) the runtime's stdout is pointed at stderr when forward is set and
// left as it is otherwise. Call once, before the library is loaded.
void RouteLibraryOutput(bool forward);

// Waits (at most 2 s) until every line the library has written so far has
// been read; after a call that printed on the caller's thread, its lines are
// then known.
void CatchUpLibraryOutput();

// The uid of the last "Access token = ..., and uid = UID." line read; empty
// when none was, or it named none.
std::string LastLinkedUid();

// The address of the last "Launching ADDRESS" line read (the authorization
// page the browser was started on); empty when none was.
std::string LastLaunchedAddress();

// Ends the routing: what the library wrote is read and forwarded, the
// runtime's stdout goes to the null device (a worker still running prints
// into nothing). Call before the process exits.
void FinishLibraryOutput();
