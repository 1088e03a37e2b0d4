#include "foundation/CertificateChainOperate.h"

#include "foundation/Misc.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#define TRACE_MODULE "CertificateChainOperate"

namespace {

template <class T> std::unique_ptr<T[]> NewZeroedBuffer(size_t cElements) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[cElements]());
}

// Hands the text out as a new[] NUL-terminated copy.
HRESULT HandOutText(const WString& strText, WCHAR** ppwszDest) {
    auto pwszCopy = NewZeroedBuffer<WCHAR>(strText.size() + 1);
    if (!pwszCopy)
        return E_OUTOFMEMORY;
    strText.copy(pwszCopy.get(), strText.size());
    *ppwszDest = pwszCopy.release();
    return VURO_OK;
}

struct ProviderReleaser {
    void operator()(HCRYPTPROV* phProv) const {
        CryptReleaseContext(*phProv, 0);
        delete phProv;
    }
};

struct CertificateReleaser {
    void operator()(const CERT_CONTEXT* pCert) const { CertFreeCertificateContext(pCert); }
};
using UniqueCertificate = std::unique_ptr<const CERT_CONTEXT, CertificateReleaser>;

// One name of a certificate through the size-then-text protocol of the name
// converters; the count includes the terminator.
template <class Convert>
HRESULT ReadNameText(const char* pszOperation, Convert convert, WCHAR** ppwszName,
                     DWORD* pcchName) {
    const DWORD cchNeeded = convert(nullptr, 0);
    if (cchNeeded == 0) {
        return FAIL_LAST_ERROR(pszOperation, "size", "0 == dwSize");
    }
    auto pwszName = NewZeroedBuffer<WCHAR>(cchNeeded);
    if (!pwszName) {
        TRACE_FAILED(pszOperation, "New buffer", E_OUTOFMEMORY, "NULL == pwszName");
        return E_OUTOFMEMORY;
    }
    const DWORD cchWritten = convert(pwszName.get(), cchNeeded);
    if (cchWritten == 0) {
        return FAIL_LAST_ERROR(pszOperation, "text", "0 == dwSize");
    }
    *pcchName = cchWritten;
    *ppwszName = pwszName.release();
    return VURO_OK;
}

