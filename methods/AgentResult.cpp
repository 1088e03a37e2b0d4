#include "methods/AgentResult.h"

#include "foundation/ErrorText.h"

namespace orvane {

HRESULT LastResult::Describe(HMODULE hModule, BSTR* pbstrDesc) const {
    return BuildErrorDescription(hModule != nullptr ? hModule : GetModuleHandleW(nullptr),
                                 m_hResult, pbstrDesc);
}

} // namespace orvane
