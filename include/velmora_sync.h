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
 * HOST_MESSAGE, sent synchronously (SendMessageTimeoutW, no time-out): the
 * host's window procedure runs on the window's own thread while the worker
 * waits, so that thread must keep pumping messages and must never wait for a
 * worker.
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
 *
 * A message whose window no longer exists is not delivered: the library gives
 * its blocks back itself, and the operation runs on to its end.
 *
 * Lifecycle
 * ---------
 * Every operation whose starting export returned 0 ends with exactly one final
 * message (named with each export below; the transfer messages before it are
 * not final). Once it has come, the host gives back the blocks it carries and
 * calls KillDropBoxThread once with the record's thread id: inside the handler
 * of the final message or later, from any thread of the host. The worker is in
 * the thread table before it runs, so that call always finds it. Thirty workers
 * that have not been released are tracked; further ones run untracked
 * (KillDropBoxThread answers 0 for them). Without a window the host learns no
 * thread id: such a worker's slot stays taken.
 *
 * Unloading: a host may unload the library (FreeLibrary) once every operation
 * it started has sent its final message and the host has done the above for
 * it (without a window: once the result byte holds the outcome), also from
 * inside the handler of the last final message, while its worker still waits
 * in its send. Each worker holds a reference on the library from before
 * its thread starts until its thread's very end, so the library's code stays
 * mapped until the last worker has left it, and goes with that worker. A host
 * that unloads while an operation has still to send its final message keeps
 * the library mapped for that worker, and still receives its messages, whose
 * blocks it can then no longer give back.
 *
 * Replies from the service
 * ------------------------
 * Every request goes over HTTPS, and a redirect to plain HTTP fails it. A
 * reply counts only when its length is proven: a service call's reply must
 * name its Content-Length and bring exactly that many bytes (a reply cut
 * short, or framed without a length, fails the call as a refusal would); for
 * a download see getRemoteMergeFile. Reads and writes of every request wait
 * about a minute at most for a silent server.
 */
#ifndef VELMORA_SYNC_H
#define VELMORA_SYNC_H

/* The library version this header describes. The build takes its version from
 * CMakeLists.txt and refuses to configure when these differ from it; the DLL's
 * version resource carries the same numbers. */
#define VELMORA_SYNC_VERSION_MAJOR 1
#define VELMORA_SYNC_VERSION_MINOR 0
#define VELMORA_SYNC_VERSION_PATCH 0
#define VELMORA_SYNC_VERSION_STRING "1.0.0"
/* One number for #if: 10000 * major + 100 * minor + patch. */
#define VELMORA_SYNC_VERSION                                                                                           \
    (VELMORA_SYNC_VERSION_MAJOR * 10000 + VELMORA_SYNC_VERSION_MINOR * 100 + VELMORA_SYNC_VERSION_PATCH)

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

/* ---- Operations on worker threads ----
 *
 * Each returns 0 when its worker started (its messages follow, ending with
 * exactly one final message) or 1 when it did not (no message follows; the
 * result byte is 0 when an argument could not be copied or was refused, else
 * untouched). The host's result byte, size variable and cancel byte must stay
 * valid until the final message has been handled (without a window: until the
 * worker thread has ended). With a NULL window the operation runs the same
 * way and sends nothing; only the result byte tells the outcome.
 *
 * Folder indexes: 0 "Highlights", 1 "User Notes", 2 "User Tools"; any other
 * index is refused (return 1, result byte 0). Remote names and paths are plain
 * text: the library encodes them for the URL. */

/* Listing, step 1: asks for the listing of folderPath, a folder below the
 * application folder written as it stands in a URL, without a leading
 * separator (L"User%20Notes"), and counts its bytes.
 * Messages: MsgMetadataSize (final; *size already holds the length, 0 on
 * failure). */
VELMORA_API int VELMORA_CALL getDBMetadataBufferSize(HWND window, BYTE *result, const wchar_t *folderPath, DWORD *size);
/* Listing, step 2: asks for the listing again; when its length is exactly
 * expectedLength (normally what step 1 reported) the payload carries it.
 * Messages: MsgMetadataListing (final; listing NULL unless *result is 1). */
VELMORA_API int VELMORA_CALL getDropboxMetadata(HWND window, BYTE *result, const wchar_t *folderPath,
                                                DWORD expectedLength);
/* Counts the files of a listing: the entries of its "contents" whose "is_dir"
 * is false. 0 when there are none, or the text is no listing (caller's thread). */
VELMORA_API int VELMORA_CALL GetNumberOfRemoteFiles(const char *listing);

