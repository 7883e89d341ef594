// Test DLL only: runs ExecuteRequest or MeasureResponse on a URL the test chose.
#include "transport/executor_win32.h"

// Sets *status, *count and *body to 0/null, then runs MeasureResponse (measure
// non-zero: *count set) or ExecuteRequest (*status and *body set as it sets
// them). Returns 1 when the call returned true, 0 otherwise; the host frees
// *body with FreeDropBoxMemory.
extern "C" int __cdecl VelmoraDebugExecute(const wchar_t *url, int measure, DWORD *status, DWORD *count, char **body) {
    if (status == nullptr || count == nullptr || body == nullptr) return 0;
    *status = 0;
    *count = 0;
    *body = nullptr;
    if (measure != 0) return MeasureResponse(url, count) ? 1 : 0;
    LibBlock<char> reply;
    const bool completed = ExecuteRequest(url, &reply, status);
    *body = reply.release();
    return completed ? 1 : 0;
}
