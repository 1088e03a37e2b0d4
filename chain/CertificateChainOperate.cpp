#include "chain/CertificateChainOperate.h"

#include "certificates/CertificateQueries.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <winreg.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#define TRACE_MODULE "CertificateChainOperate"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr WCHAR kResourceType[] = TEXT("CERTIFICATE");
constexpr WCHAR kBlobValueName[] = TEXT("Blob");

ULONGLONG FileTimeTicks(const FILETIME& ft) {
    return ULONGLONG(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

bool IsSelfIssued(PCCERT_CONTEXT pCertContext) {
    const CERT_NAME_BLOB& issuer = pCertContext->pCertInfo->Issuer;
    const CERT_NAME_BLOB& subject = pCertContext->pCertInfo->Subject;
    return issuer.cbData == subject.cbData &&
           (issuer.cbData == 0 || std::memcmp(issuer.pbData, subject.pbData, issuer.cbData) == 0);
}

} // namespace

HRESULT ImportCertificateChainfromResoure(WORD wResourceId) {
    TraceHelper trace(TEXT("ImportCertificateChainfromResoure"));
    const char* const op = "ImportCertificateChainfromResoure";
    // The module this code is linked into: the plug-in, whose resources hold
    // the documents.
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ImportCertificateChainfromResoure), &hModule))
        return FAIL_LAST_ERROR(op, "GetModuleHandleEx FAILED.", "hModule == NULL");
    std::vector<BYTE> document;
    HRESULT hResult = LoadModuleResource(hModule, wResourceId, &document);
    if (TRACE_IF(FAILED(hResult), op, "LoadModuleResource", hResult))
        return hResult;
    TRACE_OK(op, "LoadModuleResource");
    hResult = ImportCertificateChainfromBlobData(document.data(), DWORD(document.size()));
    if (TRACE_IF(FAILED(hResult), op, "ImportCertificateChainfromBlobData", hResult))
        return hResult;
    TRACE_OK(op, "ImportCertificateChainfromBlobData");
    return VURO_OK;
}

HRESULT LoadModuleResource(HMODULE hModule, WORD wResourceId, std::vector<BYTE>* pData) {
    TraceHelper trace(TEXT("LoadModuleResource"));
    const char* const op = "LoadModuleResource";
    if (TRACE_IF(pData == nullptr, op, "Check Parameters", E_POINTER))
        return E_POINTER;
    HRSRC hResInfo = FindResourceW(hModule, MAKEINTRESOURCEW(wResourceId), kResourceType);
    if (hResInfo == nullptr)
        return FAIL_LAST_ERROR(op, "FindResource FAILED.", "hResInfo == NULL");
    const DWORD cbResource = SizeofResource(hModule, hResInfo);
    if (cbResource == 0)
        return FAIL_LAST_ERROR(op, "SizeofResource FAILED.", "dwResSize == 0");
    HGLOBAL hResData = LoadResource(hModule, hResInfo);
    const void* pvResource = hResData == nullptr ? nullptr : LockResource(hResData);
    if (pvResource == nullptr)
        return FAIL_LAST_ERROR(op, "LoadResource FAILED.", "hResData == NULL");
    const auto* pbResource = static_cast<const BYTE*>(pvResource);
    try {
        pData->assign(pbResource, pbResource + cbResource);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "std::bad_alloc");
    }
    return VURO_OK;
}

HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD cbData) {
    TraceHelper trace(TEXT("ImportCertificateChainfromBlobData"));
    const char* const op = "ImportCertificateChainfromBlobData";
    XML_NODE document;
    HRESULT hResult = LoadXMLDom(pbData, cbData, &document);
    if (TRACE_IF(FAILED(hResult), op, "LoadXMLDom", hResult))
        return hResult;
    TRACE_OK(op, "LoadXMLDom");
    hResult = ImportCertChainfromXMLDOMDoc(&document);
    if (TRACE_IF(FAILED(hResult), op, "ImportCertChainfromXMLDOMDoc", hResult))
        return hResult;
    TRACE_OK(op, "ImportCertChainfromXMLDOMDoc");
    return VURO_OK;
}

