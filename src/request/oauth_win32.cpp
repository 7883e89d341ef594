// OAuth 1.0 PLAINTEXT parameters as library-heap texts: thin layer over request/oauth.
#include "request/oauth_win32.h"

// ntsecapi.h declares RtlGenRandom (advapi32 SystemFunction036) after windows.h.
#include <ntsecapi.h>

#include <cwchar>
#include <string_view>

#include "download/service_date.h"
#include "frame/faults_win32.h"
#include "frame/text_win32.h"
#include "request/encoding_win32.h"
#include "request/oauth.h"
#include "service_constants.h"

namespace {

std::u16string_view View(const wchar_t *text) { return {reinterpret_cast<const char16_t *>(text), std::wcslen(text)}; }

// Random bytes for nonces from the system's cryptographic generator; no seeding.
bool SystemRandomBytes(void *, unsigned char *bytes, size_t count) {
    return sys::RtlGenRandom(bytes, static_cast<ULONG>(count)) != FALSE;
}

} // namespace

LibBlock<wchar_t> MakeNonce() {
    char16_t nonce[kNonceLength + 1] = {};
    if (!MakeNonceText(SystemRandomBytes, nullptr, nonce)) return {};
    return CopyWideText(std::wstring_view(reinterpret_cast<const wchar_t *>(nonce), kNonceLength));
}

LibBlock<wchar_t> MakeTimestamp() {
    FILETIME now = {};
    sys::GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (ticks < kFiletimeOf1970) return {};
    LibBlock<wchar_t> text(LibAllocArray<wchar_t>(kTimestampCapacity));
    if (!text || !MakeTimestampText((ticks - kFiletimeOf1970) / kFiletimeTicksPerSecond,
                                    reinterpret_cast<char16_t *>(text.get()), kTimestampCapacity))
        return {};
    return text;
}

WipedBlock<wchar_t> MakeSignature(const wchar_t *consumerSecret, const wchar_t *tokenSecret) {
    if (consumerSecret == nullptr || tokenSecret == nullptr) return {};
    const std::u16string_view consumer = View(consumerSecret);
    const std::u16string_view token = View(tokenSecret);
    const size_t capacity = SignatureLength(consumer, token) + 1;
    WipedBlock<wchar_t> signature(LibAllocArray<wchar_t>(capacity));
    if (!signature || !MakeSignatureText(consumer, token, reinterpret_cast<char16_t *>(signature.get()), capacity))
        return {};
    return signature;
}

WipedBlock<wchar_t> ParseTokenValue(const char *body, const char *key) {
    if (body == nullptr || key == nullptr) return {};
    std::string_view value;
    if (!FindTokenValue(body, key, &value)) return {};
    return WipedBlock<wchar_t>(WidenText(value).release());
}

WipedBlock<wchar_t> MakeSignedQuery(const wchar_t *token, const wchar_t *tokenSecret) {
    const LibBlock<wchar_t> nonce = MakeNonce();
    const LibBlock<wchar_t> timestamp = MakeTimestamp();
    const WipedBlock<wchar_t> signature =
        MakeSignature(reinterpret_cast<const wchar_t *>(VELMORA_APP_SECRET), tokenSecret != nullptr ? tokenSecret : L"");
    if (!nonce || !timestamp || !signature) return {};

    SignedQueryValues values = {};
    values.consumerKey = VELMORA_APP_KEY;
    values.hasToken = token != nullptr;
    values.token = token != nullptr ? View(token) : std::u16string_view();
    values.nonce = View(nonce.get());
    values.timestamp = View(timestamp.get());
    values.signature = View(signature.get());

    const size_t capacity = SignedQueryLength(values) + 1;
    WipedBlock<wchar_t> query(LibAllocArray<wchar_t>(capacity));
    if (!query || !MakeSignedQueryText(values, reinterpret_cast<char16_t *>(query.get()), capacity)) return {};
    return query;
}
