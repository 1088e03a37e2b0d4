#include "foundation/ResultCodes.h"

HRESULT HResultFromError(DWORD dwError) {
    const auto value = static_cast<LONG>(dwError);
    if (value <= 0)
        return value;
    if (dwError & 0x20000000u)
        return VuroCode(dwError & 0xFFFFu);
    return HRESULT(0x80070000u | (dwError & 0xFFFFu));
}

HRESULT HResultFromLastError() {
    return HResultFromError(GetLastError());
}

HRESULT FailureFromLastError() {
    const HRESULT hResult = HResultFromLastError();
    return FAILED(hResult) ? hResult : E_FAIL;
}
