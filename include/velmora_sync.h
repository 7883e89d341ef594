/*
 * velmora_sync.h - the public interface of the Velmora sync library.
 *
 * The library is a DLL (VelmoraSync.dll for 32-bit hosts, VelmoraSync64.dll for
 * 64-bit hosts) that keeps the user's files in step with a cloud storage account.
 * Every export uses the cdecl calling convention.
 *
 * Threads and ownership
 * ---------------------
 * Long operations (request token, listing, download, upload, delete) run on a
 * worker thread of the library and report to a window of the host with
 * HOST_MESSAGE, sent with SendMessageW: the host's window procedure runs on the
 * window's own thread while the worker waits, so that thread must keep pumping
 * messages and must never wait for a worker.
 *
 * Every block a message carries (the HostRecord, its HostMessage, the payload,
 * and texts the payload points to) belongs to the host once delivered and goes
 * back one block per call through FreeDropBoxMemory. Pointers into the host's
 * own variables (result byte, size variable) and the link status byte are not
 * freed. After an operation's final message the host calls KillDropBoxThread
 * with the record's thread id.
 *
 * Every message of an operation comes from that operation's worker thread, whose
 * id the record carries; exports that return their result directly
 * (CheckForAccessTokenResponse, DBFolderInitialization, GetAccessCreds and the
 * small services) run on the calling thread and send nothing.
 */
#ifndef VELMORA_SYNC_H
#define VELMORA_SYNC_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VELMORA_API
#define VELMORA_API __declspec(dllimport)
#endif
#define VELMORA_CALL __cdecl

/* The one window message the library sends (wParam: the window, or 0 for the
 * transfer step messages; lParam: a HostRecord*, or 0 when it could not be
 * allocated). */
#define HOST_MESSAGE 47538u

/* Message kinds. */
enum HostMessageKind {
    MsgFetchFinishedMode2 = 15, /* TransferPayload (cancelled) or ResultPayload (final) */
    MsgTransferProgress = 16,   /* TransferPayload, count set */
    MsgFetchFinishedMode0 = 17, /* as 15, mode 0 */
    MsgFetchFinishedMode1 = 18, /* as 15, mode 1 */
    MsgDeleteFinished = 19,     /* ResultPayload, final */
    MsgUploadFinished = 20,     /* ResultPayload, final */
    MsgMetadataListing = 21,    /* ListingPayload, final */
    MsgMetadataSize = 22,       /* ListingSizePayload, final */
    MsgLinkStatus = 23,         /* LinkStatusPayload, final */
    MsgTransferFailed = 24      /* TransferPayload, code and class set */
};

/* Code classes of a TransferPayload. */
enum TransferCodeClass { CodeClassNone = 0, CodeClassHttpStatus = 1, CodeClassOperation = 2, CodeClassSystemError = 3 };

typedef struct HostMessage {
    DWORD kind;    /* a HostMessageKind */
    DWORD size;    /* sizeof the payload in this build: 20, 28 or 32 for 32-bit hosts */
    void *payload; /* begins with PayloadTag */
} HostMessage;

typedef struct HostRecord {
    DWORD threadId;       /* the worker's id: the argument for KillDropBoxThread */
    HostMessage *message; /* may be NULL when it could not be allocated */
} HostRecord;

/* Every payload begins with these 16 bytes: {A84B75DF-EC8E-412A-A965-B3AF70CF72EF}. */
#define VELMORA_PAYLOAD_TAG_BYTES                                                                                      \
    { 0xDF, 0x75, 0x4B, 0xA8, 0x8E, 0xEC, 0x2A, 0x41, 0xA9, 0x65, 0xB3, 0xAF, 0x70, 0xCF, 0x72, 0xEF }

typedef struct PayloadTag {
    BYTE bytes[16];
} PayloadTag;

typedef struct ResultPayload {
    PayloadTag tag;
    BYTE *result; /* the host's result byte: 1 success, 0 failure */
} ResultPayload;

typedef struct TransferPayload {
    PayloadTag tag;
    ULONGLONG count; /* bytes moved in this step (kind 16) */
    DWORD code;
    DWORD codeClass; /* a TransferCodeClass */
} TransferPayload;

typedef struct ListingPayload {
    PayloadTag tag;
    BYTE *result;
    wchar_t *path; /* library copy: free with FreeDropBoxMemory */
    char *listing; /* library text, or NULL: free with FreeDropBoxMemory */
    DWORD length;  /* the length the host passed */
} ListingPayload;

typedef struct ListingSizePayload {
    PayloadTag tag;
    BYTE *result;
    wchar_t *path; /* library copy: free with FreeDropBoxMemory */
    DWORD *size;   /* the host's size variable, already filled */
} ListingSizePayload;

typedef struct LinkStatusPayload {
    PayloadTag tag;
    BYTE *status; /* 1: browser started with the authorization page; 0: failed */
    BYTE reserved[12];
} LinkStatusPayload;

/* ---- Housekeeping (any thread of the host) ---- */

/* Stores a text of the host (at most 999 bytes are kept; NULL is ignored). */
VELMORA_API void VELMORA_CALL SetInfo(const char *text);
/* Releases one block the library handed over. Returns 1, or -1 for NULL. */
VELMORA_API int VELMORA_CALL FreeDropBoxMemory(void *block);
/* Forgets a worker that sent its final message. 1 released, 0 unknown id, -1 for 0. */
VELMORA_API int VELMORA_CALL KillDropBoxThread(DWORD threadId);

/* ---- Small services (caller's thread) ---- */

/* Splits a URL into host and path-with-query; both buffers come from the process
 * heap (HeapFree(GetProcessHeap(), ...)). Returns 0 or a Windows error code;
 * on failure neither out-value is written. *path is NULL when the URL has none. */
VELMORA_API DWORD VELMORA_CALL CrackHostAndPath(const wchar_t *url, wchar_t **host, wchar_t **path);
/* Reports the proxy type bit (0 unreadable, 1 direct, 2 manual proxy, 4 script,
 * 8 auto-detect) and, for 2, the server text (free with FreeDropBoxMemory). */
VELMORA_API void VELMORA_CALL GetProxyInfo(DWORD *proxyType, wchar_t **proxyServer);
/* Converts a service date text to a FILETIME value (116444736000000000 when it
 * does not parse). */
VELMORA_API ULONGLONG VELMORA_CALL ConvertToFILETIME(const char *serviceDate);

/* ---- Account (caller's thread unless said otherwise) ---- */

/* Reads the stored access token and secret. 0 and two texts (free each with
 * FreeDropBoxMemory), or -1 with both NULL. */
VELMORA_API int VELMORA_CALL GetAccessCreds(wchar_t **token, wchar_t **secret);
/* Starts linking on a worker: fills the two variables with the request token
 * and secret (free with FreeDropBoxMemory), opens the authorization page in the
 * browser and sends MsgLinkStatus. 0 started, 1 not started (no message). */
VELMORA_API int VELMORA_CALL RequestAccessToken(HWND window, wchar_t **requestToken, wchar_t **requestSecret);
/* Trades an approved request token for the access pair and stores it. 0 or 1. */
VELMORA_API int VELMORA_CALL CheckForAccessTokenResponse(const wchar_t *requestToken, const wchar_t *requestSecret);
/* Creates the three application folders where missing. 0 or 1. */
VELMORA_API int VELMORA_CALL DBFolderInitialization(void);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_SYNC_H */
