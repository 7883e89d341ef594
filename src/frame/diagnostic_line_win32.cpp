// The library's diagnostic lines on the C runtime's standard output.
#include "frame/diagnostic_line_win32.h"

#include <cstdio>

namespace {
SRWLOCK g_lineLock = SRWLOCK_INIT;
} // namespace

DiagnosticLine::DiagnosticLine() { AcquireSRWLockExclusive(&g_lineLock); }

DiagnosticLine::~DiagnosticLine() {
    std::fflush(stdout);
    ReleaseSRWLockExclusive(&g_lineLock);
}

DiagnosticLine &DiagnosticLine::operator<<(std::string_view text) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stdout);
    return *this;
}

// In pieces through a buffer on the stack: no allocation, any length.
DiagnosticLine &DiagnosticLine::operator<<(std::wstring_view text) {
    constexpr size_t kPiece = 256;
    char narrow[kPiece * 2];
    while (!text.empty()) {
        size_t count = text.size() < kPiece ? text.size() : kPiece;
        // A surrogate pair stays in one piece.
        if (count < text.size() && IS_HIGH_SURROGATE(text[count - 1])) --count;
        const int written = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(count), narrow,
                                                static_cast<int>(sizeof narrow), nullptr, nullptr);
        if (written > 0) std::fwrite(narrow, 1, static_cast<size_t>(written), stdout);
        text.remove_prefix(count);
    }
    return *this;
}
