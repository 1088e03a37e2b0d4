// Descriptions of result codes, as VURO_GetLastErrorDesc hands them to pages.
#pragma once
#include "foundation/Types.h"
#include "foundation/ResultCodes.h"

// BuildErrorDescription: the text of hrCode followed by "\n(0x%08x)". Own codes
// (customer bit set) take their text from hModule's string table in the
// user-interface language; other codes take the system's message text. A code
// without text gives the suffix alone. Hands out a new BSTR in *pbstrDesc that
// the caller frees with SysFreeString. Returns 0, E_POINTER for a null out
// pointer, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT BuildErrorDescription(HMODULE hModule, HRESULT hrCode, BSTR* pbstrDesc);
