/* import-host.exe: a host linked against one of the package's import libraries
 * instead of loading the library, using only kernel32, user32 and the library
 * (no C runtime), so that an MSVC-compatible linker links it from the package
 * alone. Prints, one "name=value" per line, what exports that run on the
 * calling thread return; the kit tests compare them with the stand-in. */
#include <windows.h>

#include "velmora_sync.h"

static void Say(const char *text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)lstrlenA(text), &written, NULL);
}

/* The entry point (no C runtime: it never returns, it ends the process). */
void __cdecl HostMain(void) {
    static const char listing[] = "{\"path\": \"/User Notes\", \"is_dir\": true, \"contents\": ["
                                  "{\"path\": \"/User Notes/a\", \"is_dir\": false}, "
                                  "{\"path\": \"/User Notes/b\", \"is_dir\": true}, "
                                  "{\"path\": \"/User Notes/c\", \"is_dir\": false}]}";
    char line[600];
    char token[256]; /* no initializer: a compiler could make it a memset call, which no runtime provides */
    wchar_t *storedToken = NULL;
    wchar_t *storedSecret = NULL;
    ULONGLONG filetime = ConvertToFILETIME("Wed, 29 Oct 2014 19:30:19 +0000");
    int creds = GetAccessCreds(&storedToken, &storedSecret);
    token[0] = '\0';
    if (storedToken != NULL) WideCharToMultiByte(CP_UTF8, 0, storedToken, -1, token, (int)sizeof token, NULL, NULL);
    wsprintfA(line,
              "creds=%d\r\ntoken=%s\r\nsecret_present=%d\r\nfolders=%d\r\nfiles=%d\r\n"
              "filetime_high=%lu\r\nfiletime_low=%lu\r\nfree_null=%d\r\nkill_zero=%d\r\nversion=%s\r\n",
              creds, token, storedSecret != NULL, DBFolderInitialization(), GetNumberOfRemoteFiles(listing),
              (unsigned long)(filetime >> 32), (unsigned long)(filetime & 0xFFFFFFFFu), FreeDropBoxMemory(NULL),
              KillDropBoxThread(0), VELMORA_SYNC_VERSION_STRING);
    Say(line);
    FreeDropBoxMemory(storedToken);
    FreeDropBoxMemory(storedSecret);
    ExitProcess(0);
}