/* Downloads remoteName of a folder into localPath and gives it the service's
 * modification time. The body goes into a temporary file in localPath's
 * folder, named "~vs" and 8 hex digits (~vs0123abcd) and hidden; it replaces
 * the target only once the whole file is on disk, and an existing target keeps
 * its attributes (and, on Windows, its security, creation time and streams).
 * Hosts and sync tools should skip files of that pattern: a crash can leave
 * one behind. A failed or cancelled download leaves an existing target as it
 * was and no temporary file. A host (or any program) that holds the target
 * open without FILE_SHARE_DELETE blocks its replacement: the library waits
 * about a second for such a holder, then fails with its system error.
 * The download is complete only when its length is proven: the "bytes" of the
 * reply's metadata (the file's size) when it names one, else the reply's
 * Content-Length; a body of another length, or a reply that names neither,
 * fails with 4010. A nonzero *cancel stops it: the byte is looked at between
 * reads, so a read under way ends first. No read or write waits on a silent
 * server for more than about a minute. mode picks the final message's kind:
 * 0 MsgFetchFinishedMode0, 1 MsgFetchFinishedMode1, 2 MsgFetchFinishedMode2
 * (any other value: MsgFetchFinishedMode0).
 * Messages (wParam 0): MsgTransferProgress per piece written (count = its
 * bytes); on cancel the kind of the mode with a TransferPayload, then
 * MsgTransferFailed (4008, 2); on failure MsgTransferFailed with its code.
 * Final (wParam the window): the kind of the mode with a ResultPayload (its
 * tag is zero when *cancel was set at that moment).
 * Codes (class 2): 4001 proxy settings unreadable, 4002 and 4006 no memory
 * for a buffer, 4003 status other than 200, 4007 no memory for a message,
 * 4008 cancelled, 4009 the service sent an error object instead of the file,
 * 4010 the body's length is not proven (cut short, too long, or named
 * nowhere). Class 3: the system error of the failing call: network (12002 or,
 * under Wine, 12030 for a server that stopped sending; 12040 for a redirect
 * away from HTTPS), local file (112 for a full disk), replacing the target
 * (32 or 5 while another program holds it). */
VELMORA_API int VELMORA_CALL getRemoteMergeFile(HWND window, const wchar_t *remoteName, DWORD folderIndex,
                                                const wchar_t *localPath, BYTE *result, BYTE *cancel, DWORD mode);
/* Deletes remoteName of a folder. Messages: MsgDeleteFinished (final). */
VELMORA_API int VELMORA_CALL BVDeleteRemote(HWND window, const wchar_t *remoteName, DWORD folderIndex, BYTE *result);
/* Uploads localPath to remotePath (a path below the application folder,
 * "User Notes/a.txt") in chunks of 256 KiB, committed at the remote file's
 * current revision (or created), then gives the local file the service's
 * modification time. A nonzero *cancel stops it before its next chunk. The
 * fourth argument is not used.
 * The file stays shared for reading and writing: the host may go on saving it.
 * Its size, last-write time and change time (where the file system keeps one)
 * are noted when the upload opens it. A file that is no longer as noted after
 * its last chunk, or became too short to read a chunk, is not committed (its
 * chunks may mix two versions): MsgTransferFailed (5007), then
 * MsgUploadFinished with 0; upload it again. One that changes during the
 * commit is committed as it was sent (result 1) but keeps its own time, so
 * that the newer version does not look in step.
 * Messages (wParam 0): MsgTransferProgress per chunk the service accepted
 * (count = its bytes); MsgTransferFailed when the upload fails on the way:
 * class 1 the HTTP status of a chunk request, class 3 the system error of a
 * chunk request (such as 12002, 12030 under Wine, for a server that stopped
 * answering, 12040 for a redirect away from HTTPS), class 2 one of:
 *   5001 the proxy settings cannot be read
 *   5002 no memory for a chunk's answer
 *   5003 the service answered a chunk with an error object
 *   5004 no memory for the copy of the upload id
 *   5005 (not sent: the offset needs no copy)
 *   5006 no memory for a progress message
 *   5007 the local file changed while it was being sent (see above)
 *   5008 the service's answers would not end the upload: offsets that do
 *        not advance three times in a row, more chunk requests than twice
 *        the file's chunks and three, or an offset outside the bytes this
 *        upload sent.
 * Final (wParam the window): MsgUploadFinished. */
VELMORA_API int VELMORA_CALL BVUpdateRemoteWithFeedback(HWND window, const wchar_t *remotePath, const wchar_t *localPath,
                                                        DWORD unused, BYTE *result, BYTE *cancel);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_SYNC_H */
