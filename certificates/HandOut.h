// Handing owned values out through the described routines' out-parameters:
// new[] copies the caller frees with delete[].
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <algorithm>
#include <new>
#include <vector>

// HandOutText: a NUL-terminated new[] copy of wstrText (embedded NULs and
// all) in *ppwszDest. Returns 0 or E_OUTOFMEMORY (nothing handed out then).
inline HRESULT HandOutText(const WString& wstrText, WCHAR** ppwszDest) {
    WCHAR* pwszCopy = new (std::nothrow) WCHAR[wstrText.size() + 1]();
    if (pwszCopy == nullptr)
        return E_OUTOFMEMORY;
    std::copy(wstrText.begin(), wstrText.end(), pwszCopy);
    *ppwszDest = pwszCopy;
    return VURO_OK;
}

// HandOutBytes: a new[] copy of the bytes in *ppbDest (an array is allocated
// even for no bytes). Returns 0 or E_OUTOFMEMORY (nothing handed out then).
inline HRESULT HandOutBytes(const std::vector<BYTE>& bytes, BYTE** ppbDest) {
    BYTE* pbCopy = new (std::nothrow) BYTE[bytes.size()]();
    if (pbCopy == nullptr)
        return E_OUTOFMEMORY;
    std::copy(bytes.begin(), bytes.end(), pbCopy);
    *ppbDest = pbCopy;
    return VURO_OK;
}
