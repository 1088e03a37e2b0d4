// Answers the enrolment and the signing agent give the same way.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <windows.h>

namespace orvane::answers {

// HandOutProviderNames: VURO_GetCSPInfo's answer: the names of the installed
// providers as GetAllCSPName joins them ("||" between two), in a new system
// string *pbstrNames (set only on success), traced under pwszOp. Returns 0,
// GetAllCSPName's code, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT HandOutProviderNames(const WCHAR* pwszOp, BSTR* pbstrNames);

} // namespace orvane::answers
