// ExecuteRequest and MeasureResponse: the plain POST of the exchange core, read into a capped
// buffer or counted, each only when the whole reply arrived.
#include "transport/executor_win32.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "transport/exchange_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_profiles_win32.h"

namespace {

// The body buffer: 65535 bytes of reply and a terminating zero.
constexpr size_t kBodyCapacity = 65535;

// A count of the reply's bytes that keeps the first of them, to tell the
// service's error object from the listing it stands in for.
struct CountedReply {
    DWORD count = 0;
    char head[32] = {};
    DWORD headLength = 0;
};

SinkAnswer CountKeepingHead(void *context, const char *bytes, DWORD length) {
    CountedReply &reply = *static_cast<CountedReply *>(context);
    const DWORD room = static_cast<DWORD>(sizeof reply.head) - reply.headLength;
    const DWORD take = length < room ? length : room;
    std::memcpy(reply.head + reply.headLength, bytes, take);
    reply.headLength += take;
    reply.count += length;
    return {};
}

} // namespace

// Bytes after a zero byte in the reply are kept in the buffer as received (up
// to the cap); readers of the text stop at the zero. Token replies pass through
// both buffers, so each is wiped before it goes: the read chunk always, the
// body whenever the caller does not get it.
bool ExecuteRequest(const wchar_t *url, LibBlock<char> *body, DWORD *status) {
    body->reset();
    *status = 0;
    Exchange exchange;
    if (!RunExchange(kServiceCallProfile, {url}, exchange, status)) return false;
    WipedBlock<char> reply(LibAllocArray<char>(kBodyCapacity + 1));
    if (!reply) return false;
    CappedBuffer capped = {reply.get(), kBodyCapacity, 0};
    char chunk[32768];
    const ReadEnd end = ReadProvenReply(exchange, *status, chunk, sizeof(chunk), AppendCapped, &capped);
    SecureZeroMemory(chunk, sizeof(chunk));
    if (end != ReadEnd::Complete) return false;
    body->reset(reply.release());
    return true;
}

bool MeasureResponse(const wchar_t *url, DWORD *count) {
    *count = 0;
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kServiceCallProfile, {url}, exchange, &status) || status != HTTP_STATUS_OK) return false;
    CountedReply counted;
    char chunk[1024];
    if (ReadProvenReply(exchange, status, chunk, sizeof(chunk), CountKeepingHead, &counted) != ReadEnd::Complete)
        return false;
    // A 200 that carries the service's error object measures no listing.
    if (BeginsWithErrorObject(std::string_view(counted.head, counted.headLength))) return false;
    *count = counted.count;
    return true;
}
