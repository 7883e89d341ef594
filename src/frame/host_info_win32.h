// The text the host hands over with SetInfo, kept for the host; nothing in the library reads it.
#pragma once
#include <cstddef>

// Bytes of the buffer SetInfo's text is kept in, terminator included.
inline constexpr size_t kHostInfoCapacity = 1000;

// Copies text into the library's 1000-byte buffer, cut to 999 bytes and a terminator.
void StoreHostInfo(const char *text);

// The buffer itself (kHostInfoCapacity bytes), for checks of what was kept.
const char *StoredHostInfo();
