// Account linking, second step: trade the approved request token for the access pair and store it.
#include <windows.h>

#include <cstdio>

#include "account/creds_store_win32.h"
#include "frame/heap_win32.h"
#include "request/oauth_win32.h"
#include "transport/executor_win32.h"
#include "transport/service_calls_win32.h"
#include "velmora_sync.h"

namespace {

// Stands in for the access token secret in the diagnostic line: secrets reach no output.
constexpr wchar_t kMaskedSecret[] = L"********";

} // namespace

// Runs the exchange on the caller's thread. Returns 0 when the service answered
// 200 with an access token and secret and both were stored for the current
// Windows user; 1 on every failure (null argument, no reply, any other status,
// a pair missing from the reply, storing failed). The arguments stay the caller's.
extern "C" VELMORA_API int VELMORA_CALL CheckForAccessTokenResponse(const wchar_t *requestToken,
                                                                    const wchar_t *requestSecret) {
    if (requestToken == nullptr || requestSecret == nullptr) return 1;
    WipedBlock<char> body;
    {
        WipedBlock<wchar_t> url(AccessTokenUrl(requestToken, requestSecret));
        if (!url) return 1;
        DWORD status = 0;
        // Only the status decides: 403 and 407 come back as a failed call, every
        // other status as a completed one.
        if (!ExecuteRequest(url.get(), body.put(), &status) || status != 200 || !body) return 1;
    }
    WipedBlock<wchar_t> token;
    WipedBlock<wchar_t> secret;
    if (!ParseTokenValue(body.get(), "oauth_token", token.put()) ||
        !ParseTokenValue(body.get(), "oauth_token_secret", secret.put()))
        return 1;
    LibBlock<wchar_t> uid;
    bool hasUid = ParseTokenValue(body.get(), "uid", uid.put());
    body.reset();

    // 8-bit output, as for the "Launching" line of the request-token step.
    std::printf("Access token = %ls, Access token secret = %ls, and uid = %ls.\n", token.get(), kMaskedSecret,
                hasUid ? uid.get() : L"(none)");
    std::fflush(stdout);
    return StoreAccessCreds(token.get(), secret.get()) == 0 ? 0 : 1;
}