HRESULT ImportCertChainfromXMLDOMDoc(const XML_NODE* pDocument) {
    TraceHelper trace(TEXT("ImportCertChainfromXMLDOMDoc"));
    const char* const op = "ImportCertChainfromXMLDOMDoc";
    const XML_NODE* pRoot = nullptr;
    HRESULT hResult = GetXMLRootNode(pDocument, &pRoot);
    if (TRACE_IF(FAILED(hResult), op, "GetXMLRootNode", hResult))
        return hResult;
    TraceValueW("RootNodeName", pRoot->strName.c_str());

    const XML_NODE* pRootCACertificateNode = nullptr;
    hResult = FindChildNode(&pRootCACertificateNode, pRoot, TEXT("RootCACertificate"));
    if (TRACE_IF(FAILED(hResult), op, "FindChildNode(RootCACertificate)", hResult))
        return hResult;
    hResult = ParseRootCACertificateNode(pRootCACertificateNode);
    if (TRACE_IF(FAILED(hResult), op, "ParseRootCACertificateNode", hResult))
        return hResult;
    TRACE_OK(op, "ParseRootCACertificateNode");

    const XML_NODE* pP7bContentNode = nullptr;
    hResult = FindChildNode(&pP7bContentNode, pRoot, TEXT("P7bContent"));
    if (TRACE_IF(FAILED(hResult), op, "FindChildNode(P7bContent)", hResult))
        return hResult;
    hResult = ParseP7bContentNode(pP7bContentNode);
    if (TRACE_IF(FAILED(hResult), op, "ParseP7bContentNode", hResult))
        return hResult;
    TRACE_OK(op, "ParseP7bContentNode");
    return VURO_OK;
}

