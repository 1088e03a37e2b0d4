// The XML parser on Windows: the platform's XML document object through COM
// (the calling thread must have initialised COM), held to what chain
// documents need (no validation, no external resources, no DTD), its nodes
// copied into XML_NODE.
#include "chain/XmlDocument.h"
#include "foundation/Handles.h"

#include <objbase.h>
#include <msxml2.h>

namespace {

// The document object's class and the interface the import asks it for.
constexpr CLSID kClsidXmlDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr IID kIidXmlDomDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// The second version of the document interface, for its parser properties.
constexpr IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

template <class I> void ComRelease(I* p) {
    p->Release();
}
template <class I> using UniqueCom = UniqueHandle<I*, &ComRelease<I>>;

// CopyChildren: the children of pParent into *pNode; they lie dwDepth levels
// below the document.
HRESULT CopyChildren(IXMLDOMNode* pParent, DWORD dwDepth, XML_NODE* pNode) {
    UniqueCom<IXMLDOMNodeList> list;
    if (HRESULT hr = pParent->get_childNodes(list.put()); FAILED(hr))
        return hr;
    long nLength = 0;
    if (HRESULT hr = list.get()->get_length(&nLength); FAILED(hr))
        return hr;
    for (long i = 0; i < nLength; ++i) {
        UniqueCom<IXMLDOMNode> node;
        if (HRESULT hr = list.get()->get_item(i, node.put()); FAILED(hr) || !node)
            return FAILED(hr) ? hr : E_FAIL;
        DOMNodeType eType = NODE_INVALID;
        if (HRESULT hr = node.get()->get_nodeType(&eType); FAILED(hr))
            return hr;
        XML_NODE child;
        switch (eType) {
        case NODE_ELEMENT:
        case NODE_COMMENT:
        case NODE_PROCESSING_INSTRUCTION: {
            if (eType == NODE_ELEMENT && dwDepth > kMaxXmlDepth)
                return VURO_E_RECURSION_DEPTH;
            UniqueBstr name;
            if (HRESULT hr = node.get()->get_nodeName(name.put()); FAILED(hr))
                return hr;
            if (name)
                child.strName.assign(name.get(), SysStringLen(name.get()));
            // The XML declaration shows here as an instruction named "xml";
            // libxml2 keeps it apart. It is never the last node, so leaving
            // it out changes nothing but keeps both trees the same.
            if (eType == NODE_PROCESSING_INSTRUCTION && dwDepth == 1 &&
                child.strName == TEXT("xml"))
                continue;
            if (eType == NODE_ELEMENT)
                if (HRESULT hr = CopyChildren(node.get(), dwDepth + 1, &child); FAILED(hr))
                    return hr;
            break;
        }
        case NODE_TEXT:
        case NODE_CDATA_SECTION: {
            // The node's value as written: the text property would trim it.
            VARIANT value;
            VariantInit(&value);
            const HRESULT hr = node.get()->get_nodeValue(&value);
            if (SUCCEEDED(hr) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
                try {
                    child.strText.assign(value.bstrVal, SysStringLen(value.bstrVal));
                } catch (...) {
                    VariantClear(&value);
                    throw;
                }
            }
            VariantClear(&value);
            if (FAILED(hr))
                return hr;
            bool bBlank = true;
            for (WCHAR ch : child.strText)
                bBlank = bBlank && IsXmlWhitespace(ch);
            if (bBlank)
                continue;
            child.strName = eType == NODE_TEXT ? TEXT("#text") : TEXT("#cdata-section");
            break;
        }
        default:
            // Entity references, document types and the like: never in a chain document.
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        }
        pNode->children.push_back(std::move(child));
    }
    return S_OK;
}

} // namespace

HRESULT PlatformParseXml(const WString& strText, XML_NODE* pDocument) {
    UniqueCom<IXMLDOMDocument> doc;
    HRESULT hr = CoCreateInstance(kClsidXmlDocument, nullptr, CLSCTX_INPROC_SERVER,
                                  kIidXmlDomDocument, reinterpret_cast<void**>(doc.put()));
    if (FAILED(hr))
        return hr;
    if (!doc)
        return E_NOINTERFACE;
    // Parse the text given, now, as it is: no fetching, no validation, no
    // external entities, no whitespace-only text nodes.
    if (FAILED(hr = doc.get()->put_async(VARIANT_FALSE)) ||
        FAILED(hr = doc.get()->put_validateOnParse(VARIANT_FALSE)) ||
        FAILED(hr = doc.get()->put_resolveExternals(VARIANT_FALSE)) ||
        FAILED(hr = doc.get()->put_preserveWhiteSpace(VARIANT_FALSE)))
        return hr;
    UniqueCom<IXMLDOMDocument2> doc2;
    if (SUCCEEDED(
            doc.get()->QueryInterface(kIidXmlDomDocument2, reinterpret_cast<void**>(doc2.put()))) &&
        doc2) {
        // Older document objects lack the property; the declaration check
        // before the parser keeps DTDs out all the same.
        UniqueBstr property(SysAllocString(TEXT("ProhibitDTD")));
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BOOL;
        value.boolVal = VARIANT_TRUE;
        if (property)
            doc2.get()->setProperty(property.get(), value);
    }
    UniqueBstr text(SysAllocStringLen(strText.data(), UINT(strText.size())));
    if (!text)
        return E_OUTOFMEMORY;
    VARIANT_BOOL bLoaded = VARIANT_FALSE;
    hr = doc.get()->loadXML(text.get(), &bLoaded);
    if (FAILED(hr))
        return hr;
    if (bLoaded != VARIANT_TRUE)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    XML_NODE document;
    document.strName = TEXT("#document");
    if (FAILED(hr = CopyChildren(doc.get(), 1, &document)))
        return hr;
    *pDocument = std::move(document);
    return S_OK;
}
