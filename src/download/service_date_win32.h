// Service date texts to Windows FILETIMEs, and the exported ConvertToFILETIME (declared in velmora_sync.h).
#pragma once
#include <windows.h>

#include <cstdint>

// Parses a service date text (see ParseServiceDate) into *out. Returns true
// when it parsed; false leaves *out alone (also for a null text).
[[nodiscard]] bool ServiceDateToFILETIME(const char *text, FILETIME *out);

// Stores the FILETIME of seconds since 1970-01-01 00:00:00 UTC in *out. An
// instant outside the FILETIME range (before 1601) stores the 1970 value.
void SecondsToFILETIME(int64_t seconds, FILETIME *out);
