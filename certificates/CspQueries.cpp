#include "certificates/CspQueries.h"

#include "certificates/CertificateQueries.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#define TRACE_MODULE "CertificateChainOperate"

HRESULT ReadInstalledProviders(std::vector<InstalledProvider>* pProviders) {
    const char* const op = "GetAllCSPName";
    if (TRACE_IF(pProviders == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
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

HRESULT GetAllCSPName(WString* pwstrCSPNames) {
    const char* const op = "GetAllCSPName";
    if (TRACE_IF(pwstrCSPNames == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
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
        *pwstrCSPNames = std::move(wstrNames);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New buffer", E_OUTOFMEMORY, "new memory.\n");
    }
    TRACE_OK(op, "CryptEnumProviders");
    return VURO_OK;
}

HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, std::vector<BYTE>* pData) {
    const char* const op = "GetProviderInfo";
    if (TRACE_IF(pData == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    DWORD cbData = 0;
    if (!CryptGetProvParam(hProv, dwParam, nullptr, &cbData, 0))
        return FAIL_LAST_ERROR(op, "CryptGetProvParam(size)", "bResult == FALSE");
    if (TRACE_IF(cbData == 0, op, "CryptGetProvParam(size)", E_FAIL))
        return E_FAIL;
    std::vector<BYTE> data;
    try {
        data.resize(cbData);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    if (!CryptGetProvParam(hProv, dwParam, data.data(), &cbData, 0))
        return FAIL_LAST_ERROR(op, "CryptGetProvParam", "!CryptGetProvParam(...)");
    data.resize(cbData);
    *pData = std::move(data);
    return VURO_OK;
}

bool ProviderParamText(const std::vector<BYTE>& value, std::string* pstrText) noexcept {
    const auto itEnd = std::find(value.begin(), value.end(), BYTE(0));
    try {
        pstrText->assign(value.begin(), itEnd);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
