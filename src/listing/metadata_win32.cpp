// Folder listings: MetadataSizeWorker counts a listing's bytes, MetadataWorker hands the listing over.
#include "listing/metadata_win32.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "account/creds_store_win32.h"
#include "frame/diagnostic_line_win32.h"
#include "frame/host_message_win32.h"
#include "frame/jobs_win32.h"
#include "frame/text_win32.h"
#include "transport/exchange_win32.h"
#include "transport/executor_win32.h"
#include "transport/reply_scan.h"
#include "transport/service_calls_win32.h"
#include "transport/service_profiles_win32.h"

namespace {

// The job of both workers: the host's window, result byte and size variable,
// the library's copy of the folder path (it travels to the host in the
// message), and the listing length the host expects.
struct ListingJob {
    HWND window = nullptr;
    BYTE *result = nullptr;
    LibBlock<wchar_t> path;
    DWORD *size = nullptr;
    DWORD expectedLength = 0;
};

// The signed listing URL of the job's folder, or an empty block when the
// account is not linked or memory runs out.
WipedBlock<wchar_t> JobListingUrl(const ListingJob &job) {
    AccessCreds creds;
    if (!ReadAccessCreds(&creds)) return {};
    return ListingUrl(job.path.get(), creds.token.get(), creds.secret.get());
}

// A block that takes a reply of exactly `expected` bytes (and a terminator).
struct ExactReply {
    char *bytes;
    size_t expected;
    size_t used;
};

// Stops as soon as the reply runs longer than expected: it cannot be the listing the host sized.
SinkAnswer KeepExactly(void *context, const char *bytes, DWORD count) {
    ExactReply &reply = *static_cast<ExactReply *>(context);
    if (count > reply.expected - reply.used) return {SinkVerdict::Stop};
    std::memcpy(reply.bytes + reply.used, bytes, count);
    reply.used += count;
    return {};
}

// The diagnostic line of every listing reply, on the process's standard output
// (a host without a console shows nothing).
void PrintReply(const char *text) { DiagnosticLine() << "\nResponse result: " << text << "\n\n"; }

// Fetches the listing at url. True with *listing a text of exactly expected
// bytes when the service answered 200 with that many, proven by its
// Content-Length; false otherwise (another status, another length, a reply cut
// short or without a Content-Length, a zero byte in the text, the service's
// error object, a failed exchange or read, no memory).
bool FetchListing(const wchar_t *url, DWORD expected, LibBlock<char> *listing) {
    if (expected > kListingCap) return false;
    Exchange exchange;
    DWORD status = 0;
    if (!RunExchange(kServiceCallProfile, {url}, exchange, &status)) return false;
    if (status != HTTP_STATUS_OK) return false;
    LibBlock<char> text(LibAllocArray<char>(static_cast<size_t>(expected) + 1));
    if (!text) return false;
    ExactReply reply = {text.get(), expected, 0};
    char chunk[32768];
    const ReadEnd end = ReadProvenReply(exchange, status, chunk, sizeof(chunk), KeepExactly, &reply);
    PrintReply(text.get());
    if (end != ReadEnd::Complete || reply.used != expected || strnlen(text.get(), expected) != expected) return false;
    // The service's error object in a 200 is no listing, whatever its length.
    if (BeginsWithErrorObject(std::string_view(text.get(), expected))) return false;
    *listing = std::move(text);
    return true;
}

// Both workers end the same way: the job is released first, then the final
// message goes, so that once the host has it the operation holds nothing.

DWORD WINAPI MetadataWorker(LPVOID parameter) {
    JobBlock<ListingJob> job(static_cast<ListingJob *>(parameter));
    LibBlock<char> listing;
    if (const WipedBlock<wchar_t> url = JobListingUrl(*job.get()))
        (void)FetchListing(url.get(), job->expectedLength, &listing);
    *job->result = listing ? 1 : 0;
    ListingJob done = std::move(*job.get());
    job.reset();
    SendPayload<ListingPayload>(done.window, reinterpret_cast<WPARAM>(done.window), MsgMetadataListing,
                                [&](ListingPayload &payload) {
                                    payload.result = done.result;
                                    payload.path = done.path.release();
                                    payload.listing = listing.release();
                                    payload.length = done.expectedLength;
                                });
    return 0;
}

DWORD WINAPI MetadataSizeWorker(LPVOID parameter) {
    JobBlock<ListingJob> job(static_cast<ListingJob *>(parameter));
    DWORD counted = 0;
    if (const WipedBlock<wchar_t> url = JobListingUrl(*job.get())) {
        if (!MeasureResponse(url.get(), &counted)) counted = 0;
    }
    *job->size = counted;
    *job->result = counted != 0 ? 1 : 0;
    ListingJob done = std::move(*job.get());
    job.reset();
    SendPayload<ListingSizePayload>(done.window, reinterpret_cast<WPARAM>(done.window), MsgMetadataSize,
                                    [&](ListingSizePayload &payload) {
                                        payload.result = done.result;
                                        payload.path = done.path.release();
                                        payload.size = done.size;
                                    });
    return 0;
}

} // namespace

int StartMetadataSize(HWND window, BYTE *result, const wchar_t *folderPath, DWORD *size) {
    return StartNetworkOperation<ListingJob, MetadataSizeWorker>(result, [&](ListingJob &job) {
        job.window = window;
        job.result = result;
        job.size = size;
        job.path = CopyWideText(folderPath);
        return static_cast<bool>(job.path);
    });
}

int StartMetadataListing(HWND window, BYTE *result, const wchar_t *folderPath, DWORD expectedLength) {
    return StartNetworkOperation<ListingJob, MetadataWorker>(result, [&](ListingJob &job) {
        job.window = window;
        job.result = result;
        job.expectedLength = expectedLength;
        job.path = CopyWideText(folderPath);
        return static_cast<bool>(job.path);
    });
}
