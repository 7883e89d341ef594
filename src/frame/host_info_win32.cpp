// The text the host hands over with SetInfo.
#include "frame/host_info_win32.h"

#include <cstring>

namespace {
constexpr size_t kHostInfoCapacity = 1000;
constinit char HostInfo[kHostInfoCapacity] = {};
} // namespace

void StoreHostInfo(const char *text) {
    const size_t length = strnlen(text, kHostInfoCapacity - 1);
    std::memcpy(HostInfo, text, length);
    HostInfo[length] = '\0';
}
