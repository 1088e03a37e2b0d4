// The chain import against the machine's registry and "CA" store (a scratch
// hive on POSIX, Wine's registry and crypt32 on Windows), with the demo
// authority's documents and variants of them made by editing their text.
#include "chain/CertificateChainOperate.h"
#include "tests/chain/ChainTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <winreg.h>

#include <cctype>
#include <map>

namespace {

// Replace: strText with its first occurrence of strFrom (after nFrom) replaced.
std::string Replace(std::string strText, const std::string& strFrom, const std::string& strTo,
                    size_t nFrom = 0) {
    const size_t at = strText.find(strFrom, nFrom);
    EXPECT_NE(at, std::string::npos) << strFrom;
    if (at != std::string::npos)
        strText.replace(at, strFrom.size(), strTo);
    return strText;
}

std::string ReplaceAll(std::string strText, const std::string& strFrom, const std::string& strTo) {
    for (size_t at = strText.find(strFrom); at != std::string::npos;
         at = strText.find(strFrom, at + strTo.size()))
        strText.replace(at, strFrom.size(), strTo);
    return strText;
}

// Between: the text between the first strOpen after nFrom and the next strClose.
std::string Between(const std::string& strText, const std::string& strOpen,
                    const std::string& strClose, size_t nFrom = 0) {
    const size_t start = strText.find(strOpen, nFrom) + strOpen.size();
    return strText.substr(start, strText.find(strClose, start) - start);
}

HRESULT Import(const std::string& strDocument) {
    return ImportCertificateChainfromBlobData(reinterpret_cast<const BYTE*>(strDocument.data()),
                                              DWORD(strDocument.size()));
}

std::string Thumb(const char* pszFile) {
    return ThumbprintOf(DemoCertificate(pszFile));
}

std::multiset<std::string> Subjects(std::initializer_list<const char*> files) {
    std::multiset<std::string> subjects;
    for (const char* file : files)
        subjects.insert(SubjectOf(DemoCertificate(file)));
    return subjects;
}

// DecodedContents: the decoded <Content> of every root entry, by entry point.
std::map<std::string, Bytes> DecodedContents(const std::string& strDocument) {
    XML_NODE doc;
    const XML_NODE* pRoot = nullptr;
    const XML_NODE* pRoots = nullptr;
    std::map<std::string, Bytes> contents;
    if (LoadXMLDom(reinterpret_cast<const BYTE*>(strDocument.data()), DWORD(strDocument.size()),
                   &doc) != S_OK ||
        GetXMLRootNode(&doc, &pRoot) != S_OK ||
        FindChildNode(&pRoots, pRoot, TEXT("RootCACertificate")) != S_OK)
        return contents;
    for (const XML_NODE& entry : pRoots->children) {
        REGISTERED_CERT_INFO info;
        Bytes blob;
        if (GetRegisteredCertificateInfoNode(&entry, &info) == S_OK &&
            DecodeBase64Text(info.strContent.c_str(), blob) == S_OK)
            contents[U8(info.strEntryPoint)] = blob;
    }
    return contents;
}

class ChainImport : public ::testing::Test {
protected:
    void SetUp() override { ResetMachine(); }
    void TearDown() override { ResetMachine(); }
};

} // namespace

TEST_F(ChainImport, ValidRootsAreWrittenAsTheirBlobsAndIntermediatesAddedToCA) {
    const std::string production = DemoDocumentText("PRODUCTION");
    ASSERT_EQ(Import(production), S_OK);
    const std::map<std::string, Bytes> contents = DecodedContents(production);
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_EQ(
        RootEntryThumbprints(),
        (std::set<std::string>{Thumb("rsa-root-g1"), Thumb("rsa-root-g2"), Thumb("sm2-root")}));
    for (const auto& [thumbprint, content] : contents) {
        Bytes blob;
        ASSERT_TRUE(RootEntry(thumbprint, &blob)) << thumbprint;
        EXPECT_EQ(blob, content) << thumbprint; // byte for byte the decoded Content
    }
    // The eight intermediates; the roots of the PKCS #7 are self-signed and stay out.
    EXPECT_EQ(CaSubjects(CERT_SYSTEM_STORE_LOCAL_MACHINE),
              Subjects({"rsa-ca-1", "rsa-ca-2", "rsa-ca-3", "rsa-g2-ca-1", "rsa-g2-ca-2",
                        "sm2-ca-1", "sm2-ca-2", "sm2-ca-3"}));
    EXPECT_TRUE(CaSubjects(CERT_SYSTEM_STORE_CURRENT_USER).empty());
}

