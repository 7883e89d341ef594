// The text the host hands over with SetInfo.
#include "frame/host_info_win32.h"

#include <cstring>

namespace {
constinit char HostInfo[kHostInfoCapacity] = {};
} // namespace

void StoreHostInfo(const char *text) {
    const size_t length = strnlen(text, kHostInfoCapacity - 1);
    std::memcpy(HostInfo, text, length);
    HostInfo[length] = '\0';
}

const char *StoredHostInfo() { return HostInfo; }
