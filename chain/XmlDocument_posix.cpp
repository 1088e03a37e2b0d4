// The XML parser on POSIX: libxml2, held to what chain documents need (no
// network, no DTD, no entity substitution, no XInclude), its tree copied into
// XML_NODE.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "chain/XmlDocument.h"
#include "foundation/Encodings.h"

#include <memory>

namespace {

using UniqueXmlDoc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

HRESULT Utf16Of(const xmlChar* pszText, WString& strOut) {
    if (pszText == nullptr || pszText[0] == 0) {
        strOut.clear();
        return S_OK;
    }
    return UTF8ToUTF16(reinterpret_cast<const char*>(pszText), &strOut);
}

bool IsBlank(const xmlChar* pszText) {
    for (const xmlChar* p = pszText; p != nullptr && *p != 0; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
            return false;
    return true;
}

// CopyChildren: the children of pParent into *pNode; they lie dwDepth levels
// below the document.
HRESULT CopyChildren(const xmlNode* pParent, DWORD dwDepth, XML_NODE* pNode) {
    for (const xmlNode* p = pParent->children; p != nullptr; p = p->next) {
        XML_NODE child;
        HRESULT hr = S_OK;
        switch (p->type) {
        case XML_ELEMENT_NODE: {
            if (dwDepth > kMaxXmlDepth)
                return VURO_E_RECURSION_DEPTH;
            std::string strName;
            if (p->ns != nullptr && p->ns->prefix != nullptr)
                strName = std::string(reinterpret_cast<const char*>(p->ns->prefix)) + ":";
            strName += reinterpret_cast<const char*>(p->name);
            hr = Utf16Of(reinterpret_cast<const xmlChar*>(strName.c_str()), child.strName);
            if (SUCCEEDED(hr))
                hr = CopyChildren(p, dwDepth + 1, &child);
            break;
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            // The document object keeps no whitespace-only text; neither do we.
            if (IsBlank(p->content))
                continue;
            child.strName = p->type == XML_TEXT_NODE ? TEXT("#text") : TEXT("#cdata-section");
            hr = Utf16Of(p->content, child.strText);
            break;
        case XML_COMMENT_NODE:
            child.strName = TEXT("#comment");
            break;
        case XML_PI_NODE:
            hr = Utf16Of(p->name, child.strName);
            break;
        default:
            // Entity references, DTD nodes and the like: never in a chain document.
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        }
        if (FAILED(hr))
            return hr;
        pNode->children.push_back(std::move(child));
    }
    return S_OK;
}

} // namespace

HRESULT PlatformParseXml(const WString& strText, XML_NODE* pDocument) {
    std::string utf8;
    if (HRESULT hr = UTF16ToUTF8(strText.c_str(), &utf8); FAILED(hr))
        return hr;
    // The text is UTF-8 whatever its declaration says, as a string handed to
    // the document object is UTF-16 whatever its declaration says.
    constexpr int kOptions =
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC;
    UniqueXmlDoc doc(xmlReadMemory(utf8.data(), int(utf8.size()), nullptr, "UTF-8", kOptions),
                     &xmlFreeDoc);
    if (!doc)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (doc->intSubset != nullptr || doc->extSubset != nullptr)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    XML_NODE document;
    document.strName = TEXT("#document");
    if (HRESULT hr = CopyChildren(reinterpret_cast<const xmlNode*>(doc.get()), 1, &document);
        FAILED(hr))
        return hr;
    *pDocument = std::move(document);
    return S_OK;
}
