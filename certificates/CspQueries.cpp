#include "certificates/CspQueries.h"

#include "certificates/CertificateQueries.h"
#include "certificates/HandOut.h"
#include "foundation/Trace.h"

#include <memory>
#include <new>
#include <utility>

#define TRACE_MODULE "CertificateChainOperate"

HRESULT ReadInstalledProviders(std::vector<InstalledProvider>* pProviders) {
    const char* const op = "GetAllCSPName";
    if (pProviders == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "ppwszCSPNames == NULL");
    try {
        std::vector<InstalledProvider> providers;
        for (DWORD dwIndex = 0;; ++dwIndex) {
            DWORD dwProvType = 0;
            DWORD cbName = 0;
            if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbName)) {
                if (GetLastError() == ERROR_NO_MORE_ITEMS)
                    break;
                // A provider that cannot report itself is left out, not fatal.
                continue;
            }
            WString wstrName(cbName / sizeof(WCHAR) + 1, WCHAR(0));
            if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, wstrName.data(), &cbName))
                return FAIL_LAST_ERROR(op, "CryptEnumProviders", "!bResult");
            wstrName.resize(std::char_traits<WCHAR>::length(wstrName.c_str()));
            providers.push_back({std::move(wstrName), dwProvType});
        }
        *pProviders = std::move(providers);
        return VURO_OK;
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New buffer", E_OUTOFMEMORY, "New buffer");
    }
}

HRESULT GetAllCSPName(WCHAR** ppwszCSPNames) {
    const char* const op = "GetAllCSPName";
    if (ppwszCSPNames == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "ppwszCSPNames == NULL");
    std::vector<InstalledProvider> providers;
    const HRESULT hResult = ReadInstalledProviders(&providers);
    if (FAILED(hResult))
        return hResult;
    try {
        WString wstrNames;
        for (const InstalledProvider& provider : providers) {
            if (&provider != &providers.front())
                wstrNames += kListSeparator;
            wstrNames += provider.wstrName;
        }
        if (FAILED(HandOutText(wstrNames, ppwszCSPNames)))
            return TRACE_FAIL(op, "New buffer", E_OUTOFMEMORY, "new memory.\n");
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New buffer", E_OUTOFMEMORY, "new memory.\n");
    }
    TRACE_OK(op, "CryptEnumProviders");
    return VURO_OK;
}

HRESULT GetProviderInfo(DWORD* pcbData, HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData) {
    const char* const op = "GetProviderInfo";
    if (pcbData == nullptr || ppbData == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pcbData || NULL == ppbData");
    DWORD cbData = 0;
    if (!CryptGetProvParam(hProv, dwParam, nullptr, &cbData, 0))
        return FAIL_LAST_ERROR(op, "CryptGetProvParam(size)", "bResult == FALSE");
    if (cbData == 0)
        return TRACE_FAIL(op, "CryptGetProvParam(size)", E_FAIL, "0 == dwDataLen");
    // One byte more than asked for keeps a text terminated even if the
    // provider leaves its terminator out.
    std::unique_ptr<BYTE[]> pbData(new (std::nothrow) BYTE[size_t(cbData) + 1]());
    if (!pbData)
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "New memory failed.");
    if (!CryptGetProvParam(hProv, dwParam, pbData.get(), &cbData, 0))
        return FAIL_LAST_ERROR(op, "CryptGetProvParam", "bResult == FALSE");
    *pcbData = cbData;
    *ppbData = pbData.release();
    return VURO_OK;
}