HRESULT ParseRootCACertificateNode(const XML_NODE* pNode) {
    TraceHelper trace(TEXT("ParseRootCACertificateNode"));
    const char* const op = "ParseRootCACertificateNode";
    if (pNode == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pRootCACertificateNode == NULL");
    TraceValueNumber("ChildNodeCount", long(pNode->children.size()));
    FILETIME ftNow{};
    HRESULT hResult = GetMachineTime(&ftNow);
    if (TRACE_IF(FAILED(hResult), op, "GetMachineTime", hResult))
        return hResult;
    for (const XML_NODE& child : pNode->children) {
        hResult = ParseCertificateNode(&ftNow, &child);
        if (FAILED(hResult))
            TRACE_FAILED(op, "ParseCertificateNode", hResult, "FAILED(hResult)");
        else
            TRACE_OK(op, "ParseCertificateNode");
    }
    return VURO_OK;
}

HRESULT ParseCertificateNode(const FILETIME* pftNow, const XML_NODE* pNode) {
    TraceHelper trace(TEXT("ParseCertificateNode"));
    const char* const op = "ParseCertificateNode";
    if (TRACE_IF(pftNow == nullptr || pNode == nullptr, op, "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    REGISTERED_CERT_INFO info;
    HRESULT hResult = GetRegisteredCertificateInfoNode(pNode, &info);
    if (TRACE_IF(FAILED(hResult), op, "GetRegisteredCertificateInfoNode", hResult))
        return hResult;
    TraceValueW("ImportPath", info.strImportPath.c_str());
    TraceValueW("EntryPoint", info.strEntryPoint.c_str());

    // Every check comes before anything is written: the path, the blob, the
    // certificate in it, the entry point (CheckRootEntry, as chaindoc check).
    ROOT_ENTRY entry;
    hResult = CheckRootEntry(info, &entry);
    if (TRACE_IF(FAILED(hResult), op, "CheckRootEntry", hResult))
        return hResult;

    DWORD dwExpired = 0;
    hResult = CheckCertValidTime(pftNow, &dwExpired, entry.cert.get());
    if (TRACE_IF(FAILED(hResult), op, "CheckCertValidTime", hResult))
        return hResult;
    if (dwExpired != 0) {
        TRACE_FAILED(op, "CheckCertValidTime", S_OK, "the certificate has expired: skipped");
        return VURO_OK;
    }
    // The blob that was checked, under the thumbprint that was checked, in the
    // root store's key spelled as the store spells it.
    hResult = RegWriteBinaryValue(kRootStoreImportPath, entry.strThumbprint.c_str(),
                                  entry.blob.data(), DWORD(entry.blob.size()));
    if (TRACE_IF(FAILED(hResult), op, "RegWriteBinaryValue", hResult))
        return hResult;
    TRACE_OK(op, "RegWriteBinaryValue");
    return VURO_OK;
}

HRESULT CheckCertValidTime(const FILETIME* pftNow, DWORD* pdwExpired, PCCERT_CONTEXT pCertContext) {
    const char* const op = "CheckCertValidTime";
    if (pftNow == nullptr || pdwExpired == nullptr || pCertContext == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG,
                          "pCertContext == NULL || pftNow == NULL");
    CertificateField subject;
    HRESULT hResult = QueryCertContextInfo(&subject, pCertContext, QUERYID_SUBJECT_FULL);
    if (TRACE_IF(FAILED(hResult), op, "QueryCertContextInfo(QUERYID_SUBJECT_FULL)", hResult))
        return hResult;
    TraceValueW("Subject", subject.wstrText.c_str());
    *pdwExpired = FileTimeTicks(pCertContext->pCertInfo->NotAfter) < FileTimeTicks(*pftNow) ? 1 : 0;
    return VURO_OK;
}

HRESULT GetMachineTime(FILETIME* pftNow) {
    if (pftNow == nullptr)
        return E_POINTER;
    // Read in UTC directly: local time turned back into UTC through the zone
    // is an hour off while the clocks go back in autumn.
    GetSystemTimeAsFileTime(pftNow);
    return VURO_OK;
}

HRESULT RegWriteBinaryValue(const WCHAR* pwszPath, const WCHAR* pwszKeyName, const BYTE* pbData,
                            DWORD cbData) {
    TraceHelper trace(TEXT("RegWriteBinaryValue"));
    const char* const op = "RegWriteBinaryValue";
    if (pwszPath == nullptr || pwszKeyName == nullptr || (pbData == nullptr && cbData != 0))
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "NULL argument");
    if (!IsRootStoreImportPath(pwszPath))
        return TRACE_FAIL(op, "Check Parameters", E_ACCESSDENIED,
                          "the path is not the machine root store's key");
    UniqueRegKey hKey;
    LSTATUS lStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszPath, 0, KEY_ALL_ACCESS, hKey.put());
    if (lStatus == ERROR_FILE_NOT_FOUND) {
        // A machine whose store was never opened has no key for it yet.
        lStatus = RegCreateKeyExW(HKEY_LOCAL_MACHINE, pwszPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, hKey.put(), nullptr);
    }
    if (lStatus != ERROR_SUCCESS)
        return TRACE_FAIL(op, "RegOpenKeyEx FAILED.", HResultFromError(DWORD(lStatus)),
                          "ERROR_SUCCESS != lResult");
    UniqueRegKey hSubKey;
    lStatus = RegCreateKeyExW(hKey.get(), pwszKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, hSubKey.put(),
                              nullptr);
    if (lStatus != ERROR_SUCCESS)
        return TRACE_FAIL(op, "RegCreateKeyEx FAILED.", HResultFromError(DWORD(lStatus)),
                          "ERROR_SUCCESS != lResult");
    lStatus = RegSetValueExW(hSubKey.get(), kBlobValueName, 0, REG_BINARY, pbData, cbData);
    if (lStatus != ERROR_SUCCESS)
        return TRACE_FAIL(op, "RegSetValueEx FAILED.", HResultFromError(DWORD(lStatus)),
                          "ERROR_SUCCESS != lResult");
    TRACE_OK(op, "RegSetValueEx");
    return VURO_OK;
}

HRESULT ParseP7bContentNode(const XML_NODE* pNode) {
    TraceHelper trace(TEXT("ParseP7bContentNode"));
    const char* const op = "ParseP7bContentNode";
    if (pNode == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pP7bContentNode == NULL");
    WString wstrContent;
    HRESULT hResult = GetNodeValue(pNode, &wstrContent);
    if (TRACE_IF(FAILED(hResult), op, "GetNodeValue", hResult))
        return hResult;
    try {
        std::vector<BYTE> pkcs7;
        hResult = DecodeBase64Text(wstrContent.c_str(), pkcs7);
        if (TRACE_IF(FAILED(hResult), op, "Base64DecodeEx", hResult))
            return hResult;
        HCERTSTORE hRaw = nullptr;
        hResult = ImportP7bCertificatestoStore(pkcs7.data(), &hRaw, DWORD(pkcs7.size()));
        if (TRACE_IF(FAILED(hResult), op, "ImportP7bCertificatestoStore", hResult))
            return hResult;
        UniqueStore hStore(hRaw);
        hResult = AddCACertficatetoStore(hStore.get());
        if (TRACE_IF(FAILED(hResult), op, "AddCACertficatetoStore", hResult))
            return hResult;
        TRACE_OK(op, "AddCACertficatetoStore");
        return VURO_OK;
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "new BYTE[]");
    }
}

HRESULT ImportP7bCertificatestoStore(const BYTE* pbData, HCERTSTORE* phStore, DWORD cbData) {
    const char* const op = "ImportP7bCertificatestoStore";
    if (phStore == nullptr || (pbData == nullptr && cbData != 0))
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "NULL argument");
    CRYPT_DATA_BLOB stBlob{cbData, const_cast<BYTE*>(pbData)};
    HCERTSTORE hStore =
        CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &stBlob);
    if (hStore == nullptr)
        return FAIL_LAST_ERROR(op, "CertOpenStore(CERT_STORE_PROV_PKCS7)", "hCertStore == NULL");
    *phStore = hStore;
    return VURO_OK;
}

