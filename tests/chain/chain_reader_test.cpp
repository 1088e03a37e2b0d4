// Reading chain documents: the two XML parsers must give the same tree and
// refuse the same things; the node search, texts and the property-blob walk.
#include "chain/ChainDocumentReader.h"
#include "tests/chain/ChainTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

HRESULT Parse(const std::string& strText, XML_NODE& doc) {
    return LoadXMLDom(reinterpret_cast<const BYTE*>(strText.data()), DWORD(strText.size()), &doc);
}

// Dump: name, "=text" for text nodes, children in braces.
std::string Dump(const XML_NODE& node) {
    std::string s = U8(node.strName);
    if (!node.strText.empty())
        s += "=\"" + U8(node.strText) + "\"";
    if (!node.children.empty()) {
        s += "{";
        for (size_t i = 0; i < node.children.size(); ++i)
            s += (i == 0 ? "" : ",") + Dump(node.children[i]);
        s += "}";
    }
    return s;
}

std::string Nested(int nDepth) {
    std::string s;
    for (int i = 0; i < nDepth; ++i)
        s += "<a>";
    for (int i = 0; i < nDepth; ++i)
        s += "</a>";
    return s;
}

} // namespace

TEST(ChainXml, BothParsersGiveTheDocumentObjectsTree) {
    const struct {
        const char* what;
        std::string text;
        std::string tree;
    } cases[] = {
        {"declaration, comments, no whitespace-only text",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- made -->\n<root>\n  <a> x </a>\n"
         "  <b/>\n</root>\n",
         "#document{#comment,root{a{#text=\" x \"},b}}"},
        {"instruction, prefix, CDATA", "<?pi data?><p:r xmlns:p=\"urn:x\"><![CDATA[ a<b ]]></p:r>",
         "#document{pi,p:r{#cdata-section=\" a<b \"}}"},
        {"predefined entities and character references are text", "<r>&amp;&#x41;&lt;</r>",
         "#document{r{#text=\"&A<\"}}"},
        {"a comment after the root element stays the last node", "<r/><!-- after -->",
         "#document{r,#comment}"},
    };
    for (const auto& c : cases) {
        XML_NODE doc;
        ASSERT_EQ(Parse(c.text, doc), S_OK) << c.what;
        EXPECT_EQ(Dump(doc), c.tree) << c.what;
    }
}

TEST(ChainXml, LimitsRefuseDeclarationsMalformedAndOversizedDocuments) {
    const HRESULT kInvalid = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    const struct {
        const char* what;
        std::string text;
        HRESULT hr;
    } cases[] = {
        {"32 levels", Nested(32), S_OK},
        {"1 MiB", "<r>" + std::string(kMaxXmlDocumentBytes - 7, 'x') + "</r>", S_OK},
        // Invalid: a document type declaration, whatever it holds.
        {"DOCTYPE", "<!DOCTYPE r><r/>", kInvalid},
        {"entity expansion",
         "<!DOCTYPE r [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
         "<r>&b;&b;&b;&b;</r>",
         kInvalid},
        {"external entity", "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>",
         kInvalid},
        {"declaration inside a comment", "<!-- <!DOCTYPE --><r/>", kInvalid},
        // Invalid: not well-formed.
        {"undeclared entity", "<r>&x;</r>", kInvalid},
        {"unclosed element", "<r>", kInvalid},
        {"two root elements", "<r/><s/>", kInvalid},
        {"empty text", "", kInvalid},
        // Invalid: too deep, too big.
        {"33 levels", Nested(33), VURO_E_RECURSION_DEPTH},
        {"over 1 MiB", "<r>" + std::string(kMaxXmlDocumentBytes - 6, 'x') + "</r>",
         VURO_E_DATA_LENGTH_LIMIT},
    };
    for (const auto& c : cases) {
        XML_NODE doc;
        doc.strName = TEXT("untouched");
        EXPECT_EQ(Parse(c.text, doc), c.hr) << c.what;
        EXPECT_EQ(U8(doc.strName), c.hr == S_OK ? "#document" : "untouched") << c.what;
    }
    XML_NODE doc;
    EXPECT_EQ(LoadXMLDom(nullptr, 10, &doc), E_INVALIDARG);
}

