// Account linking, second step: trade the approved request token for the access pair and store it.
#include "account/account_win32.h"

#include <cstdio>

#include "account/creds_store_win32.h"
#include "request/oauth_win32.h"
#include "transport/executor_win32.h"
#include "transport/service_calls_win32.h"
#include "frame/diagnostic_line_win32.h"

namespace {

// Stands in for the access token secret in the diagnostic line: secrets reach no output.
constexpr wchar_t kMaskedSecret[] = L"********";

} // namespace

int TradeRequestToken(const wchar_t *requestToken, const wchar_t *requestSecret) {
    WipedBlock<char> body;
    {
        const WipedBlock<wchar_t> url = AccessTokenUrl(requestToken, requestSecret);
        if (!url) return 1;
        DWORD status = 0;
        LibBlock<char> reply;
        // Only the status decides: 403 and 407 come back as a failed call, every
        // other status as a completed one.
        const bool completed = ExecuteRequest(url.get(), &reply, &status);
        // The reply holds the access secret: wiped when it goes.
        body.reset(reply.release());
        if (!completed || status != 200 || !body) return 1;
    }
    const WipedBlock<wchar_t> token = ParseTokenValue(body.get(), "oauth_token");
    const WipedBlock<wchar_t> secret = ParseTokenValue(body.get(), "oauth_token_secret");
    if (!token || !secret) return 1;
    const WipedBlock<wchar_t> uid = ParseTokenValue(body.get(), "uid");
    body.reset();

    // 8-bit output, as for the "Launching" line of the request-token step.
    DiagnosticLine() << "Access token = " << token.get() << ", Access token secret = " << kMaskedSecret
                     << ", and uid = " << (uid ? uid.get() : L"(none)") << ".\n";
    return StoreAccessCreds(token.get(), secret.get()) == 0 ? 0 : 1;
}
