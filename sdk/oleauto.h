// POSIX stand-in for <oleauto.h>: system strings (BSTR). A BSTR points at UTF-16
// text preceded by its byte length (32 bits) and followed by a NUL.
#pragma once
#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);
#ifdef __cplusplus
}
#endif
