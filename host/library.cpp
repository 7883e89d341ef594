// Loading the sync DLL the way a host application does.
#include "library.h"

#include "output.h"

#include <winver.h>

namespace {

// GetProcAddress returns FARPROC; the cast to the header's own pointer type is the documented way.
template <class Fn> void Resolve(HMODULE module, const char *name, Fn &slot) {
    slot = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

} // namespace

std::wstring DefaultLibraryPath() {
    wchar_t exe[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, length);
    size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + (sizeof(void *) == 8 ? L"VelmoraSync64.dll" : L"VelmoraSync.dll");
}

bool LoadSyncLibrary(const std::wstring &path, Library &library, std::string &reason) {
    library.module = LoadLibraryW(path.c_str());
    if (library.module == nullptr) {
        reason = "cannot load " + Utf8(path.c_str()) + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    HMODULE m = library.module;
#define VELMORA_RESOLVE_EXPORT(field, name) Resolve(m, #name, library.field);
    VELMORA_HOST_EXPORTS(VELMORA_RESOLVE_EXPORT)
#undef VELMORA_RESOLVE_EXPORT
#define VELMORA_RESOLVE_HOOK(field, name, Type) Resolve(m, #name, library.hooks.field);
    VELMORA_TEST_HOOKS(VELMORA_RESOLVE_HOOK)
#undef VELMORA_RESOLVE_HOOK
    return true;
}

bool LibraryVersion(const Library &library, std::wstring &path, std::string &version) {
    version.clear();
    wchar_t file[MAX_PATH];
    DWORD length = GetModuleFileNameW(library.module, file, MAX_PATH);
    path.assign(file, length);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return false;
    std::string data(size, '\0');
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixedSize = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &fixedSize) ||
        fixedSize < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE)
        return false;
    version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
              "." + std::to_string(HIWORD(fixed->dwFileVersionLS));
    if (LOWORD(fixed->dwFileVersionLS) != 0) version += "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
    return true;
}

bool ReportMissingExport(const char *name) {
    HostError(1, std::string("the DLL does not export ") + name);
    return false;
}
