// URL splitting and the user's proxy setting. The exports CrackHostAndPath and
// GetProxyInfo are declared in velmora_sync.h; this adds what their callers inside the library need.
#pragma once
#include <windows.h>

// Releases a host or path buffer of CrackHostAndPath (process heap); null is ignored.
void FreeCrackedText(wchar_t *text);
