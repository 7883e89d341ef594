/*
 * minimal-host.c - a whole host of the Velmora sync library in plain C.
 *
 *   minimal-host.exe [--dll PATH] FILE COPY
 *
 * Loads the library, links the user's account when no access pair is stored
 * yet, creates the application's folders, uploads FILE to "User Notes" with a
 * progress line, lists that folder and counts its files, downloads the file
 * back to COPY with a progress line, deletes it from the account and unloads
 * the library. Every block the library hands over goes back to it, every worker
 * is released and waited for. Exit code 0 when every step succeeded, 1 when
 * one failed, 2 for bad arguments.
 *
 * Build with mingw-w64 (the library is loaded at run time: no import library):
 *   x86_64-w64-mingw32-gcc -municode -Wall -Wextra -Iinclude examples/minimal-host.c -o minimal-host.exe
 * and put the DLL beside the exe, or name it with --dll.
 *
 * The rules a host follows, in the order they come up below:
 * - Operations run on a worker thread of the library and report with
 *   HOST_MESSAGE, sent to a window of the host: the thread that owns the window
 *   must keep pumping messages while an operation runs.
 * - A message whose wParam is the host's window is the operation's last one.
 * - The record, its message, the payload and the texts a listing payload
 *   points to belong to the host: each goes back with FreeDropBoxMemory.
 * - Once the window procedure has returned from the last message, the host
 *   opens the worker's thread, calls KillDropBoxThread with its id and waits
 *   for the thread to end. Only then may it unload the library or exit.
 * - The result byte, size variable and cancel byte stay valid until the last
 *   message has been handled; here they live in a static record.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "velmora_sync.h"

/* ---- The exports this host calls, looked up by name ---- */

typedef int(VELMORA_CALL *FreeDropBoxMemoryFn)(void *block);
typedef int(VELMORA_CALL *KillDropBoxThreadFn)(DWORD threadId);
typedef int(VELMORA_CALL *GetAccessCredsFn)(wchar_t **token, wchar_t **secret);
typedef int(VELMORA_CALL *RequestAccessTokenFn)(HWND window, wchar_t **requestToken, wchar_t **requestSecret);
typedef int(VELMORA_CALL *CheckForAccessTokenResponseFn)(const wchar_t *requestToken, const wchar_t *requestSecret);
typedef int(VELMORA_CALL *DBFolderInitializationFn)(void);
typedef int(VELMORA_CALL *getDBMetadataBufferSizeFn)(HWND window, BYTE *result, const wchar_t *folderPath, DWORD *size);
typedef int(VELMORA_CALL *getDropboxMetadataFn)(HWND window, BYTE *result, const wchar_t *folderPath,
                                                DWORD expectedLength);
typedef int(VELMORA_CALL *GetNumberOfRemoteFilesFn)(const char *listing);
typedef int(VELMORA_CALL *getRemoteMergeFileFn)(HWND window, const wchar_t *remoteName, DWORD folderIndex,
                                                const wchar_t *localPath, BYTE *result, BYTE *cancel, DWORD mode);
typedef int(VELMORA_CALL *BVDeleteRemoteFn)(HWND window, const wchar_t *remoteName, DWORD folderIndex, BYTE *result);
typedef int(VELMORA_CALL *BVUpdateRemoteWithFeedbackFn)(HWND window, const wchar_t *remotePath,
                                                        const wchar_t *localPath, DWORD unused, BYTE *result,
                                                        BYTE *cancel);

static struct {
    HMODULE module;
    FreeDropBoxMemoryFn FreeDropBoxMemory;
    KillDropBoxThreadFn KillDropBoxThread;
    GetAccessCredsFn GetAccessCreds;
    RequestAccessTokenFn RequestAccessToken;
    CheckForAccessTokenResponseFn CheckForAccessTokenResponse;
    DBFolderInitializationFn DBFolderInitialization;
    getDBMetadataBufferSizeFn getDBMetadataBufferSize;
    getDropboxMetadataFn getDropboxMetadata;
    GetNumberOfRemoteFilesFn GetNumberOfRemoteFiles;
    getRemoteMergeFileFn getRemoteMergeFile;
    BVDeleteRemoteFn BVDeleteRemote;
    BVUpdateRemoteWithFeedbackFn BVUpdateRemoteWithFeedback;
} lib;

/* GetProcAddress into the field of the same name. The cast goes through
 * void (*)(void), which converts to any function type without a warning. */
#define RESOLVE(name) ((lib.name = (name##Fn)(void (*)(void))GetProcAddress(lib.module, #name)) != NULL)

/* Loads the DLL at path; FALSE (with the module unloaded again) when it does
 * not load or lacks an export. */
