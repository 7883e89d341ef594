// ExecuteRequest and MeasureResponse: the plain POST of the exchange core, read into a capped
// buffer or counted.
#include "transport/executor_win32.h"

#include "frame/heap_win32.h"
#include "transport/exchange_win32.h"

namespace {

// The body buffer: 65535 bytes of reply and a terminating zero.
constexpr size_t kBodyCapacity = 65535;

// RELOAD | NO_CACHE_WRITE | SECURE | KEEP_CONNECTION | NO_AUTH |
// IGNORE_REDIRECT_TO_HTTP | IGNORE_REDIRECT_TO_HTTPS | PRAGMA_NOCACHE: never
// from or into the cache (Wine would also copy every body into its cache),
// and WinINet answers no authentication challenge by itself.
constexpr DWORD kExecutorFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                 INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTH |
                                 INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                                 INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kExecutorFlags == 0x84C4C100);

constexpr ExchangeProfile kExecutorProfile = {
    .userAgent = L"Velmora Dropbox Communication",
    .verb = L"POST",
    .requestFlags = kExecutorFlags,
    .fixedPort = 0,
    .refusalDialog = true,
    .requireProxySetting = false,
    .cannotConnectResends = 0,
    .headers = nullptr,
    .body = nullptr,
    .bodyLength = 0,
};

} // namespace

// A failed read part-way still returns true with what arrived: the caller judges
// the status and the text. Bytes after a zero byte in the reply are kept in the
// buffer as received (up to the cap); readers of the text stop at the zero.
bool ExecuteRequest(const wchar_t *url, char **body, DWORD *status) {
    if (body != nullptr) *body = nullptr;
    if (status != nullptr) *status = 0;
    if (url == nullptr || body == nullptr || status == nullptr) return false;
    Exchange exchange;
    if (!RunExchange(kExecutorProfile, url, exchange, status)) return false;
    LibBlock<char> reply(LibAllocArray<char>(kBodyCapacity + 1));
    if (!reply) return false;
    CappedBuffer capped = {reply.get(), kBodyCapacity, 0};
    char chunk[32768];
    (void)ReadReply(exchange, chunk, sizeof(chunk), AppendCapped, &capped);
    *body = reply.release();
    return true;
}

bool MeasureResponse(const wchar_t *url, DWORD *count) {
    if (count != nullptr) *count = 0;
    if (url == nullptr || count == nullptr) return false;
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kExecutorProfile, url, exchange, &status) || status != HTTP_STATUS_OK) return false;
    DWORD counted = 0;
    char chunk[1024];
    (void)ReadReply(exchange, chunk, sizeof(chunk), CountBytes, &counted);
    *count = counted;
    return true;
}
