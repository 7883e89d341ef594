// The service's calls as complete signed URLs: the one place that knows their paths.
#pragma once
#include <windows.h>

#include "frame/heap_win32.h"

// Every function returns a new library-heap text that holds a signature (wiped
// when released), or an empty block when an allocation fails (counted) or an
// argument is null. Each call makes a fresh nonce and timestamp. Path and name
// arguments are inserted as they are: callers pass them already percent-encoded.

// The application's folders by index (0 "Highlights", 1 "User Notes", 2 "User
// Tools") as they stand in URLs; null for any other index.
[[nodiscard]] const wchar_t *RemoteFolderName(DWORD index);
// How many application folders there are.
constexpr DWORD kRemoteFolderCount = 3;

// POST api "/1/oauth/request_token" (no token).
[[nodiscard]] WipedBlock<wchar_t> RequestTokenUrl();
// POST api "/1/oauth/access_token", signed with the request token and its secret.
[[nodiscard]] WipedBlock<wchar_t> AccessTokenUrl(const wchar_t *requestToken, const wchar_t *requestSecret);
// The browser's page: web "/1/oauth/authorize?oauth_token=<token>" (unsigned).
[[nodiscard]] WipedBlock<wchar_t> AuthorizeUrl(const wchar_t *requestToken);
// POST api "/1/fileops/create_folder?root=sandbox&path=%2F<folder>", signed with the access pair.
[[nodiscard]] WipedBlock<wchar_t> CreateFolderUrl(const wchar_t *folder, const wchar_t *accessToken,
                                                  const wchar_t *accessSecret);
// POST api "/1/metadata?root=sandbox&path=%2F<folderPath>&<OAuth>&file_limit=25000&list=true&include_deleted=false".
[[nodiscard]] WipedBlock<wchar_t> ListingUrl(const wchar_t *folderPath, const wchar_t *accessToken,
                                             const wchar_t *accessSecret);
// POST api "/1/metadata?root=sandbox&path=<remotePath>&<OAuth>&file_limit=25000&list=true&include_deleted=false".
[[nodiscard]] WipedBlock<wchar_t> RevisionUrl(const wchar_t *remotePath, const wchar_t *accessToken,
                                              const wchar_t *accessSecret);
// GET content "/1/files?root=sandbox&path=<folder>/<name>&<OAuth>".
[[nodiscard]] WipedBlock<wchar_t> FileUrl(DWORD folderIndex, const wchar_t *name, const wchar_t *accessToken,
                                          const wchar_t *accessSecret);
// POST api "/1/fileops%2Fdelete?root=sandbox&path=%2F<folder>%2F<name>&<OAuth>" (the service takes
// the slash of the call encoded).
[[nodiscard]] WipedBlock<wchar_t> DeleteUrl(DWORD folderIndex, const wchar_t *name, const wchar_t *accessToken,
                                            const wchar_t *accessSecret);
// PUT content "/1/chunked_upload?upload_id=<id>&offset=<offset>&<OAuth>"; without an upload id (the
// first chunk) "/1/chunked_upload?&offset=<offset>&<OAuth>".
[[nodiscard]] WipedBlock<wchar_t> ChunkUrl(const wchar_t *uploadId, const wchar_t *offset,
                                           const wchar_t *accessToken, const wchar_t *accessSecret);
// POST content "/1/commit_chunked_upload/sandbox/<remotePath>?overwrite=true&parent_rev=<rev>&upload_id=<id>&<OAuth>";
// without a revision (a new file) "...?upload_id=<id>&<OAuth>".
[[nodiscard]] WipedBlock<wchar_t> CommitUrl(const wchar_t *remotePath, const wchar_t *revision,
                                            const wchar_t *uploadId, const wchar_t *accessToken,
                                            const wchar_t *accessSecret);
