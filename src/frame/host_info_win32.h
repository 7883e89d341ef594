// The text the host hands over with SetInfo, kept for the host; nothing in the library reads it.
#pragma once

// Copies text into the library's 1000-byte buffer, cut to 999 bytes and a terminator.
void StoreHostInfo(const char *text);
