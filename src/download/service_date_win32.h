// Service date texts to Windows FILETIMEs.
#pragma once
#include <windows.h>

#include <string_view>

// Parses a service date text (see ParseServiceDate) into *out. Returns true
// when it parsed; false leaves *out alone (also for a null text), so callers
// never stamp a file with a date that did not parse.
[[nodiscard]] bool ServiceDateToFILETIME(const char *text, FILETIME *out);
// The same for a text that is not zero-terminated (a value cut out of a reply).
[[nodiscard]] bool ServiceDateToFILETIME(std::string_view text, FILETIME *out);
