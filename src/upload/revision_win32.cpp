// GetRemoteRevision and ExecuteRevisionRequest: the metadata call of the exchange core, reading
// only a 200 reply and picking the revision out of it.
#include "upload/revision_win32.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "account/creds_store_win32.h"
#include "transport/exchange_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_calls_win32.h"
#include "transport/service_profiles_win32.h"

namespace {
// The reply is kept up to this many bytes; the file's own "rev" comes first in it.
constexpr size_t kReplyCapacity = 65535;
} // namespace

int ExecuteRevisionRequest(const wchar_t *url, LibBlock<char> *revision) {
    revision->reset();
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kServiceCallProfile, {url}, exchange, &status)) return kRevisionUnknown;
    if (status == HTTP_STATUS_NOT_FOUND) return kNothingThere;
    if (status != HTTP_STATUS_OK) return kRevisionUnknown;
    LibBlock<char> reply(LibAllocArray<char>(kReplyCapacity + 1));
    if (!reply) return kRevisionUnknown;
    CappedBuffer capped = {reply.get(), kReplyCapacity, 0};
    char chunk[32768];
    // Only a reply proven whole names the revision.
    if (ReadProvenReply(exchange, status, chunk, sizeof(chunk), AppendCapped, &capped) != ReadEnd::Complete)
        return kRevisionUnknown;
    const std::string_view text(reply.get(), strnlen(reply.get(), capped.used));
    std::string_view rev;
    if (ContainsErrorMarker(text) || !FindRevision(text, &rev)) return kRevisionUnknown;
    LibBlock<char> copy(LibAllocArray<char>(rev.size() + 1));
    if (!copy) return kRevisionUnknown;
    std::memcpy(copy.get(), rev.data(), rev.size());
    *revision = std::move(copy);
    return kRevisionFound;
}

int GetRemoteRevision(const wchar_t *remotePath, LibBlock<char> *revision) {
    revision->reset();
    WipedBlock<wchar_t> url;
    {
        AccessCreds creds;
        if (!ReadAccessCreds(&creds)) return kRevisionUnknown;
        url = RevisionUrl(remotePath, creds.token.get(), creds.secret.get());
    }
    if (!url) return kRevisionUnknown;
    return ExecuteRevisionRequest(url.get(), revision);
}