static BOOL LoadSyncLibrary(const wchar_t *path) {
    lib.module = LoadLibraryW(path);
    if (lib.module == NULL) return FALSE;
    if (RESOLVE(FreeDropBoxMemory) && RESOLVE(KillDropBoxThread) && RESOLVE(GetAccessCreds) &&
        RESOLVE(RequestAccessToken) && RESOLVE(CheckForAccessTokenResponse) && RESOLVE(DBFolderInitialization) &&
        RESOLVE(getDBMetadataBufferSize) && RESOLVE(getDropboxMetadata) && RESOLVE(GetNumberOfRemoteFiles) &&
        RESOLVE(getRemoteMergeFile) && RESOLVE(BVDeleteRemote) && RESOLVE(BVUpdateRemoteWithFeedback))
        return TRUE;
    FreeLibrary(lib.module);
    lib.module = NULL;
    return FALSE;
}

/* ---- One operation at a time: its variables and what its messages said ---- */

static struct {
    BYTE result; /* the library writes 1 (success) or 0 before the last message */
    BYTE cancel; /* a nonzero value stops a transfer before its next piece */
    DWORD size;  /* the listing's length (getDBMetadataBufferSize) */
    const char *label;
    ULONGLONG expected; /* bytes the transfer moves, for the percent */
    ULONGLONG moved;
    BOOL progressShown;
    DWORD failureCode; /* of MsgTransferFailed: code and class, 0 when none came */
    DWORD failureClass;
    BYTE linkStatus; /* of MsgLinkStatus: 1 when the browser shows the authorization page */
    char *listing;   /* of MsgMetadataListing: the host's block until it is freed */
    BOOL finished;   /* the last message has been handled */
    DWORD workerId;  /* the thread that sent it */
} op;

static void BeginOperation(const char *label, ULONGLONG expected) {
    memset(&op, 0, sizeof op);
    op.result = 0xFF;
    op.label = label;
    op.expected = expected;
}

/* The progress line on stderr, redrawn in place. */
static void ShowProgress(void) {
    if (op.expected != 0)
        fprintf(stderr, "\r%s: %llu of %llu bytes (%llu%%)", op.label, op.moved, op.expected,
                op.moved * 100 / op.expected);
    else
        fprintf(stderr, "\r%s: %llu bytes", op.label, op.moved);
    op.progressShown = TRUE;
}

static void EndProgressLine(void) {
    if (op.progressShown) fputs("\n", stderr);
    op.progressShown = FALSE;
}

/* Takes what one payload says and frees the texts it points to (the payload
 * itself is freed by the caller). The size is checked before the cast: kinds
 * 15, 17 and 18 carry a TransferPayload when a download was cancelled and a
 * ResultPayload as the last message. */
static void ReadPayload(DWORD kind, DWORD size, void *payload) {
    if (kind == MsgTransferProgress && size == sizeof(TransferPayload)) {
        op.moved += ((TransferPayload *)payload)->count;
        ShowProgress();
    } else if (kind == MsgTransferFailed && size == sizeof(TransferPayload)) {
        op.failureCode = ((TransferPayload *)payload)->code;
        op.failureClass = ((TransferPayload *)payload)->codeClass;
    } else if (kind == MsgLinkStatus && size == sizeof(LinkStatusPayload)) {
        const BYTE *status = ((LinkStatusPayload *)payload)->status; /* the library's own byte: not freed */
        op.linkStatus = status != NULL ? *status : 0;
    } else if (kind == MsgMetadataSize && size == sizeof(ListingSizePayload)) {
        lib.FreeDropBoxMemory(((ListingSizePayload *)payload)->path); /* *size is already in op.size */
    } else if (kind == MsgMetadataListing && size == sizeof(ListingPayload)) {
        ListingPayload *listing = (ListingPayload *)payload;
        lib.FreeDropBoxMemory(listing->path);
        op.listing = listing->listing; /* kept for counting, freed after it */
    }
}

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    HostRecord *record;
    if (message != HOST_MESSAGE) return DefWindowProcW(window, message, wParam, lParam);
    record = (HostRecord *)lParam;
    if (record != NULL && record->message != NULL) {
        HostMessage *sent = record->message;
        if (sent->payload != NULL) ReadPayload(sent->kind, sent->size, sent->payload);
        lib.FreeDropBoxMemory(sent->payload);
        lib.FreeDropBoxMemory(sent);
    }
    if (wParam == (WPARAM)window) {
        op.finished = TRUE;
        /* 0 when the library could not allocate the record: that worker cannot be released. */
        op.workerId = record != NULL ? record->threadId : 0;
    }
    lib.FreeDropBoxMemory(record);
    return 0;
}

/* Pumps messages (the workers' sent messages arrive here) until the window
 * procedure has handled the operation's last message. FALSE after seconds. */
