// The service's calls as complete signed URLs: every path element of the API stands here.
#include "transport/service_calls_win32.h"

#include <string_view>

#include "frame/text_win32.h"
#include "request/oauth_win32.h"
#include "service_constants.h"

namespace {

// The API's path elements.
constexpr std::wstring_view kVersion = L"/1/";
constexpr std::wstring_view kRequestTokenCall = L"oauth/request_token";
constexpr std::wstring_view kAccessTokenCall = L"oauth/access_token";
constexpr std::wstring_view kAuthorizeCall = L"oauth/authorize";
constexpr std::wstring_view kCreateFolderCall = L"fileops/create_folder";
constexpr std::wstring_view kMetadataCall = L"metadata";
constexpr std::wstring_view kFilesCall = L"files";
constexpr std::wstring_view kDeleteCall = L"fileops%2Fdelete"; // the service takes the slash encoded
constexpr std::wstring_view kChunkedUploadCall = L"chunked_upload";
constexpr std::wstring_view kCommitCall = L"commit_chunked_upload/";
// The application's own folder on the service.
constexpr std::wstring_view kRoot = L"sandbox";
// Listings and revision lookups ask for the whole folder, deleted entries left out.
constexpr std::wstring_view kListingTail = L"&file_limit=25000&list=true&include_deleted=false";

// The application's folders, as their names stand in URLs.
constexpr const wchar_t *kRemoteFolders[kRemoteFolderCount] = {L"Highlights", L"User%20Notes", L"User%20Tools"};

// The origins are generated as char16_t literals; wchar_t is the same UTF-16 on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
std::wstring_view Origin(std::u16string_view origin) {
    return {reinterpret_cast<const wchar_t *>(origin.data()), origin.size()};
}
std::wstring_view ApiOrigin() { return Origin(VELMORA_API_ORIGIN); }
std::wstring_view ContentOrigin() { return Origin(VELMORA_CONTENT_ORIGIN); }
std::wstring_view WebOrigin() { return Origin(VELMORA_WEB_ORIGIN); }

} // namespace

const wchar_t *RemoteFolderName(DWORD index) { return index < kRemoteFolderCount ? kRemoteFolders[index] : nullptr; }

WipedBlock<wchar_t> RequestTokenUrl() {
    WipedBlock<wchar_t> query = MakeSignedQuery(nullptr, L"");
    if (!query) return {};
    return JoinWideText({ApiOrigin(), kVersion, kRequestTokenCall, L"?", query.get()});
}

WipedBlock<wchar_t> AccessTokenUrl(const wchar_t *requestToken, const wchar_t *requestSecret) {
    if (requestToken == nullptr || requestSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(requestToken, requestSecret);
    if (!query) return {};
    return JoinWideText({ApiOrigin(), kVersion, kAccessTokenCall, L"?", query.get()});
}

WipedBlock<wchar_t> AuthorizeUrl(const wchar_t *requestToken) {
    if (requestToken == nullptr) return {};
    return JoinWideText({WebOrigin(), kVersion, kAuthorizeCall, L"?oauth_token=", requestToken});
}

WipedBlock<wchar_t> CreateFolderUrl(const wchar_t *folder, const wchar_t *accessToken, const wchar_t *accessSecret) {
    if (folder == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    return JoinWideText(
        {ApiOrigin(), kVersion, kCreateFolderCall, L"?root=", kRoot, L"&path=%2F", folder, L"&", query.get()});
}

WipedBlock<wchar_t> ListingUrl(const wchar_t *folderPath, const wchar_t *accessToken, const wchar_t *accessSecret) {
    if (folderPath == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    return JoinWideText({ApiOrigin(), kVersion, kMetadataCall, L"?root=", kRoot, L"&path=%2F", folderPath, L"&",
                         query.get(), kListingTail});
}

WipedBlock<wchar_t> RevisionUrl(const wchar_t *remotePath, const wchar_t *accessToken, const wchar_t *accessSecret) {
    if (remotePath == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    return JoinWideText({ApiOrigin(), kVersion, kMetadataCall, L"?root=", kRoot, L"&path=", remotePath, L"&",
                         query.get(), kListingTail});
}

WipedBlock<wchar_t> FileUrl(DWORD folderIndex, const wchar_t *name, const wchar_t *accessToken,
                            const wchar_t *accessSecret) {
    const wchar_t *folder = RemoteFolderName(folderIndex);
    if (folder == nullptr || name == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    return JoinWideText(
        {ContentOrigin(), kVersion, kFilesCall, L"?root=", kRoot, L"&path=", folder, L"/", name, L"&", query.get()});
}

WipedBlock<wchar_t> DeleteUrl(DWORD folderIndex, const wchar_t *name, const wchar_t *accessToken,
                              const wchar_t *accessSecret) {
    const wchar_t *folder = RemoteFolderName(folderIndex);
    if (folder == nullptr || name == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    return JoinWideText({ApiOrigin(), kVersion, kDeleteCall, L"?root=", kRoot, L"&path=%2F", folder, L"%2F", name,
                         L"&", query.get()});
}

WipedBlock<wchar_t> ChunkUrl(const wchar_t *uploadId, const wchar_t *offset, const wchar_t *accessToken,
                             const wchar_t *accessSecret) {
    if (offset == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    // The first chunk opens a new upload: no id, and the service's own "?&" form.
    if (uploadId == nullptr)
        return JoinWideText({ContentOrigin(), kVersion, kChunkedUploadCall, L"?&offset=", offset, L"&", query.get()});
    return JoinWideText({ContentOrigin(), kVersion, kChunkedUploadCall, L"?upload_id=", uploadId, L"&offset=", offset,
                         L"&", query.get()});
}

WipedBlock<wchar_t> CommitUrl(const wchar_t *remotePath, const wchar_t *revision, const wchar_t *uploadId,
                              const wchar_t *accessToken, const wchar_t *accessSecret) {
    if (remotePath == nullptr || uploadId == nullptr || accessToken == nullptr || accessSecret == nullptr) return {};
    WipedBlock<wchar_t> query = MakeSignedQuery(accessToken, accessSecret);
    if (!query) return {};
    if (revision == nullptr)
        return JoinWideText({ContentOrigin(), kVersion, kCommitCall, kRoot, L"/", remotePath, L"?upload_id=", uploadId,
                             L"&", query.get()});
    return JoinWideText({ContentOrigin(), kVersion, kCommitCall, kRoot, L"/", remotePath,
                         L"?overwrite=true&parent_rev=", revision, L"&upload_id=", uploadId, L"&", query.get()});
}