TEST_F(ChainImport, ExpiredCertificatesAreSkippedAndASecondRunChangesNothing) {
    const std::string test = DemoDocumentText("TEST");
    ASSERT_EQ(Import(test), S_OK);
    const std::set<std::string> roots = RootEntryThumbprints();
    EXPECT_EQ(roots, (std::set<std::string>{Thumb("test-rsa-root"), Thumb("test-sm2-root")}));
    const std::multiset<std::string> ca = CaSubjects(CERT_SYSTEM_STORE_LOCAL_MACHINE);
    EXPECT_EQ(ca, Subjects({"test-rsa-ca-1", "test-rsa-ca-2", "test-rsa-ca-3", "test-sm2-ca-1",
                            "test-sm2-ca-2", "test-sm2-ca-3"}));
    std::map<std::string, Bytes> blobs;
    for (const std::string& thumbprint : roots)
        RootEntry(thumbprint, &blobs[thumbprint]);

    ASSERT_EQ(Import(test), S_OK);
    EXPECT_EQ(RootEntryThumbprints(), roots);
    for (const auto& [thumbprint, blob] : blobs) {
        Bytes again;
        EXPECT_TRUE(RootEntry(thumbprint, &again));
        EXPECT_EQ(again, blob);
    }
    EXPECT_EQ(CaSubjects(CERT_SYSTEM_STORE_LOCAL_MACHINE), ca);
}

TEST_F(ChainImport, DocumentVariantsFollowTheNameAndPositionRules) {
    const std::string production = DemoDocumentText("PRODUCTION");
    const std::string g1 = Thumb("rsa-root-g1"), g2 = Thumb("rsa-root-g2"), sm2 = Thumb("sm2-root");
    const std::string firstContent = Between(production, "<Content>", "</Content>");
    const std::set<std::string> all = {g1, g2, sm2}, allButG1 = {g2, sm2}, none;
    // Each variant: the import's result, the roots written, the intermediates added.
    auto check = [](const char* what, const std::string& document, HRESULT hr,
                    const std::set<std::string>& roots, size_t intermediates) {
        ResetMachine();
        EXPECT_EQ(Import(document), hr) << what;
        EXPECT_EQ(RootEntryThumbprints(), roots) << what;
        EXPECT_EQ(CaSubjects(CERT_SYSTEM_STORE_LOCAL_MACHINE).size(), intermediates) << what;
    };
    check("P7bContentV2 is taken for P7bContent",
          ReplaceAll(production, "P7bContent>", "P7bContentV2>"), S_OK, all, 8);
    std::string renamed = ReplaceAll(production, "ImportPath>", "A>");
    renamed = ReplaceAll(ReplaceAll(renamed, "EntryPoint>", "B>"), "<Content>", "<C>");
    check("entry children count by position, not name", ReplaceAll(renamed, "</Content>", "</C>"),
          S_OK, all, 8);
    check("an entry with two children fails alone",
          Replace(production, "<Content>" + firstContent + "</Content>", ""), S_OK, allButG1, 8);
    check("a malformed blob fails its entry alone",
          Replace(production, firstContent, "\nAwAAAAEAAAAU\n"), S_OK, allButG1, 8);
    check("an entry point naming another certificate is refused",
          Replace(production, "<EntryPoint>" + g1, "<EntryPoint>" + Thumb("test-rsa-root")), S_OK,
          allButG1, 8);
    std::string lower = g1;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    check("an entry point in lower case is refused", Replace(production, g1, lower), S_OK, allButG1,
          8);
    // Invalid: a comment after </root> is the last node, so nothing is found.
    check("a trailing comment", production + "<!-- signed off -->\n", E_INVALIDARG, none, 0);
    check("no RootCACertificate: the PKCS #7 is not read either",
          ReplaceAll(production, "RootCACertificate>", "Roots>"), E_INVALIDARG, none, 0);
    check("no P7bContent, after the roots", ReplaceAll(production, "P7bContent>", "Pkcs7>"),
          E_INVALIDARG, all, 0);
    check("not XML", "<root>", HRESULT_FROM_WIN32(ERROR_INVALID_DATA), none, 0);
}

