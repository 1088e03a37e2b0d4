#include "chain/ChainDocumentReader.h"

#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <cstring>
#include <memory>
#include <new>

// The reading steps of the chain import, traced as part of it.
#define TRACE_MODULE "CertificateChainOperate"

namespace {

constexpr size_t kRecordHeaderBytes = 12;

DWORD ReadLittleEndian32(const BYTE* p) {
    return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

bool ContainsIgnoringCase(const WString& strText, const WCHAR* pwszPart) {
    auto fold = [](WCHAR ch) {
        return ch >= TEXT('A') && ch <= TEXT('Z') ? WCHAR(ch + (TEXT('a') - TEXT('A'))) : ch;
    };
    const size_t cchPart = WString(pwszPart).size();
    if (cchPart > strText.size())
        return false;
    for (size_t i = 0; i + cchPart <= strText.size(); ++i) {
        size_t j = 0;
        while (j < cchPart && fold(strText[i + j]) == fold(pwszPart[j]))
            ++j;
        if (j == cchPart)
            return true;
    }
    return false;
}

} // namespace

HRESULT DecodeBase64Text(const WCHAR* pwszText, std::vector<BYTE>& out) {
    char* pszRaw = nullptr;
    int cchUtf8 = 0;
    HRESULT hResult = UTF16ToUTF8(pwszText, &pszRaw, &cchUtf8);
    if (FAILED(hResult))
        return hResult;
    std::unique_ptr<char[]> pszUtf8(pszRaw);
    BYTE* pbRaw = nullptr;
    DWORD cbDecoded = 0;
    hResult = Base64DecodeEx(cchUtf8, &pbRaw, pszUtf8.get(), &cbDecoded);
    if (FAILED(hResult))
        return hResult;
    std::unique_ptr<BYTE[]> pbDecoded(pbRaw);
    out.assign(pbDecoded.get(), pbDecoded.get() + cbDecoded);
    return S_OK;
}

HRESULT LoadXMLDom(const BYTE* pbData, DWORD cbData, XML_NODE* pDocument) {
    TraceHelper trace(TEXT("LoadXMLDom"));
    const char* const op = "LoadXMLDom";
    if (pbData == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "lpResData == NULL");
    if (pDocument == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_POINTER, "pXMLDom == NULL");
    if (cbData > kMaxXmlDocumentBytes)
        return TRACE_FAIL(op, "Check Parameters", VURO_E_DATA_LENGTH_LIMIT,
                          "dwSize > kMaxXmlDocumentBytes");
    // The converter reads up to a terminator, which the resource lacks.
    std::unique_ptr<char[]> pszText(new (std::nothrow) char[size_t(cbData) + 1]);
    if (!pszText)
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "pszText == NULL");
    std::memcpy(pszText.get(), pbData, cbData);
    pszText[cbData] = 0;
    WCHAR* pwszRaw = nullptr;
    int cchText = 0;
    HRESULT hResult = UTF8ToUTF16(pszText.get(), &pwszRaw, &cchText);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "UTF8ToUTF16", hResult, "FAILED(hResult)");
    std::unique_ptr<WCHAR[]> pwszText(pwszRaw);
    try {
        hResult = ParseXmlText(WString(pwszText.get(), size_t(cchText)), pDocument);
    } catch (const std::bad_alloc&) {
        hResult = E_OUTOFMEMORY;
    }
    if (FAILED(hResult))
        return TRACE_FAIL(op, "loadXML FAILED.", hResult, "FAILED(hResult)");
    TRACE_OK(op, "loadXML");
    return VURO_OK;
}

HRESULT GetXMLRootNode(const XML_NODE* pDocument, const XML_NODE** ppRoot) {
    const char* const op = "GetXMLRootNode";
    if (pDocument == nullptr || ppRoot == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pXMLDom == NULL");
    if (pDocument->children.empty())
        return TRACE_FAIL(op, "get_lastChild FAILED.", E_FAIL, "pRootNode == NULL");
    *ppRoot = &pDocument->children.back();
    return VURO_OK;
}

HRESULT FindChildNode(const XML_NODE** ppNode, const XML_NODE* pParent, const WCHAR* pwszName) {
    const char* const op = "FindChildNode";
    if (ppNode == nullptr || pParent == nullptr || pwszName == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pParentNode == NULL");
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

HRESULT GetNodeValue(const XML_NODE* pNode, WCHAR** ppwszValue) {
    const char* const op = "GetNodeValue";
    if (pNode == nullptr || ppwszValue == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pNode == NULL");
    try {
        const WString strText = XmlTextOf(*pNode);
        auto pwszValue = std::make_unique<WCHAR[]>(strText.size() + 1);
        std::memcpy(pwszValue.get(), strText.c_str(), (strText.size() + 1) * sizeof(WCHAR));
        *ppwszValue = pwszValue.release();
        return VURO_OK;
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "Dispatch memory failed.", E_OUTOFMEMORY, "new WCHAR[]");
    }
}

HRESULT GetRegisteredCertificateInfoNode(const XML_NODE* pNode, REGISTERED_CERT_INFO* pInfo) {
    const char* const op = "GetRegisteredCertificateInfoNode";
    if (pNode == nullptr || pInfo == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pCertificateNode == NULL");
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
    const char* const op = "GetCertFromCertificateBlobProperties";
    if (pCertificate == nullptr)
        return E_POINTER;
    std::span<const BYTE> rest = blob;
    while (!rest.empty()) {
        if (rest.size() < kRecordHeaderBytes)
            return TRACE_FAIL(op, "Parse Blob", E_FAIL, "dwCurentPos + 12 > dwRegInfoSize");
        const DWORD dwPropertyId = ReadLittleEndian32(rest.data()) & 0x00FFFFFF;
        const DWORD cbValue = ReadLittleEndian32(rest.data() + 8) & 0x00FFFFFF;
        rest = rest.subspan(kRecordHeaderBytes);
        if (cbValue > rest.size())
            return TRACE_FAIL(op, "Parse Blob", E_FAIL, "dwCurentPos + nLen > dwRegInfoSize");
        if (dwPropertyId == CERT_BLOB_CERTIFICATE_PROPERTY) {
            *pCertificate = rest.first(cbValue);
            return VURO_OK;
        }
        rest = rest.subspan(cbValue);
    }
    return TRACE_FAIL(op, "Parse Blob", E_FAIL, "nPropertyID != 32");
}
