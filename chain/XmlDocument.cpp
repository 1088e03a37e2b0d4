// The checks both XML parsers run behind, and the text of a node.
#include "chain/XmlDocument.h"

#include <new>

HRESULT ParseXmlText(const WString& strText, XML_NODE* pDocument) {
    if (pDocument == nullptr)
        return E_POINTER;
    // A document type declaration is where DTDs are loaded and entities are
    // declared; chain documents have none, so any text that has one (even
    // inside a comment) is refused before a parser sees it.
    if (strText.find(TEXT("<!DOCTYPE")) != WString::npos)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    try {
        XML_NODE document;
        if (HRESULT hr = PlatformParseXml(strText, &document); FAILED(hr))
            return hr;
        *pDocument = std::move(document);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

namespace {

void AppendText(const XML_NODE& node, WString& strOut) {
    strOut += node.strText;
    for (const XML_NODE& child : node.children)
        AppendText(child, strOut);
}

} // namespace

WString XmlTextOf(const XML_NODE& node) {
    WString strText;
    AppendText(node, strText);
    size_t nBegin = 0;
    size_t nEnd = strText.size();
    while (nBegin < nEnd && IsXmlWhitespace(strText[nBegin]))
        ++nBegin;
    while (nEnd > nBegin && IsXmlWhitespace(strText[nEnd - 1]))
        --nEnd;
    return strText.substr(nBegin, nEnd - nBegin);
}
