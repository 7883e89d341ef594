// OAuth 1.0 PLAINTEXT parameters as library-heap texts: thin layer over request/oauth.
#include "request/oauth_win32.h"

// ntsecapi.h declares RtlGenRandom (advapi32 SystemFunction036) after windows.h.
#include <ntsecapi.h>

#include <cwchar>
#include <string_view>

#include "frame/heap_win32.h"
#include "frame/text_win32.h"
#include "request/encoding_win32.h"
#include "request/oauth.h"
#include "service_constants.h"

namespace {

std::u16string_view View(const wchar_t *text) { return {reinterpret_cast<const char16_t *>(text), std::wcslen(text)}; }

// Random bytes for nonces from the system's cryptographic generator; no seeding.
bool SystemRandomBytes(void *, unsigned char *bytes, size_t count) {
    return RtlGenRandom(bytes, static_cast<ULONG>(count)) != FALSE;
}

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr ULONGLONG kFiletimeOf1970 = 116444736000000000ULL;

} // namespace

bool MakeNonce(wchar_t **out) {
    *out = nullptr;
    char16_t nonce[kNonceLength + 1] = {};
    if (!MakeNonceText(SystemRandomBytes, nullptr, nonce)) return false;
    *out = CopyWideText(std::wstring_view(reinterpret_cast<const wchar_t *>(nonce), kNonceLength));
    return *out != nullptr;
}

bool MakeTimestamp(wchar_t **out) {
    *out = nullptr;
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (ticks < kFiletimeOf1970) return false;
    LibBlock<wchar_t> text(LibAllocArray<wchar_t>(kTimestampCapacity));
    if (!text) return false;
    if (!MakeTimestampText((ticks - kFiletimeOf1970) / 10000000ULL, reinterpret_cast<char16_t *>(text.get()),
                           kTimestampCapacity))
        return false;
    *out = text.release();
    return true;
}

bool MakeSignature(const wchar_t *consumerSecret, const wchar_t *tokenSecret, wchar_t **out) {
    *out = nullptr;
    if (consumerSecret == nullptr || tokenSecret == nullptr) return false;
    const std::u16string_view consumer = View(consumerSecret);
    const std::u16string_view token = View(tokenSecret);
    const size_t capacity = SignatureLength(consumer, token) + 1;
    WipedBlock<wchar_t> signature(LibAllocArray<wchar_t>(capacity));
    if (!signature) return false;
    if (!MakeSignatureText(consumer, token, reinterpret_cast<char16_t *>(signature.get()), capacity)) return false;
    *out = signature.release();
    return true;
}

bool ParseTokenValue(const char *body, const char *key, wchar_t **out) {
    *out = nullptr;
    if (body == nullptr || key == nullptr) return false;
    std::string_view value;
    if (!FindTokenValue(body, key, &value)) return false;
    return WidenText(value, out);
}

wchar_t *MakeSignedQuery(const wchar_t *token, const wchar_t *tokenSecret) {
    LibBlock<wchar_t> nonce;
    LibBlock<wchar_t> timestamp;
    WipedBlock<wchar_t> signature;
    if (!MakeNonce(nonce.put()) || !MakeTimestamp(timestamp.put()) ||
        !MakeSignature(reinterpret_cast<const wchar_t *>(VELMORA_APP_SECRET),
                       tokenSecret != nullptr ? tokenSecret : L"", signature.put()))
        return nullptr;

    SignedQueryValues values = {};
    values.consumerKey = VELMORA_APP_KEY;
    values.hasToken = token != nullptr;
    values.token = token != nullptr ? View(token) : std::u16string_view();
    values.nonce = View(nonce.get());
    values.timestamp = View(timestamp.get());
    values.signature = View(signature.get());

    const size_t capacity = SignedQueryLength(values) + 1;
    WipedBlock<wchar_t> query(LibAllocArray<wchar_t>(capacity));
    if (!query) return nullptr;
    if (!MakeSignedQueryText(values, reinterpret_cast<char16_t *>(query.get()), capacity)) return nullptr;
    return query.release();
}