HRESULT ReadCertName(const char* pszOperation, PCCERT_CONTEXT pstCertContext, CERT_NAME_BLOB* pName,
                     DWORD dwStrType, WCHAR** ppwszName, DWORD* pcchName) {
    if (pstCertContext == nullptr || ppwszName == nullptr || pcchName == nullptr) {
        TRACE_FAILED(pszOperation, "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    // Most specific relative name first, values never quoted.
    const DWORD dwFlags = dwStrType | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    return ReadNameText(
        pszOperation,
        [&](WCHAR* pwsz, DWORD cch) {
            return CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pName, dwFlags, pwsz,
                                  cch);
        },
        ppwszName, pcchName);
}

HRESULT ReadValidity(const char* pszOperation, PCCERT_CONTEXT pstCertContext, bool fEnd,
                     SYSTEMTIME* pstSysTime) {
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr ||
        pstSysTime == nullptr) {
        TRACE_FAILED(pszOperation, "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    const FILETIME& ft =
        fEnd ? pstCertContext->pCertInfo->NotAfter : pstCertContext->pCertInfo->NotBefore;
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) {
        return FAIL_LAST_ERROR(pszOperation, "FileTimeToSystemTime", "bResult == FALSE");
    }
    *pstSysTime = st;
    return VURO_OK;
}

// Decodes the extension pszObjId of the certificate as lpszStructType into a
// new buffer; hResultMissing when the certificate lacks it.
HRESULT DecodeExtension(const char* pszOperation, PCCERT_CONTEXT pstCertContext, LPCSTR pszObjId,
                        LPCSTR lpszStructType, HRESULT hResultMissing,
                        std::unique_ptr<BYTE[]>* ppbDecoded) {
    const CERT_INFO* pInfo = pstCertContext->pCertInfo;
    const CERT_EXTENSION* pExtension =
        CertFindExtension(pszObjId, pInfo->cExtension, pInfo->rgExtension);
    if (pExtension == nullptr) {
        TRACE_FAILED(pszOperation, "CertFindExtension", hResultMissing, "NULL == pExtension");
        return hResultMissing;
    }
    const DWORD dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD cbDecoded = 0;
    if (!CryptDecodeObject(dwEncoding, lpszStructType, pExtension->Value.pbData,
                           pExtension->Value.cbData, 0, nullptr, &cbDecoded)) {
        return FAIL_LAST_ERROR(pszOperation, "CryptDecodeObject(size)", "bResult == FALSE");
    }
    auto pbDecoded = NewZeroedBuffer<BYTE>(cbDecoded);
    if (!pbDecoded) {
        TRACE_FAILED(pszOperation, "New memory", E_OUTOFMEMORY, "New memory failed.");
        return E_OUTOFMEMORY;
    }
    if (!CryptDecodeObject(dwEncoding, lpszStructType, pExtension->Value.pbData,
                           pExtension->Value.cbData, 0, pbDecoded.get(), &cbDecoded)) {
        return FAIL_LAST_ERROR(pszOperation, "CryptDecodeObject", "bResult == FALSE");
    }
    *ppbDecoded = std::move(pbDecoded);
    return VURO_OK;
}

// The provider parameter dwParam (a narrow text) of the certificate's private
// key, as UTF-16.
HRESULT ReadKeyProviderText(const char* pszOperation, PCCERT_CONTEXT pstCertContext, DWORD dwParam,
                            WCHAR** ppwszName, DWORD* pcchName) {
    if (pstCertContext == nullptr || ppwszName == nullptr || pcchName == nullptr) {
        TRACE_FAILED(pszOperation, "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
    DWORD dwKeySpec = 0;
    BOOL fCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(pstCertContext, 0, nullptr, &hKey, &dwKeySpec,
                                           &fCallerFree)) {
        return FAIL_LAST_ERROR(pszOperation, "CryptAcquireCertificatePrivateKey",
                               "CryptAcquireCertificatePrivateKey FAILED.");
    }
    // Released on every path when the handle is ours to free.
    std::unique_ptr<HCRYPTPROV, ProviderReleaser> guard(
        fCallerFree ? new (std::nothrow) HCRYPTPROV(static_cast<HCRYPTPROV>(hKey)) : nullptr);
    if (fCallerFree && !guard) {
        CryptReleaseContext(static_cast<HCRYPTPROV>(hKey), 0);
        TRACE_FAILED(pszOperation, "New memory", E_OUTOFMEMORY, "New memory failed.");
        return E_OUTOFMEMORY;
    }

    DWORD cbValue = 0;
    BYTE* pbValue = nullptr;
    HRESULT hResult = GetProviderInfo(&cbValue, static_cast<HCRYPTPROV>(hKey), dwParam, &pbValue);
    if (FAILED(hResult)) {
        TRACE_FAILED(pszOperation, "GetProviderInfo", hResult, "GetProviderInfo FAILED.");
        return hResult;
    }
    std::unique_ptr<BYTE[]> pbValueOwner(pbValue);
    // The value is NUL-terminated inside its size, and the buffer is zero-filled.
    WCHAR* pwszName = nullptr;
    int nLength = 0;
    hResult = UTF8ToUTF16(reinterpret_cast<const char*>(pbValue), &pwszName, &nLength);
    if (FAILED(hResult)) {
        TRACE_FAILED(pszOperation, "UTF8ToUTF16", hResult, "UTF8ToUTF16 FAILED.");
        return hResult;
    }
    *ppwszName = pwszName;
    *pcchName = static_cast<DWORD>(nLength);
    return VURO_OK;
}

// Appends pwszPart to strText, or fails with E_OUTOFMEMORY.
HRESULT Append(WString& strText, const WCHAR* pwszPart) {
    try {
        strText += pwszPart;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return VURO_OK;
}

// "YYYY-MM-DD hh:mm:ss" of a validity bound in local time; the time stays in
// UTC when the conversion fails.
HRESULT AppendValidity(WString& strText, PCCERT_CONTEXT pstCertContext, DWORD dwQueryId,
                       const char* pszStep) {
    SYSTEMTIME st{};
    void* pvTime = &st;
    DWORD cbTime = 0;
    HRESULT hResult = QueryCertContextInfo(&cbTime, &pvTime, pstCertContext, dwQueryId);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo", pszStep, hResult, "FAILED(hResult)");
        return hResult;
    }
    if (FAILED(ConvertUTCtimetoLocalTime(&st)))
        TRACE_FAILED("GetCertificateInfo", "ConvertUTCtimetoLocalTime", E_FAIL, "kept in UTC");
    WCHAR* pwszTime = nullptr;
    hResult = GetTimeString(&st, &pwszTime);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo", "GetTimeString", hResult, "FAILED(hResult)");
        return hResult;
    }
    std::unique_ptr<WCHAR[]> pwszTimeOwner(pwszTime);
    return Append(strText, pwszTime);
}

} // namespace

