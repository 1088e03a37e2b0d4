// The XML documents the chain import reads: parsed by the platform's parser
// (the XML document object through COM on Windows, libxml2 elsewhere) into
// one small tree that the import walks the same way on both targets.
//
// What the tree keeps is what the document object shows when it keeps no
// whitespace: elements, comments, processing instructions, and text and CDATA
// sections that hold more than whitespace. Names are the object's node names:
// the element's qualified name, "#comment", "#text", "#cdata-section", or the
// instruction's target.
//
// Chain documents are data built into the plug-in, but the parser is still
// held to what they need: no document type declaration (so no DTD is loaded,
// no entity is declared or expanded, nothing is fetched), at most
// kMaxXmlDocumentBytes and kMaxXmlDepth levels.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <vector>

// The largest document accepted (the shipped ones are about 22 KB).
constexpr DWORD kMaxXmlDocumentBytes = 1024 * 1024;
// The deepest element nesting accepted (the shipped documents need 4).
constexpr DWORD kMaxXmlDepth = 32;

struct XML_NODE {
    WString strName;
    // Text and CDATA sections: their characters; empty for other nodes.
    WString strText;
    std::vector<XML_NODE> children;
};

// ParseXmlText: parses the whole document pwszText (UTF-16, as the document
// object's loadXML takes it) into *pDocument, a node named "#document" whose
// children are the document's top-level nodes. Returns 0;
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for text that is not a well-formed
// document or that has a document type declaration; VURO_E_RECURSION_DEPTH
// for nesting deeper than kMaxXmlDepth; E_OUTOFMEMORY; or the platform
// parser's failure (on Windows, for example, REGDB_E_CLASSNOTREG when the
// document object is not installed or CO_E_NOTINITIALIZED without COM).
// *pDocument is changed only on success.
[[nodiscard]] HRESULT ParseXmlText(const WString& strText, XML_NODE* pDocument);

// PlatformParseXml: the target's parser behind ParseXmlText
// (XmlDocument_win32.cpp / XmlDocument_posix.cpp), given text that has passed
// the size and declaration checks. Same results; it enforces kMaxXmlDepth.
[[nodiscard]] HRESULT PlatformParseXml(const WString& strText, XML_NODE* pDocument);

// IsXmlWhitespace: space, tab, CR or LF, the characters XML counts as blanks.
inline bool IsXmlWhitespace(WCHAR ch) {
    return ch == TEXT(' ') || ch == TEXT('\t') || ch == TEXT('\r') || ch == TEXT('\n');
}

// XmlTextOf: the characters of every text and CDATA section below pNode, in
// document order, without the whitespace (space, tab, CR, LF) at both ends.
WString XmlTextOf(const XML_NODE& node);
