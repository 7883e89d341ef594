// Owner of one WinINet handle (session, connection or request).
#pragma once
#include <windows.h>
#include <wininet.h>

#include "frame/owner_win32.h"

inline void CloseInternetHandle(HINTERNET handle) { InternetCloseHandle(handle); }
using InternetHandle = Owner<NullMeansEmpty<HINTERNET, CloseInternetHandle>>;
