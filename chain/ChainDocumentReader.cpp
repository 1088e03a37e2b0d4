#include "chain/ChainDocumentReader.h"

#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <cstring>
#include <memory>
#include <new>

// The reading steps of the chain import, traced as part of it.
#define TRACE_MODULE "CertificateChainOperate"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ContainsIgnoringCase(const WString& strText, const WCHAR* pwszPart) {
    const size_t cchPart = WString(pwszPart).size();
    if (cchPart > strText.size())
        return false;
    for (size_t i = 0; i + cchPart <= strText.size(); ++i) {
        size_t j = 0;
        while (j < cchPart && LowerAscii(strText[i + j]) == LowerAscii(pwszPart[j]))
            ++j;
        if (j == cchPart)
            return true;
    }
    return false;
}

} // namespace

HRESULT DecodeBase64Text(const WCHAR* pwszText, std::vector<BYTE>& out) {
    std::string strUtf8;
    HRESULT hResult = UTF16ToUTF8(pwszText, &strUtf8);
    if (FAILED(hResult))
        return hResult;
    return Base64DecodeEx(int(strUtf8.size()), &out, strUtf8.c_str());
}

HRESULT LoadXMLDom(const BYTE* pbData, DWORD cbData, XML_NODE* pDocument) {
    TraceHelper trace(TEXT("LoadXMLDom"));
    const char* const op = "LoadXMLDom";
    if (TRACE_IF(pbData == nullptr, op, "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    if (TRACE_IF(pDocument == nullptr, op, "Check Parameters", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(cbData > kMaxXmlDocumentBytes, op, "Check Parameters", VURO_E_DATA_LENGTH_LIMIT))
        return VURO_E_DATA_LENGTH_LIMIT;
    // The converter reads up to a terminator, which the resource lacks.
    std::string strText;
    try {
        strText.assign(reinterpret_cast<const char*>(pbData), cbData);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "std::bad_alloc");
    }
    WString wstrText;
    HRESULT hResult = UTF8ToUTF16(strText.c_str(), &wstrText);
    if (TRACE_IF(FAILED(hResult), op, "UTF8ToUTF16", hResult))
        return hResult;
    try {
        hResult = ParseXmlText(wstrText, pDocument);
    } catch (const std::bad_alloc&) {
        hResult = E_OUTOFMEMORY;
    }
    if (TRACE_IF(FAILED(hResult), op, "loadXML FAILED.", hResult))
        return hResult;
    TRACE_OK(op, "loadXML");
    return VURO_OK;
}

HRESULT GetXMLRootNode(const XML_NODE* pDocument, const XML_NODE** ppRoot) {
    const char* const op = "GetXMLRootNode";
    if (TRACE_IF(pDocument == nullptr || ppRoot == nullptr, op, "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    if (TRACE_IF(pDocument->children.empty(), op, "get_lastChild FAILED.", E_FAIL))
        return E_FAIL;
    *ppRoot = &pDocument->children.back();
    return VURO_OK;
}

HRESULT FindChildNode(const XML_NODE** ppNode, const XML_NODE* pParent, const WCHAR* pwszName) {
    const char* const op = "FindChildNode";
    if (TRACE_IF(ppNode == nullptr || pParent == nullptr || pwszName == nullptr, op,
                 "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    for (const XML_NODE& child : pParent->children) {
        if (ContainsIgnoringCase(child.strName, pwszName)) {
            *ppNode = &child;
            return VURO_OK;
        }
    }
    TRACE_FAILED_W(TEXT("FindChildNode"), pwszName, VURO_S_NODE_NOT_FOUND,
                   TEXT("no child node of that name"));
    return VURO_S_NODE_NOT_FOUND;
}

HRESULT GetNodeValue(const XML_NODE* pNode, WString* pwstrValue) {
    const char* const op = "GetNodeValue";
    if (TRACE_IF(pNode == nullptr || pwstrValue == nullptr, op, "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    try {
        *pwstrValue = XmlTextOf(*pNode);
        return VURO_OK;
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "std::bad_alloc");
    }
}

HRESULT GetRegisteredCertificateInfoNode(const XML_NODE* pNode, REGISTERED_CERT_INFO* pInfo) {
    const char* const op = "GetRegisteredCertificateInfoNode";
    if (TRACE_IF(pNode == nullptr || pInfo == nullptr, op, "Check Parameters", E_INVALIDARG))
        return E_INVALIDARG;
    if (pNode->children.size() < 3)
        return TRACE_FAIL(op, "get_length", VURO_E_CHAIN_ENTRY_INCOMPLETE,
                          "the number of RegeditInfo Child Node is error!");
    try {
        REGISTERED_CERT_INFO info;
        info.strImportPath = XmlTextOf(pNode->children[0]);
        info.strEntryPoint = XmlTextOf(pNode->children[1]);
        info.strContent = XmlTextOf(pNode->children[2]);
        *pInfo = std::move(info);
        return VURO_OK;
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "GetNodeValue");
    }
}

HRESULT FindCertificateProperty(std::span<const BYTE> blob, std::span<const BYTE>* pCertificate) {
    const char* const op = "FindCertificateProperty";
    if (pCertificate == nullptr)
        return E_POINTER;
    orvane::der::Bytes certificate;
    if (const DWORD err = orvane::der::ReadSerializedCertificate(blob, certificate); err != 0)
        return TRACE_FAIL(op, "ReadSerializedCertificate", E_FAIL,
                          err == DWORD(CRYPT_E_NOT_FOUND) ? "no property 32"
                          : err == DWORD(CRYPT_E_EXISTS)  ? "more than one property 32"
                          : err == DWORD(CRYPT_E_ASN1_EOD)
                              ? "a record or property 32 runs past its end"
                              : "property 32 is not exactly one DER element");
    *pCertificate = certificate;
    return VURO_OK;
}

bool IsRootStoreImportPath(const WCHAR* pwszImportPath) {
    if (pwszImportPath == nullptr)
        return false;
    const WCHAR* pwszRoot = kRootStoreImportPath;
    for (; *pwszImportPath != 0 && *pwszRoot != 0; ++pwszImportPath, ++pwszRoot)
        if (LowerAscii(*pwszImportPath) != LowerAscii(*pwszRoot))
            return false;
    return *pwszImportPath == 0 && *pwszRoot == 0;
}

HRESULT CertificateThumbprint(PCCERT_CONTEXT pCertContext, WString& strThumbprint) {
    if (pCertContext == nullptr)
        return E_INVALIDARG;
    BYTE rgbHash[20] = {};
    DWORD cbHash = sizeof(rgbHash);
    if (!CertGetCertificateContextProperty(pCertContext, CERT_SHA1_HASH_PROP_ID, rgbHash, &cbHash))
        return FailureFromLastError();
    static constexpr char kDigits[] = "0123456789ABCDEF";
    WString strText;
    for (DWORD i = 0; i < cbHash; ++i) {
        strText.push_back(WCHAR(kDigits[rgbHash[i] >> 4]));
        strText.push_back(WCHAR(kDigits[rgbHash[i] & 15]));
    }
    strThumbprint = std::move(strText);
    return S_OK;
}

HRESULT CertificateOfRootBlob(std::span<const BYTE> blob, UniqueCertContext* pCert,
                              RootEntryFault* pFault) {
    const char* const op = "CertificateOfRootBlob";
    RootEntryFault fault = RootEntryFault::None;
    if (pFault == nullptr)
        pFault = &fault;
    *pFault = RootEntryFault::None;
    if (pCert == nullptr)
        return E_POINTER;
    std::span<const BYTE> certificate;
    HRESULT hResult = FindCertificateProperty(blob, &certificate);
    if (FAILED(hResult)) {
        *pFault = RootEntryFault::Blob;
        return hResult;
    }
    UniqueCertContext cert(
        CertCreateCertificateContext(kEncoding, certificate.data(), DWORD(certificate.size())));
    if (!cert) {
        *pFault = RootEntryFault::Certificate;
        return TRACE_FAIL(op, "CertCreateCertificateContext", FailureFromLastError(),
                          "pCertContext == NULL");
    }
    // The value is one whole element, so the certificate is all of it.
    if (cert.get()->cbCertEncoded != certificate.size()) {
        *pFault = RootEntryFault::Certificate;
        return TRACE_FAIL(op, "CertCreateCertificateContext", E_FAIL,
                          "the certificate is not the whole of property 32");
    }
    *pCert = std::move(cert);
    return VURO_OK;
}

HRESULT CheckRootBlob(std::span<const BYTE> blob, const WCHAR* pwszEntryPoint, ROOT_ENTRY* pEntry,
                      RootEntryFault* pFault) {
    const char* const op = "CheckRootBlob";
    RootEntryFault fault = RootEntryFault::None;
    if (pFault == nullptr)
        pFault = &fault;
    *pFault = RootEntryFault::None;
    if (pwszEntryPoint == nullptr || pEntry == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "NULL argument");
    UniqueCertContext cert;
    HRESULT hResult = CertificateOfRootBlob(blob, &cert, pFault);
    if (TRACE_IF(FAILED(hResult), op, "CertificateOfRootBlob", hResult))
        return hResult;
    // The entry point names the root store's key; a name other than the
    // certificate's own thumbprint would file it under a wrong one.
    WString strThumbprint;
    hResult = CertificateThumbprint(cert.get(), strThumbprint);
    if (FAILED(hResult)) {
        *pFault = RootEntryFault::Certificate;
        return TRACE_FAIL(op, "CertGetCertificateContextProperty(CERT_SHA1_HASH_PROP_ID)", hResult,
                          "FAILED(hResult)");
    }
    if (strThumbprint != pwszEntryPoint) {
        *pFault = RootEntryFault::EntryPoint;
        return TRACE_FAIL(op, "Check EntryPoint", E_FAIL, "EntryPoint != SHA-1 thumbprint");
    }
    pEntry->cert = std::move(cert);
    pEntry->strThumbprint = std::move(strThumbprint);
    return VURO_OK;
}

HRESULT CheckRootEntry(const REGISTERED_CERT_INFO& info, ROOT_ENTRY* pEntry,
                       RootEntryFault* pFault) {
    const char* const op = "CheckRootEntry";
    RootEntryFault fault = RootEntryFault::None;
    if (pFault == nullptr)
        pFault = &fault;
    *pFault = RootEntryFault::None;
    if (pEntry == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pEntry == NULL");
    if (!IsRootStoreImportPath(info.strImportPath.c_str())) {
        *pFault = RootEntryFault::ImportPath;
        return TRACE_FAIL(op, "Check ImportPath", E_ACCESSDENIED,
                          "ImportPath is not the machine root store's key");
    }
    try {
        ROOT_ENTRY entry;
        HRESULT hResult = DecodeBase64Text(info.strContent.c_str(), entry.blob);
        if (FAILED(hResult)) {
            *pFault = RootEntryFault::Content;
            return TRACE_FAIL(op, "Base64DecodeEx", hResult, "FAILED(hResult)");
        }
        hResult = CheckRootBlob(entry.blob, info.strEntryPoint.c_str(), &entry, pFault);
        if (TRACE_IF(FAILED(hResult), op, "CheckRootBlob", hResult))
            return hResult;
        *pEntry = std::move(entry);
        return VURO_OK;
    } catch (const std::bad_alloc&) {
        *pFault = RootEntryFault::Content;
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "new BYTE[]");
    }
}
