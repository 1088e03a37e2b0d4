#include "certificates/AgentAnswers.h"

#include "certificates/CspQueries.h"
#include "foundation/Trace.h"

#include <oleauto.h>

// Traced as the agents trace their own steps.
#define TRACE_MODULE "CryptoAgent"

namespace orvane::answers {

HRESULT HandOutProviderNames(const WCHAR* pwszOp, BSTR* pbstrNames) {
    WString wstrNames;
    const HRESULT hResult = GetAllCSPName(&wstrNames);
    if (TRACE_IF_W(FAILED(hResult), pwszOp, TEXT("GetAllCSPName"), hResult))
        return hResult;
    TRACE_OK_W(pwszOp, TEXT("GetAllCSPName"));
    TraceValueW("CSP names", wstrNames.c_str());
    // Up to the first terminator, as the text has always been answered.
    const BSTR bstrNames = SysAllocStringLen(wstrNames.c_str(), UINT(lstrlenW(wstrNames.c_str())));
    if (TRACE_IF_W(bstrNames == nullptr, pwszOp, TEXT("New buffer"), E_OUTOFMEMORY))
        return E_OUTOFMEMORY;
    *pbstrNames = bstrNames;
    return VURO_OK;
}

} // namespace orvane::answers
