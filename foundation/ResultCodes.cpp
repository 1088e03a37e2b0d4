#include "foundation/ResultCodes.h"

HRESULT HResultFromError(DWORD dwError) {
    // A user's cancel has one code whatever layer saw it (the system's own
    // windows, a token's PIN prompt, a system dialog), so callers and pages
    // need test for one value only.
    if (dwError == ERROR_CANCELLED || dwError == DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED)) ||
        dwError == DWORD(SCARD_W_CANCELLED_BY_USER))
        return VURO_E_USER_CANCELED;
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