HRESULT GetAllCSPName(WCHAR** ppwszCSPNames) {
    if (ppwszCSPNames == nullptr) {
        TRACE_FAILED("GetAllCSPName", "Check parameter", E_POINTER, "ppwszCSPNames == NULL");
        return E_POINTER;
    }
    WString strNames;
    bool fFirst = true;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwProvType = 0;
        DWORD cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbName)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            // A provider that cannot report itself is left out, not fatal.
            continue;
        }
        const DWORD cchName = cbName / sizeof(WCHAR) + 1;
        auto pwszName = NewZeroedBuffer<WCHAR>(cchName);
        if (!pwszName) {
            TRACE_FAILED("GetAllCSPName", "New buffer", E_OUTOFMEMORY, "New buffer");
            return E_OUTOFMEMORY;
        }
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, pwszName.get(), &cbName)) {
            return FAIL_LAST_ERROR("GetAllCSPName", "CryptEnumProviders", "!bResult");
        }
        if (!fFirst && FAILED(Append(strNames, kListSeparator)))
            return E_OUTOFMEMORY;
        if (FAILED(Append(strNames, pwszName.get())))
            return E_OUTOFMEMORY;
        fFirst = false;
    }
    const HRESULT hResult = HandOutText(strNames, ppwszCSPNames);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetAllCSPName", "New buffer", hResult, "new memory.\n");
        return hResult;
    }
    TRACE_OK("GetAllCSPName", "CryptEnumProviders");
    return VURO_OK;
}

HRESULT GetAllCertificatesInfoinStore(WCHAR** ppwszInfo, HCERTSTORE hCertStore) {
    if (hCertStore == nullptr) {
        TRACE_FAILED("GetAllCertificatesInfoinStore", "Check parameter", E_INVALIDARG,
                     "hCertStore == NULL");
        return E_INVALIDARG;
    }
    if (ppwszInfo == nullptr) {
        TRACE_FAILED("GetAllCertificatesInfoinStore", "Check parameter", E_POINTER,
                     "ppwszInfo == NULL");
        return E_POINTER;
    }
    WString strList;
    bool fFirst = true;
    PCCERT_CONTEXT pCert = nullptr;
    while ((pCert = CertEnumCertificatesInStore(hCertStore, pCert)) != nullptr) {
        WCHAR* pwszRecord = nullptr;
        HRESULT hResult = GetCertificateInfo(&pwszRecord, pCert);
        if (hResult == CRYPT_E_NOT_FOUND)
            continue; // no private key behind this one
        if (FAILED(hResult)) {
            // Ends the enumeration, which still holds the current context.
            UniqueCertificate ended(pCert);
            TRACE_FAILED("GetAllCertificatesInfoinStore", "GetCertificateInfo", hResult,
                         "FAILED(hResult)");
            return hResult;
        }
        std::unique_ptr<WCHAR[]> pwszRecordOwner(pwszRecord);
        if ((!fFirst && FAILED(Append(strList, kListSeparator))) ||
            FAILED(Append(strList, pwszRecord))) {
            UniqueCertificate ended(pCert);
            TRACE_FAILED("GetAllCertificatesInfoinStore", "New memory", E_OUTOFMEMORY,
                         "New memory failed.");
            return E_OUTOFMEMORY;
        }
        fFirst = false;
    }
    const HRESULT hResult = HandOutText(strList, ppwszInfo);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetAllCertificatesInfoinStore", "New memory", hResult, "New memory failed.");
        return hResult;
    }
    TRACE_OK("GetAllCertificatesInfoinStore", "CertEnumCertificatesInStore");
    return VURO_OK;
}