HRESULT AddCACertficatetoStore(HCERTSTORE hSource) {
    TraceHelper trace(TEXT("AddCACertficatetoStore"));
    const char* const op = "AddCACertficatetoStore";
    if (TRACE_IF(hSource == nullptr, op, "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    UniqueStore hCA(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA")));
    if (!hCA)
        return FAIL_LAST_ERROR(op, "CertOpenStore(CA)", "hCertStore == NULL");
    FILETIME ftNow{};
    HRESULT hResult = GetMachineTime(&ftNow);
    if (TRACE_IF(FAILED(hResult), op, "GetMachineTime", hResult))
        return hResult;
    PCCERT_CONTEXT pCertContext = nullptr;
    while ((pCertContext = CertEnumCertificatesInStore(hSource, pCertContext)) != nullptr) {
        DWORD dwExpired = 0;
        hResult = CheckCertValidTime(&ftNow, &dwExpired, pCertContext);
        if (FAILED(hResult) || dwExpired != 0) {
            TRACE_FAILED(op, "CheckCertValidTime", hResult, "expired, or its time unreadable");
            continue;
        }
        if (IsSelfIssued(pCertContext)) {
            TRACE_OK(op, "self-signed root: skipped");
            continue;
        }
        if (!CertAddCertificateContextToStore(hCA.get(), pCertContext, CERT_STORE_ADD_NEW,
                                              nullptr)) {
            if (GetLastError() == DWORD(CRYPT_E_EXISTS)) {
                TRACE_OK(op, "already in the store: skipped");
                continue;
            }
            hResult = FailureFromLastError();
            CertFreeCertificateContext(pCertContext);
            return TRACE_FAIL(op, "CertAddCertificateContextToStore", hResult, "FALSE == bResult");
        }
        TRACE_OK(op, "CertAddCertificateContextToStore");
    }
    return VURO_OK;
}
