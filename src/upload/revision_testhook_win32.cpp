// Test DLL only: the revision lookup of an upload on its own, so that tests can drive it (and
// fail its calls) without the chunks and the commit around it.
#include "request/encoding_win32.h"
#include "upload/revision_win32.h"

// Encodes remotePath as the upload does and looks up its revision. Returns
// 200 (found; *revision the text, which the host frees with
// FreeDropBoxMemory), 404 (nothing there) or -1; *revision is null unless 200.
extern "C" __declspec(dllexport) int __cdecl VelmoraDebugRevision(const wchar_t *remotePath, char **revision) {
    if (revision == nullptr) return kRevisionUnknown;
    *revision = nullptr;
    const LibBlock<wchar_t> encoded = EncodeForUrl(remotePath);
    if (!encoded) return kRevisionUnknown;
    LibBlock<char> found;
    const int lookup = GetRemoteRevision(encoded.get(), &found);
    *revision = found.release();
    return lookup;
}