TEST(ChainXml, RootIsTheLastNodeAndChildrenAreFoundBySubstring) {
    XML_NODE doc;
    ASSERT_EQ(Parse("<root><RootCACertificateList/><!--RootCACertificate--><p7bcontent/>"
                    "<P7bContentV2/></root>",
                    doc),
              S_OK);
    const XML_NODE* pRoot = nullptr;
    ASSERT_EQ(GetXMLRootNode(&doc, &pRoot), S_OK);
    const struct {
        const WCHAR* name;
        HRESULT hr;
        const char* found;
    } cases[] = {
        {TEXT("RootCACertificate"), S_OK, "RootCACertificateList"}, // a part of the name
        {TEXT("P7bContent"), S_OK, "p7bcontent"},                   // any case, first match
        {TEXT("Certificate"), S_OK, "RootCACertificateList"},       // comments are "#comment"
        {TEXT("Missing"), VURO_S_NODE_NOT_FOUND, "untouched"},      // no failure, no node
    };
    for (const auto& c : cases) {
        XML_NODE untouched;
        untouched.strName = TEXT("untouched");
        const XML_NODE* pNode = &untouched;
        EXPECT_EQ(FindChildNode(&pNode, pRoot, c.name), c.hr) << U8(c.name);
        EXPECT_EQ(U8(pNode->strName), c.found) << U8(c.name);
    }

    // A comment after </root> is the document's last node: no child there.
    ASSERT_EQ(Parse("<root><RootCACertificate/></root><!-- signed off -->", doc), S_OK);
    ASSERT_EQ(GetXMLRootNode(&doc, &pRoot), S_OK);
    EXPECT_EQ(U8(pRoot->strName), "#comment");
    const XML_NODE* pNode = nullptr;
    EXPECT_EQ(FindChildNode(&pNode, pRoot, TEXT("RootCACertificate")), VURO_S_NODE_NOT_FOUND);
}

TEST(ChainXml, EntryTextsArePositionalAndTrimmed) {
    XML_NODE doc;
    ASSERT_EQ(Parse("<Certificate><X>\n  SOFT<!-- split -->WARE\\Path \n</X><Y>AB</Y>"
                    "<Z><![CDATA[QUJD]]></Z><Extra/></Certificate>",
                    doc),
              S_OK);
    REGISTERED_CERT_INFO info;
    ASSERT_EQ(GetRegisteredCertificateInfoNode(&doc.children[0], &info), S_OK);
    EXPECT_EQ(U8(info.strImportPath), "SOFTWARE\\Path");
    EXPECT_EQ(U8(info.strEntryPoint), "AB");
    EXPECT_EQ(U8(info.strContent), "QUJD");

    WString wstrValue;
    ASSERT_EQ(GetNodeValue(&doc.children[0].children[0], &wstrValue), S_OK);
    EXPECT_EQ(U8(wstrValue), "SOFTWARE\\Path");

    // Invalid: two children.
    ASSERT_EQ(Parse("<Certificate><ImportPath>p</ImportPath><EntryPoint>e</EntryPoint>"
                    "</Certificate>",
                    doc),
              S_OK);
    info.strImportPath = TEXT("untouched");
    EXPECT_EQ(GetRegisteredCertificateInfoNode(&doc.children[0], &info),
              VURO_E_CHAIN_ENTRY_INCOMPLETE);
    EXPECT_EQ(U8(info.strImportPath), "untouched");
}