HRESULT GetCertificateInfo(WCHAR** ppwszInfo, PCCERT_CONTEXT pstCertContext) {
    if (pstCertContext == nullptr) {
        TRACE_FAILED("GetCertificateInfo", "Check parameter", E_INVALIDARG,
                     "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    if (ppwszInfo == nullptr) {
        TRACE_FAILED("GetCertificateInfo", "Check parameter", E_POINTER, "ppwszInfo == NULL");
        return E_POINTER;
    }
    WString strInfo;

    DWORD cchSubject = 0;
    void* pvSubject = nullptr;
    HRESULT hResult =
        QueryCertContextInfo(&cchSubject, &pvSubject, pstCertContext, QUERYID_SUBJECT_FULL);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo", "QueryCertContextInfo(QUERYID_SUBJECT_FULL)", hResult,
                     "FAILED(hResult)");
        return hResult;
    }
    std::unique_ptr<WCHAR[]> pwszSubject(static_cast<WCHAR*>(pvSubject));
    if (FAILED(Append(strInfo, pwszSubject.get())) || FAILED(Append(strInfo, kFieldSeparator)))
        return E_OUTOFMEMORY;

    DWORD cbSerial = 0;
    void* pvSerial = nullptr;
    hResult = QueryCertContextInfo(&cbSerial, &pvSerial, pstCertContext, QUERYID_SERIALNUMBER);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo", "QueryCertContextInfo(QUERYID_SERIALNUMBER)", hResult,
                     "FAILED(hResult)");
        return hResult;
    }
    std::unique_ptr<BYTE[]> pbSerial(static_cast<BYTE*>(pvSerial));
    WCHAR* pwszSerial = nullptr;
    hResult = ConvertBinaryDataToString(cbSerial, &pwszSerial, pbSerial.get());
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo", "FormatStringFromData", hResult, "FAILED(hResult)");
        return hResult;
    }
    std::unique_ptr<WCHAR[]> pwszSerialOwner(pwszSerial);
    if (FAILED(Append(strInfo, pwszSerial)) || FAILED(Append(strInfo, kFieldSeparator)))
        return E_OUTOFMEMORY;

    hResult = AppendValidity(strInfo, pstCertContext, QUERYID_FROMDATE,
                             "QueryCertContextInfo(QUERYID_FROMDATE)");
    if (FAILED(hResult))
        return hResult;
    if (FAILED(Append(strInfo, kFieldSeparator)))
        return E_OUTOFMEMORY;
    hResult = AppendValidity(strInfo, pstCertContext, QUERYID_TODATE,
                             "QueryCertContextInfo(QUERYID_TODATE)");
    if (FAILED(hResult))
        return hResult;
    if (FAILED(Append(strInfo, kFieldSeparator)))
        return E_OUTOFMEMORY;

    DWORD cbProvInfo = 0;
    BYTE* pbProvInfo = nullptr;
    hResult = GetCertificateContextProperty(&cbProvInfo, pstCertContext, &pbProvInfo);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo",
                     "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", hResult,
                     "FAILED(hResult)");
        return hResult;
    }
    std::unique_ptr<BYTE[]> pbProvInfoOwner(pbProvInfo);
    const auto* pstKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(pbProvInfo);
    if (cbProvInfo < sizeof(CRYPT_KEY_PROV_INFO) || pstKeyProvInfo->pwszProvName == nullptr) {
        TRACE_FAILED("GetCertificateInfo",
                     "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", CRYPT_E_NOT_FOUND,
                     "NULL == pstKeyProvInfo->pwszProvName");
        return CRYPT_E_NOT_FOUND;
    }
    if (FAILED(Append(strInfo, pstKeyProvInfo->pwszProvName)))
        return E_OUTOFMEMORY;

    hResult = HandOutText(strInfo, ppwszInfo);
    if (FAILED(hResult)) {
        TRACE_FAILED("GetCertificateInfo", "New memory", hResult, "New memory failed.");
        return hResult;
    }
    TRACE_OK("GetCertificateInfo", "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)");
    return VURO_OK;
}