TEST_F(ChainImport, AFailingEntryTellsWhy) {
    const std::string production = DemoDocumentText("PRODUCTION");
    const std::string g1 = Thumb("rsa-root-g1");
    const std::string firstContent = Between(production, "<Content>", "</Content>");
    FILETIME ftNow{};
    ASSERT_EQ(GetMachineTime(&ftNow), S_OK);
    const struct {
        const char* what;
        std::string document;
        HRESULT hr;
    } cases[] = {
        {"as shipped", production, S_OK},
        // Invalid: two children, a blob without record 32, another entry point.
        {"two children", Replace(production, "<Content>" + firstContent + "</Content>", ""),
         VURO_E_CHAIN_ENTRY_INCOMPLETE},
        {"malformed blob", Replace(production, firstContent, "AwAAAAEAAAAUAAAA"), E_FAIL},
        {"wrong entry point", Replace(production, g1, Thumb("sm2-root")), E_FAIL},
    };
    for (const auto& c : cases) {
        ResetMachine();
        XML_NODE doc;
        const XML_NODE *pRoot = nullptr, *pRoots = nullptr;
        ASSERT_EQ(LoadXMLDom(reinterpret_cast<const BYTE*>(c.document.data()),
                             DWORD(c.document.size()), &doc),
                  S_OK)
            << c.what;
        ASSERT_EQ(GetXMLRootNode(&doc, &pRoot), S_OK);
        ASSERT_EQ(FindChildNode(&pRoots, pRoot, TEXT("RootCACertificate")), S_OK);
        EXPECT_EQ(ParseCertificateNode(&ftNow, &pRoots->children[0]), c.hr) << c.what;
        EXPECT_EQ(RootEntry(g1), c.hr == S_OK) << c.what;
    }
}

TEST_F(ChainImport, AMissingImportPathIsCreated) {
    const std::string production = DemoDocumentText("PRODUCTION");
    ASSERT_EQ(
        Import(Replace(production, "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates",
                       "SOFTWARE\\OrvaneChainTest\\Roots")),
        S_OK);
    HKEY hKey = nullptr;
    const WString key =
        TEXT("SOFTWARE\\OrvaneChainTest\\Roots\\") + W(Thumb("rsa-root-g1").c_str());
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey), ERROR_SUCCESS);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(hKey, TEXT("Blob"), nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, DecodedContents(production)[Thumb("rsa-root-g1")].size());
    RegCloseKey(hKey);
}

TEST_F(ChainImport, ResourcesOfThisModuleAreTheDocuments) {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(LoadModuleResource(GetModuleHandleW(nullptr), IDR_CERTIFICATE_CHAIN, &pb, &cb), S_OK);
    const Bytes production(pb, pb + cb);
    delete[] pb;
#ifdef ORVANE_CHAIN_IS_DEMO
    EXPECT_EQ(production, DemoDocument("PRODUCTION"));
    ASSERT_EQ(ImportCertificateChainfromResoure(IDR_CERTIFICATE_CHAIN_TEST), S_OK);
    EXPECT_EQ(RootEntryThumbprints(),
              (std::set<std::string>{Thumb("test-rsa-root"), Thumb("test-sm2-root")}));
#endif
    // Invalid: an id the module does not have.
    pb = nullptr;
    EXPECT_EQ(LoadModuleResource(GetModuleHandleW(nullptr), 106, &pb, &cb),
              HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(pb, nullptr);
    // Invalid: no node, no store.
    EXPECT_EQ(ParseRootCACertificateNode(nullptr), E_INVALIDARG);
    EXPECT_EQ(ParseP7bContentNode(nullptr), E_INVALIDARG);
    EXPECT_EQ(AddCACertficatetoStore(nullptr), E_INVALIDARG);
}
