// Folder listings: the size query and the listing itself, each on a worker of its own.
// The exports getDBMetadataBufferSize and getDropboxMetadata are shims over these.
#pragma once
#include <windows.h>

// Starts MetadataSizeWorker: asks for the listing of folderPath (inserted into
// the URL as it is) and counts its bytes into *size, then sends MsgMetadataSize.
// Returns 0 when the worker runs, 1 when not (*result 0 when the path could not be copied).
[[nodiscard]] int StartMetadataSize(HWND window, BYTE *result, const wchar_t *folderPath, DWORD *size);

// Starts MetadataWorker: asks for the listing again and hands it over in
// MsgMetadataListing when it is exactly expectedLength bytes long.
// Returns 0 when the worker runs, 1 when not (*result 0 when the path could not be copied).
[[nodiscard]] int StartMetadataListing(HWND window, BYTE *result, const wchar_t *folderPath, DWORD expectedLength);

// The largest listing the library keeps: far above any folder of the application
// (25,000 entries take about 10 MB), and a bound on what a reply can make it allocate.
constexpr DWORD kListingCap = 64u << 20;