HRESULT GetCertificateContextProperty(DWORD* pcbData, PCCERT_CONTEXT pstCertContext,
                                      BYTE** ppbData) {
    if (pstCertContext == nullptr) {
        TRACE_FAILED("GetCertificateContextProperty", "Check parameter", E_INVALIDARG,
                     "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    if (pcbData == nullptr || ppbData == nullptr) {
        TRACE_FAILED("GetCertificateContextProperty", "Check parameter", E_POINTER,
                     "NULL == pcbData || NULL == ppbData");
        return E_POINTER;
    }
    DWORD cbData = 0;
    if (!CertGetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                           &cbData)) {
        return FAIL_LAST_ERROR("GetCertificateContextProperty",
                               "CertGetCertificateContextProperty(size)", "bResult == FALSE");
    }
    auto pbData = NewZeroedBuffer<BYTE>(cbData);
    if (!pbData) {
        TRACE_FAILED("GetCertificateContextProperty", "New memory", E_OUTOFMEMORY,
                     "New memory failed.");
        return E_OUTOFMEMORY;
    }
    if (!CertGetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, pbData.get(),
                                           &cbData)) {
        return FAIL_LAST_ERROR("GetCertificateContextProperty", "CertGetCertificateContextProperty",
                               "bResult == FALSE");
    }
    *pcbData = cbData;
    *ppbData = pbData.release();
    return VURO_OK;
}

