// Loading the sync DLL the way a host application does.
#include "library.h"

#include "output.h"

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

bool ReportMissingExport(const char *name) {
    HostError(1, std::string("the DLL does not export ") + name);
    return false;
}