static BOOL PumpUntilFinished(DWORD seconds) {
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
    MSG msg;
    while (!op.finished) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return FALSE;
        MsgWaitForMultipleObjectsEx(0, NULL, (DWORD)(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return TRUE;
}

/* Releases the worker of the operation that just ended and waits for its end.
 * The thread is opened before KillDropBoxThread: until that call the library
 * holds a handle of it, so the id cannot belong to another thread yet. */
static BOOL ReleaseWorker(void) {
    HANDLE thread;
    int released;
    DWORD waited = WAIT_FAILED;
    if (op.workerId == 0) return FALSE;
    thread = OpenThread(SYNCHRONIZE, FALSE, op.workerId);
    released = lib.KillDropBoxThread(op.workerId);
    if (thread != NULL) {
        waited = WaitForSingleObject(thread, 10000); /* a worker sends nothing after its last message */
        CloseHandle(thread);
    }
    return released == 1 && waited == WAIT_OBJECT_0;
}

/* Set when an operation's last message did not come in time: its worker may
 * still run code of the library, which must then stay loaded. */
static BOOL workerLeftRunning;

/* Called with what the export that starts an operation returned: for 0 (its
 * worker runs) waits for the last message and releases the worker. FALSE when
 * the operation did not start or did not end in time. */
static BOOL Await(int returned) {
    BOOL finished;
    if (returned != 0) {
        fprintf(stderr, "%s: did not start\n", op.label);
        return FALSE;
    }
    finished = PumpUntilFinished(120);
    EndProgressLine();
    if (!finished) {
        fprintf(stderr, "%s: no last message within 120 s\n", op.label);
        workerLeftRunning = TRUE;
        return FALSE;
    }
    if (!ReleaseWorker()) fprintf(stderr, "%s: the worker %lu could not be released\n", op.label, op.workerId);
    return TRUE;
}

/* ---- The steps ---- */

/* UTF-8 for printing (empty for a text of more than 1023 bytes). */
static const char *Utf8(const wchar_t *text) {
    static char out[1024];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, (int)sizeof out, NULL, NULL) == 0) out[0] = '\0';
    return out;
}

/* Gives a secret the library handed over back to it, wiped first so that it
 * lingers nowhere in memory. */
static void FreeSecret(wchar_t *secret) {
    if (secret != NULL) SecureZeroMemory(secret, wcslen(secret) * sizeof *secret);
    lib.FreeDropBoxMemory(secret);
}

/* Links the account when GetAccessCreds finds no stored pair: a request token
 * (its worker opens the authorization page in the browser), then the exchange
 * for the access pair, tried every second until the user has approved or two
 * minutes have passed. Static: after a timeout the worker may still write them. */
static BOOL LinkIfNeeded(HWND window) {
    static wchar_t *requestToken, *requestSecret;
    wchar_t *token = NULL, *secret = NULL;
    BOOL linked = FALSE;
    int attempt;
    if (lib.GetAccessCreds(&token, &secret) == 0) {
        lib.FreeDropBoxMemory(token);
        FreeSecret(secret);
        puts("account already linked");
        return TRUE;
    }
    BeginOperation("link", 0);
    if (!Await(lib.RequestAccessToken(window, &requestToken, &requestSecret))) return FALSE;
    if (op.linkStatus == 1 && requestToken != NULL && requestSecret != NULL) {
        puts("approve the access in the browser");
        for (attempt = 0; attempt < 120 && !linked; ++attempt) {
            linked = lib.CheckForAccessTokenResponse(requestToken, requestSecret) == 0;
            if (!linked) Sleep(1000);
        }
    }
    lib.FreeDropBoxMemory(requestToken); /* NULL when the worker failed early: that returns -1 */
    FreeSecret(requestSecret);
    requestToken = requestSecret = NULL;
    puts(linked ? "account linked" : "account not linked");
    return linked;
}

