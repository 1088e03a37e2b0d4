// POSIX stand-in for <objbase.h>: GUID creation and formatting.
#pragma once
#include "windows.h"

#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_MULTITHREADED 0x0

#ifdef __cplusplus
extern "C" {
#endif
HRESULT CoCreateGuid(GUID* pguid);
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize(void);
#ifdef __cplusplus
}
#endif
