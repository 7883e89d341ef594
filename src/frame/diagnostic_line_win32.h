// The library's diagnostic lines on the C runtime's standard output.
#pragma once
#include <windows.h>

#include <string_view>

// One line, written piece by piece while it lives and flushed at its end;
// lines of different workers never interleave. The pieces go out with the
// runtime's own fwrite, never through the toolchain's printf: that printf
// locks the stream by a lock number of its own, which in msvcrt.dll is the
// runtime's lock-table lock, so a line waiting on a full stdout pipe stopped
// every thread of the host that took a runtime lock for the first time
// (the thread that would have drained the pipe among them).
class DiagnosticLine {
  public:
    DiagnosticLine();
    ~DiagnosticLine();
    DiagnosticLine(const DiagnosticLine &) = delete;
    DiagnosticLine &operator=(const DiagnosticLine &) = delete;

    DiagnosticLine &operator<<(std::string_view text);
    // Converted to the ANSI code page, 8-bit as the rest of the line.
    DiagnosticLine &operator<<(std::wstring_view text);
};