TEST(ChainBlob, WalkFindsTheOneCertificateAsTheStoresReadItAndNeverReadsPastTheBlob) {
    const Bytes cert = {0x30, 0x03, 0x02, 0x01, 0x05};
    const Bytes other = {0x30, 0x03, 0x02, 0x01, 0x06};
    const Bytes hash(20, 0xAB);
    const struct {
        const char* what;
        Bytes blob;
        HRESULT hr;
        Bytes found;
    } cases[] = {
        {"after other properties", Join({Record(3, 20, hash), Record(32, 5, cert)}), S_OK, cert},
        // Ids are read whole, as the stores read them: a top byte makes
        // another property, and the certificate is the record that is 32.
        {"an id with a top byte is not the certificate",
         Join({Record(0x01000020, 5, cert), Record(32, 5, other)}), S_OK, other},
        // Invalid: no record 32, or two.
        {"ids are read whole", Record(0xFF000020, 5, cert), E_FAIL, {}},
        {"no certificate", Record(3, 20, hash), E_FAIL, {}},
        {"empty blob", {}, E_FAIL, {}},
        {"two records 32", Join({Record(32, 5, cert), Record(32, 5, other)}), E_FAIL, {}},
        // Invalid: the value is not exactly one DER element.
        {"an empty certificate value", Record(32, 0, {}), E_FAIL, {}},
        {"a byte after the certificate", Record(32, 6, Join({cert, {0x00}})), E_FAIL, {}},
        // Invalid: bounds; lengths are read whole.
        {"lengths are read whole", Record(32, 0x01000005, cert), E_FAIL, {}},
        {"a value running past the end", Record(32, 6, cert), E_FAIL, {}},
        {"an earlier value running past the end", Join({Record(3, 200, hash)}), E_FAIL, {}},
        {"a later value running past the end",
         Join({Record(32, 5, cert), Record(3, 200, hash)}),
         E_FAIL,
         {}},
        {"a header cut short", Join({Record(3, 20, hash), Bytes(11, 0)}), E_FAIL, {}},
        {"a header cut short before record 32",
         Join({Record(3, 20, hash), Bytes{0x20, 0, 0, 0}}),
         E_FAIL,
         {}},
    };
    for (const auto& c : cases) {
        std::span<const BYTE> found;
        EXPECT_EQ(FindCertificateProperty(c.blob, &found), c.hr) << c.what;
        if (c.hr == S_OK) {
            EXPECT_EQ(Bytes(found.begin(), found.end()), c.found) << c.what;
        } else {
            EXPECT_TRUE(found.empty()) << c.what;
        }
    }
}

TEST(ChainImportPath, OnlyTheMachineRootStoresKeyIsAcceptedInAnyLetterCase) {
    const struct {
        const char* path;
        bool accepted;
    } cases[] = {
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", true},
        {"software\\microsoft\\systemcertificates\\root\\certificates", true},
        {"Software\\Microsoft\\SystemCertificates\\Root\\Certificates", true},
        // Invalid: other keys below HKEY_LOCAL_MACHINE.
        {"SOFTWARE\\Microsoft\\SystemCertificates\\TrustedPublisher\\Certificates", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\CA\\Certificates", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\Disallowed\\Certificates", false},
        {"SOFTWARE\\Orvane\\Anything\\At\\All", false},
        {"", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\Sub", false},
        // Invalid: the same words spelled otherwise.
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\", false},
        {"\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", false},
        {"SOFTWARE\\\\Microsoft\\SystemCertificates\\ROOT\\Certificates", false},
        {"SOFTWARE/Microsoft/SystemCertificates/ROOT/Certificates", false},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates ", false},
        {"SOFTWARE\\M\xc4\xb1"
         "crosoft\\SystemCertificates\\ROOT\\Certificates",
         false}, // a dotless i
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsRootStoreImportPath(W(c.path).c_str()), c.accepted) << c.path;
    EXPECT_FALSE(IsRootStoreImportPath(nullptr));
}
