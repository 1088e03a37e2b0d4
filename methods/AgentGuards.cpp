// Both agents trace under one module name; so do their shared guards.
#define TRACE_MODULE "CryptoAgent"

#include "methods/AgentGuards.h"

#include "foundation/Trace.h"

namespace orvane {

void TraceOutOfMemory(const WCHAR* pwszOperation, const WCHAR* pwszStep) noexcept {
    TRACE_FAILED_W(pwszOperation, pwszStep, E_OUTOFMEMORY, TEXT("std::bad_alloc"));
}

bool CheckOut(const WCHAR* pwszOp, const void* pvOut, const WCHAR* pwszReason) noexcept {
    if (pvOut != nullptr)
        return true;
    TRACE_FAILED_W(pwszOp, TEXT("Check parameter"), E_POINTER, pwszReason);
    return false;
}

} // namespace orvane