static ULONGLONG FileSize(const wchar_t *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

/* TRUE when the operation that just ended set its result byte to 1; otherwise
 * says so, with the code of its MsgTransferFailed when one came. */
static BOOL Succeeded(const wchar_t *name) {
    if (op.result == 1) return TRUE;
    fprintf(stderr, "%s %s failed (code %lu, class %lu)\n", op.label, Utf8(name), op.failureCode, op.failureClass);
    return FALSE;
}

/* Uploads localPath as "User Notes/<name>": a remote path of plain text below
 * the application folder. */
static BOOL Upload(HWND window, const wchar_t *localPath, const wchar_t *name) {
    wchar_t remotePath[MAX_PATH + 16] = L"User Notes/";
    if (wcslen(name) >= MAX_PATH) return FALSE;
    wcscat(remotePath, name);
    BeginOperation("upload", FileSize(localPath));
    if (!Await(lib.BVUpdateRemoteWithFeedback(window, remotePath, localPath, 0, &op.result, &op.cancel)) ||
        !Succeeded(remotePath))
        return FALSE;
    printf("uploaded %s\n", Utf8(remotePath));
    return TRUE;
}

/* Lists "User Notes" and counts its files. A listing names its folder as it
 * stands in a URL: first the size query, then the listing of that length. */
static BOOL ListAndCount(HWND window) {
    const wchar_t *folder = L"User%20Notes";
    DWORD length;
    BOOL listed;
    BeginOperation("size query", 0);
    if (!Await(lib.getDBMetadataBufferSize(window, &op.result, folder, &op.size)) || !Succeeded(folder)) return FALSE;
    length = op.size;
    BeginOperation("listing", 0);
    if (!Await(lib.getDropboxMetadata(window, &op.result, folder, length))) return FALSE;
    listed = Succeeded(folder) && op.listing != NULL;
    if (listed) printf("User Notes: %lu bytes of listing, %d files\n", length, lib.GetNumberOfRemoteFiles(op.listing));
    lib.FreeDropBoxMemory(op.listing);
    op.listing = NULL;
    return listed;
}

/* Downloads name of folder 1 ("User Notes") into localPath: a remote name of
 * plain text and a folder index. Mode 0: the last message is kind 17. */
static BOOL Download(HWND window, const wchar_t *name, const wchar_t *localPath, ULONGLONG expected) {
    BeginOperation("download", expected);
    if (!Await(lib.getRemoteMergeFile(window, name, 1, localPath, &op.result, &op.cancel, 0)) || !Succeeded(name))
        return FALSE;
    printf("downloaded %s\n", Utf8(name));
    return TRUE;
}

static BOOL Delete(HWND window, const wchar_t *name) {
    BeginOperation("delete", 0);
    if (!Await(lib.BVDeleteRemote(window, name, 1, &op.result)) || !Succeeded(name)) return FALSE;
    printf("deleted User Notes/%s\n", Utf8(name));
    return TRUE;
}

/* The DLL of this process's bitness beside the exe. */
static void DefaultLibraryPath(wchar_t *path, DWORD capacity) {
    DWORD length = GetModuleFileNameW(NULL, path, capacity);
    while (length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/') --length;
    path[length] = L'\0';
    if (length + 20 < capacity) wcscat(path, sizeof(void *) == 8 ? L"VelmoraSync64.dll" : L"VelmoraSync.dll");
}

/* Every step in turn; stops at the first that fails. */
static BOOL RunSteps(HWND window, const wchar_t *file, const wchar_t *copy) {
    const wchar_t *name = file + wcslen(file);
    while (name > file && name[-1] != L'\\' && name[-1] != L'/') --name;
    if (!LinkIfNeeded(window)) return FALSE;
    if (lib.DBFolderInitialization() != 0) {
        fprintf(stderr, "the application folders could not be created\n");
        return FALSE;
    }
    return Upload(window, file, name) && ListAndCount(window) && Download(window, name, copy, FileSize(file)) &&
           Delete(window, name);
}

int wmain(int argc, wchar_t **argv) {
    wchar_t dllPath[MAX_PATH];
    WNDCLASSEXW windowClass;
    HWND window;
    BOOL ok;
    int first = 1;
    if (argc == 5 && wcscmp(argv[1], L"--dll") == 0) {
        wcsncpy(dllPath, argv[2], MAX_PATH - 1);
        dllPath[MAX_PATH - 1] = L'\0';
        first = 3;
    } else if (argc == 3) {
        DefaultLibraryPath(dllPath, MAX_PATH);
    } else {
        fprintf(stderr, "usage: minimal-host.exe [--dll PATH] FILE COPY\n");
        return 2;
    }
    if (!LoadSyncLibrary(dllPath)) {
        fprintf(stderr, "cannot load %s (error %lu)\n", Utf8(dllPath), GetLastError());
        return 1;
    }

    /* A message-only window: it receives messages but is never shown. */
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"MinimalHostWindow";
    RegisterClassExW(&windowClass);
    window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                             windowClass.hInstance, NULL);
    if (window == NULL) {
        fprintf(stderr, "cannot create the message window (error %lu)\n", GetLastError());
        FreeLibrary(lib.module);
        return 1;
    }

    ok = RunSteps(window, argv[first], argv[first + 1]);
    DestroyWindow(window);
    if (workerLeftRunning) {
        fprintf(stderr, "a worker is still running: the library stays loaded\n");
        return 1;
    }
    FreeLibrary(lib.module);
    puts(ok ? "done" : "stopped");
    return ok ? 0 : 1;
}
