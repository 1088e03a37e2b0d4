// The installed CSPs as the platform enumerates them, and one parameter of an
// open provider.
//
// Every routine returns a result code and sets its out-parameters only on
// success. Buffers handed out are allocated with new[] and freed by the caller
// with delete[]; wide texts are NUL-terminated.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

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
HRESULT ReadInstalledProviders(std::vector<InstalledProvider>* pProviders);

// GetAllCSPName: hands out the names of ReadInstalledProviders joined with
// "||" in *ppwszCSPNames (new[], caller delete[]s); an empty text when there
// is none. Returns 0, E_POINTER, E_OUTOFMEMORY or the system error as a
// result code.
HRESULT GetAllCSPName(WCHAR** ppwszCSPNames);

// GetProviderInfo: reads the provider parameter dwParam (PP_NAME,
// PP_CONTAINER) of hProv into *ppbData (new[], zero-filled past the value) and
// its size in *pcbData. Returns 0, E_FAIL when the provider reports size 0,
// E_POINTER, E_OUTOFMEMORY or the system error.
HRESULT GetProviderInfo(DWORD* pcbData, HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData);
