// What every agent operation does around its body, shared by the enrolment
// and the signing agents: memory running out anywhere inside becomes
// E_OUTOFMEMORY instead of an exception leaving the agent, and a missing
// place for a result is traced before the call fails with E_POINTER.
#pragma once

#include <windows.h>

#include <new>

namespace orvane {

// TraceOutOfMemory: the trace line of an operation that ran out of memory at
// pwszStep, under the agents' trace module.
void TraceOutOfMemory(const WCHAR* pwszOperation, const WCHAR* pwszStep) noexcept;

// RunGuarded: body's result, or E_OUTOFMEMORY (traced at pwszStep) when it
// throws std::bad_alloc.
template <class Body>
[[nodiscard]] HRESULT RunGuarded(const WCHAR* pwszOperation, const WCHAR* pwszStep,
                                 Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        TraceOutOfMemory(pwszOperation, pwszStep);
        return E_OUTOFMEMORY;
    }
}

// CheckOut: whether the caller gave the out pointer; a null one is traced
// (the call then fails with E_POINTER rather than writing through it).
[[nodiscard]] bool CheckOut(const WCHAR* pwszOp, const void* pvOut,
                            const WCHAR* pwszReason) noexcept;

} // namespace orvane
