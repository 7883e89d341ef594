// The service's calls as complete signed URLs: every path element of the API stands here.
#include "transport/service_calls_win32.h"

#include <string_view>

#include "frame/heap_win32.h"
#include "frame/text_win32.h"
#include "request/oauth_win32.h"
#include "service_constants.h"

namespace {

// The API's path elements. New calls take theirs from here.
constexpr std::wstring_view kVersion = L"/1/";
constexpr std::wstring_view kRequestTokenCall = L"oauth/request_token";
constexpr std::wstring_view kAccessTokenCall = L"oauth/access_token";
constexpr std::wstring_view kAuthorizeCall = L"oauth/authorize";
constexpr std::wstring_view kCreateFolderCall = L"fileops/create_folder";
constexpr std::wstring_view kMetadataCall = L"metadata";
constexpr std::wstring_view kFilesCall = L"files";
constexpr std::wstring_view kDeleteCall = L"fileops%2Fdelete"; // the service takes the slash encoded
constexpr std::wstring_view kChunkedUploadCall = L"chunked_upload";
constexpr std::wstring_view kCommitCall = L"commit_chunked_upload/"; // followed by root "/" path
// The application's own folder on the service.
constexpr std::wstring_view kRoot = L"sandbox";

// The origins are generated as char16_t literals; wchar_t is the same UTF-16 on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
std::wstring_view Origin(std::u16string_view origin) {
    return {reinterpret_cast<const wchar_t *>(origin.data()), origin.size()};
}
std::wstring_view ApiOrigin() { return Origin(VELMORA_API_ORIGIN); }
std::wstring_view WebOrigin() { return Origin(VELMORA_WEB_ORIGIN); }

} // namespace

wchar_t *RequestTokenUrl() {
    WipedBlock<wchar_t> query(MakeSignedQuery(nullptr, L""));
    if (!query) return nullptr;
    return JoinWideText({ApiOrigin(), kVersion, kRequestTokenCall, L"?", query.get()});
}

wchar_t *AccessTokenUrl(const wchar_t *requestToken, const wchar_t *requestSecret) {
    if (requestToken == nullptr || requestSecret == nullptr) return nullptr;
    WipedBlock<wchar_t> query(MakeSignedQuery(requestToken, requestSecret));
    if (!query) return nullptr;
    return JoinWideText({ApiOrigin(), kVersion, kAccessTokenCall, L"?", query.get()});
}

wchar_t *AuthorizeUrl(const wchar_t *requestToken) {
    if (requestToken == nullptr) return nullptr;
    return JoinWideText({WebOrigin(), kVersion, kAuthorizeCall, L"?oauth_token=", requestToken});
}

wchar_t *CreateFolderUrl(const wchar_t *encodedFolder, const wchar_t *accessToken, const wchar_t *accessSecret) {
    if (encodedFolder == nullptr || accessToken == nullptr || accessSecret == nullptr) return nullptr;
    WipedBlock<wchar_t> query(MakeSignedQuery(accessToken, accessSecret));
    if (!query) return nullptr;
    return JoinWideText(
        {ApiOrigin(), kVersion, kCreateFolderCall, L"?root=", kRoot, L"&path=%2F", encodedFolder, L"&", query.get()});
}