HRESULT QueryCertContextInfo(DWORD* pdwDataLen, void** ppvData, PCCERT_CONTEXT pstCertContext,
                             DWORD dwQueryId) {
    if (pdwDataLen == nullptr || ppvData == nullptr) {
        TRACE_FAILED("QueryCertContextInfo", "Check parameter", E_POINTER,
                     "NULL == pdwDataLen || NULL == ppvData");
        return E_POINTER;
    }
    if (pstCertContext == nullptr) {
        TRACE_FAILED("QueryCertContextInfo", "Check parameter", E_INVALIDARG,
                     "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    HRESULT hResult = VURO_OK;
    DWORD dwLength = 0;
    WCHAR* pwszText = nullptr;
    BYTE* pbBytes = nullptr;
    switch (dwQueryId) {
    case QUERYID_SUBJECT_FULL:
        hResult = GetCertSubject(CERT_X500_NAME_STR, pstCertContext, &pwszText, &dwLength);
        break;
    case QUERYID_SUBJECT_SIMPLE:
        hResult = GetCertSubject(CERT_SIMPLE_NAME_STR, pstCertContext, &pwszText, &dwLength);
        break;
    case QUERYID_ISSUER:
        hResult = GetCertIssuer(pstCertContext, &pwszText, &dwLength);
        break;
    case QUERYID_CN:
        hResult = GetCertCN(pstCertContext, &pwszText, &dwLength);
        break;
    case QUERYID_PROVIDERNAME:
        hResult = GetCertProviderName(pstCertContext, &pwszText, &dwLength);
        break;
    case QUERYID_CONTAINERNAME:
        hResult = GetCertContainerName(pstCertContext, &pwszText, &dwLength);
        break;
    case QUERYID_SERIALNUMBER:
        hResult = GetCertSerialNumber(pstCertContext, &pbBytes, &dwLength);
        break;
    case QUERYID_SUBJECTKEYID:
        hResult = GetCertSubjectKeyID(pstCertContext, &pbBytes, &dwLength);
        break;
    case QUERYID_TODATE:
    case QUERYID_FROMDATE: {
        // The caller's time record: *ppvData points at it.
        auto* pstSysTime = static_cast<SYSTEMTIME*>(*ppvData);
        if (pstSysTime == nullptr) {
            TRACE_FAILED("QueryCertContextInfo", "Check parameter", E_INVALIDARG,
                         "NULL == *ppvData");
            return E_INVALIDARG;
        }
        hResult = dwQueryId == QUERYID_TODATE ? GetCertToDate(pstCertContext, pstSysTime)
                                              : GetCertFromDate(pstCertContext, pstSysTime);
        if (FAILED(hResult))
            return hResult;
        *pdwDataLen = sizeof(SYSTEMTIME);
        return VURO_OK;
    }
    case QUERYID_KEYUSAGE: {
        BYTE byUsage = 0;
        hResult = GetCertKeyUsage(pstCertContext, &byUsage);
        if (FAILED(hResult))
            return hResult;
        *ppvData = reinterpret_cast<void*>(static_cast<uintptr_t>(byUsage));
        *pdwDataLen = sizeof(DWORD);
        return VURO_OK;
    }
    default:
        TRACE_FAILED("QueryCertContextInfo", "Check parameter", VURO_E_QUERY_TYPE_NOT_SUPPORTED,
                     "Query type is not supported.");
        return VURO_E_QUERY_TYPE_NOT_SUPPORTED;
    }
    if (FAILED(hResult))
        return hResult;
    *ppvData = pwszText != nullptr ? static_cast<void*>(pwszText) : static_cast<void*>(pbBytes);
    *pdwDataLen = dwLength;
    return VURO_OK;
}

HRESULT GetCertSubject(DWORD dwStrType, PCCERT_CONTEXT pstCertContext, WCHAR** ppwszSubject,
                       DWORD* pcchSubject) {
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr) {
        TRACE_FAILED("GetCertSubject", "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    return ReadCertName("GetCertSubject", pstCertContext, &pstCertContext->pCertInfo->Subject,
                        dwStrType, ppwszSubject, pcchSubject);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszIssuer, DWORD* pcchIssuer) {
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr) {
        TRACE_FAILED("GetCertIssuer", "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    return ReadCertName("GetCertIssuer", pstCertContext, &pstCertContext->pCertInfo->Issuer,
                        CERT_X500_NAME_STR, ppwszIssuer, pcchIssuer);
}

HRESULT GetCertCN(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszCN, DWORD* pcchCN) {
    if (pstCertContext == nullptr || ppwszCN == nullptr || pcchCN == nullptr) {
        TRACE_FAILED("GetCertCN", "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    return ReadNameText(
        "GetCertCN",
        [&](WCHAR* pwsz, DWORD cch) {
            return CertGetNameStringW(pstCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                      pwsz, cch);
        },
        ppwszCN, pcchCN);
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pstCertContext, BYTE** ppbSerial, DWORD* pcbSerial) {
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr || ppbSerial == nullptr ||
        pcbSerial == nullptr) {
        TRACE_FAILED("GetCertSerialNumber", "Check parameter", E_INVALIDARG,
                     "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    const CRYPT_INTEGER_BLOB& serial = pstCertContext->pCertInfo->SerialNumber;
    auto pbSerial = NewZeroedBuffer<BYTE>(serial.cbData);
    if (!pbSerial) {
        TRACE_FAILED("GetCertSerialNumber", "New memory", E_OUTOFMEMORY, "Dispatch memory failed.");
        return E_OUTOFMEMORY;
    }
    std::copy(serial.pbData, serial.pbData + serial.cbData, pbSerial.get());
    *pcbSerial = serial.cbData;
    *ppbSerial = pbSerial.release();
    return VURO_OK;
}

HRESULT GetCertToDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime) {
    return ReadValidity("GetCertToDate", pstCertContext, true, pstSysTime);
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime) {
    return ReadValidity("GetCertFromDate", pstCertContext, false, pstSysTime);
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pstCertContext, BYTE** ppbKeyId, DWORD* pcbKeyId) {
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr || ppbKeyId == nullptr ||
        pcbKeyId == nullptr) {
        TRACE_FAILED("GetCertSubjectKeyID", "Check parameter", E_INVALIDARG,
                     "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    std::unique_ptr<BYTE[]> pbDecoded;
    HRESULT hResult =
        DecodeExtension("GetCertSubjectKeyID", pstCertContext, szOID_SUBJECT_KEY_IDENTIFIER,
                        X509_OCTET_STRING, VURO_E_NO_SUBJECT_KEY_ID, &pbDecoded);
    if (FAILED(hResult))
        return hResult;
    const auto* pKeyId = reinterpret_cast<const CRYPT_DATA_BLOB*>(pbDecoded.get());
    auto pbKeyId = NewZeroedBuffer<BYTE>(pKeyId->cbData);
    if (!pbKeyId) {
        TRACE_FAILED("GetCertSubjectKeyID", "New memory", E_OUTOFMEMORY, "New memory failed.");
        return E_OUTOFMEMORY;
    }
    std::copy(pKeyId->pbData, pKeyId->pbData + pKeyId->cbData, pbKeyId.get());
    *pcbKeyId = pKeyId->cbData;
    *ppbKeyId = pbKeyId.release();
    return VURO_OK;
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pstCertContext, BYTE* pbyUsage) {
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr || pbyUsage == nullptr) {
        TRACE_FAILED("GetCertKeyUsage", "Check parameter", E_INVALIDARG, "pstCertContext == NULL");
        return E_INVALIDARG;
    }
    std::unique_ptr<BYTE[]> pbDecoded;
    HRESULT hResult = DecodeExtension("GetCertKeyUsage", pstCertContext, szOID_KEY_USAGE,
                                      X509_KEY_USAGE, VURO_E_NO_KEY_USAGE, &pbDecoded);
    if (FAILED(hResult))
        return hResult;
    const auto* pUsage = reinterpret_cast<const CRYPT_BIT_BLOB*>(pbDecoded.get());
    // An empty bit string asserts no usage at all.
    *pbyUsage = pUsage->cbData > 0 ? pUsage->pbData[0] : 0;
    return VURO_OK;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszName, DWORD* pcchName) {
    return ReadKeyProviderText("GetCertProviderName", pstCertContext, PP_NAME, ppwszName, pcchName);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszName, DWORD* pcchName) {
    return ReadKeyProviderText("GetCertContainerName", pstCertContext, PP_CONTAINER, ppwszName,
                               pcchName);
}

HRESULT GetProviderInfo(DWORD* pcbData, HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData) {
    if (pcbData == nullptr || ppbData == nullptr) {
        TRACE_FAILED("GetProviderInfo", "Check parameter", E_POINTER,
                     "NULL == pcbData || NULL == ppbData");
        return E_POINTER;
    }
    DWORD cbData = 0;
    if (!CryptGetProvParam(hProv, dwParam, nullptr, &cbData, 0)) {
        return FAIL_LAST_ERROR("GetProviderInfo", "CryptGetProvParam(size)", "bResult == FALSE");
    }
    if (cbData == 0) {
        TRACE_FAILED("GetProviderInfo", "CryptGetProvParam(size)", E_FAIL, "0 == dwDataLen");
        return E_FAIL;
    }
    // One byte more than asked for keeps a text terminated even if the
    // provider leaves its terminator out.
    auto pbData = NewZeroedBuffer<BYTE>(static_cast<size_t>(cbData) + 1);
    if (!pbData) {
        TRACE_FAILED("GetProviderInfo", "New memory", E_OUTOFMEMORY, "New memory failed.");
        return E_OUTOFMEMORY;
    }
    if (!CryptGetProvParam(hProv, dwParam, pbData.get(), &cbData, 0)) {
        return FAIL_LAST_ERROR("GetProviderInfo", "CryptGetProvParam", "bResult == FALSE");
    }
    *pcbData = cbData;
    *ppbData = pbData.release();
    return VURO_OK;
}

HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WCHAR** ppwszTime) {
    if (pstSysTime == nullptr) {
        TRACE_FAILED("GetTimeString", "Check parameter", E_INVALIDARG, "pstSysTime == NULL");
        return E_INVALIDARG;
    }
    if (ppwszTime == nullptr) {
        TRACE_FAILED("GetTimeString", "Check parameter", E_POINTER, "ppwszTime == NULL");
        return E_POINTER;
    }
    char szTime[64] = {};
    const int nLength = std::snprintf(szTime, sizeof szTime, "%04d-%02d-%02d %02d:%02d:%02d",
                                      pstSysTime->wYear, pstSysTime->wMonth, pstSysTime->wDay,
                                      pstSysTime->wHour, pstSysTime->wMinute, pstSysTime->wSecond);
    if (nLength <= 0 || static_cast<size_t>(nLength) >= sizeof szTime)
        return E_FAIL;
    // The text is ASCII digits and separators: each byte is one UTF-16 unit.
    auto pwszTime = NewZeroedBuffer<WCHAR>(static_cast<size_t>(nLength) + 1);
    if (!pwszTime) {
        TRACE_FAILED("GetTimeString", "New memory", E_OUTOFMEMORY, "New memory failed.");
        return E_OUTOFMEMORY;
    }
    for (int i = 0; i < nLength; ++i)
        pwszTime[i] = static_cast<WCHAR>(szTime[i]);
    *ppwszTime = pwszTime.release();
    return VURO_OK;
}

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime) {
    if (pstSysTime == nullptr) {
        TRACE_FAILED("ConvertUTCtimetoLocalTime", "Check parameter", E_POINTER,
                     "pstSysTime == NULL");
        return E_POINTER;
    }
    FILETIME ftUtc{};
    FILETIME ftLocal{};
    SYSTEMTIME stLocal{};
    if (!SystemTimeToFileTime(pstSysTime, &ftUtc) || !FileTimeToLocalFileTime(&ftUtc, &ftLocal) ||
        !FileTimeToSystemTime(&ftLocal, &stLocal)) {
        return FAIL_LAST_ERROR("ConvertUTCtimetoLocalTime", "FileTimeToLocalFileTime",
                               "bResult == FALSE");
    }
    *pstSysTime = stLocal;
    return VURO_OK;
}
