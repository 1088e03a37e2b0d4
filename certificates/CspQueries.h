// The installed CSPs as the platform enumerates them, and one parameter of an
// open provider.
//
// Every routine returns a result code and sets its out-parameter only on
// success; results are handed out as values.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <string>
#include <vector>

// InstalledProvider: one CSP of the platform's list.
struct InstalledProvider {
    WString wstrName;
    DWORD dwProvType = 0;
};

// ReadInstalledProviders: every installed CSP, in the platform's enumeration
// order (empty when there is none). A provider whose name size cannot be read
// is skipped; a failure to read a name whose size was given ends the call
// with the system error. Returns 0, E_POINTER, E_OUTOFMEMORY or that error.
[[nodiscard]] HRESULT ReadInstalledProviders(std::vector<InstalledProvider>* pProviders);

// GetAllCSPName: hands out the names of ReadInstalledProviders joined with
// "||" in *pwstrCSPNames; an empty text when there is none. Returns 0, E_POINTER, E_OUTOFMEMORY or
// the system error as a result code.
[[nodiscard]] HRESULT GetAllCSPName(WString* pwstrCSPNames);

// GetProviderInfo: reads the provider parameter dwParam (PP_NAME,
// PP_CONTAINER) of hProv into *pData, as many bytes as the provider wrote.
// Returns 0, E_FAIL when the provider reports size 0, E_POINTER,
// E_OUTOFMEMORY or the system error.
[[nodiscard]] HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, std::vector<BYTE>* pData);

// ProviderParamText: a provider parameter's narrow text (PP_NAME,
// PP_CONTAINER): its bytes up to the first NUL, or all of them when the
// provider left the terminator out. False when memory runs out.
[[nodiscard]] bool ProviderParamText(const std::vector<BYTE>& value,
                                     std::string* pstrText) noexcept;
