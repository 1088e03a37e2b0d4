// The chain import against the machine's registry and "CA" store (a scratch
// hive on POSIX, Wine's registry and crypt32 on Windows), with the demo
// authority's documents and variants of them made by editing their text.
#include "chain/CertificateChainOperate.h"
#include "tests/chain/ChainTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/chaindoc/ChainDocument.h"

#include <gtest/gtest.h>

#include <winreg.h>

#include <cctype>
#include <map>

#ifdef ORVANE_CHAINDOC_PATH
#include "tests/support/PosixTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#endif

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

// CheckErrors: the errors chaindoc check reports for a document, now.
std::vector<std::string> CheckErrors(const std::string& strDocument) {
    FILETIME ftNow{};
    GetSystemTimeAsFileTime(&ftNow);
    return chaindoc::CheckDocument(Bytes(strDocument.begin(), strDocument.end()), ftNow).errors;
}

// ChaindocExit: the exit status of the chaindoc program checking the
// document (POSIX, where the program is built); -1 when there is none.
int ChaindocExit(const std::string& strDocument) {
#ifdef ORVANE_CHAINDOC_PATH
    TempDir dir("orvane-chaindoc");
    const std::string file = dir / "document.xml";
    std::ofstream(file, std::ios::binary) << strDocument;
    const int status =
        std::system(("'" ORVANE_CHAINDOC_PATH "' check '" + file + "' >/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
#else
    (void)strDocument;
    return -1;
#endif
}

// RootEntryKey: the key an entry with that import path and entry point
// would be written to, below HKEY_LOCAL_MACHINE.
WString RootEntryKey(const std::string& strImportPath, const std::string& strEntryPoint) {
    return W(
        (strImportPath.empty() ? strEntryPoint : strImportPath + "\\" + strEntryPoint).c_str());
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
        // Invalid: two children, a blob without record 32, another entry point, a
        // masked property id, another key than the root store's.
        {"two children", Replace(production, "<Content>" + firstContent + "</Content>", ""),
         VURO_E_CHAIN_ENTRY_INCOMPLETE},
        {"malformed blob", Replace(production, firstContent, "AwAAAAEAAAAUAAAA"), E_FAIL},
        {"wrong entry point", Replace(production, g1, Thumb("sm2-root")), E_FAIL},
        {"masked property id",
         Replace(production, firstContent,
                 chaindoc::Base64Lines(
                     Join({Record(0x01000020, DWORD(DemoCertificate("rsa-root-g1").size()),
                                  DemoCertificate("rsa-root-g1")),
                           Record(32, DWORD(DemoCertificate("sm2-root").size()),
                                  DemoCertificate("sm2-root"))}))),
         E_FAIL},
        {"import path elsewhere",
         Replace(production, "SystemCertificates\\ROOT", "SystemCertificates\\TrustedPublisher"),
         E_ACCESSDENIED},
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

// The masked-id pair [id 0x01000020, A][id 32, B] with A's thumbprint as
// the entry point: a reader that counts three bytes of an id takes A and
// passes the entry, while the stores read all 32 bits and find B, which would
// then sit in the root store under A's thumbprint, where no withdrawn-table
// row naming B can reach it. The import must refuse it (and its kin) without
// writing anything, and chaindoc check must fail on it.
TEST_F(ChainImport, AMaskedPropertyIdOrAnyBlobNotHoldingExactlyOneCertificateIsRefused) {
    const std::string production = DemoDocumentText("PRODUCTION");
    const std::string firstContent = Between(production, "<Content>", "</Content>");
    const Bytes a = DemoCertificate("rsa-root-g1"), b = DemoCertificate("w-rsa-root-1");
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    const std::string thumbA = ThumbprintOf(a), thumbB = ThumbprintOf(b);
    const std::string g2 = Thumb("rsa-root-g2"), sm2 = Thumb("sm2-root");
    const DWORD cbA = DWORD(a.size()), cbB = DWORD(b.size());
    const struct {
        const char* what;
        Bytes blob;
        bool accepted;
    } cases[] = {
        // The same construction with one plain record goes in (the control).
        {"one certificate record", Record(32, cbA, a), true},
        // Invalid: the masked-id pair, and the other blobs whose certificate
        // a three-byte reader and the stores would not agree on.
        {"a top byte on the first id", Join({Record(0x01000020, cbA, a), Record(32, cbB, b)}),
         false},
        {"a top byte on the only id", Record(0xFF000020, cbA, a), false},
        {"a top byte on the length", Join({Record(32, 0x01000000 | cbA, a), Record(3, 0, {})}),
         false},
        {"two certificate records", Join({Record(32, cbA, a), Record(32, cbB, b)}), false},
        {"a byte after the certificate", Record(32, cbA + 1, Join({a, {0x00}})), false},
        {"two certificates in one record", Record(32, cbA + cbB, Join({a, b})), false},
    };
    for (const auto& c : cases) {
        ResetMachine();
        const std::string document =
            Replace(production, firstContent, "\n" + chaindoc::Base64Lines(c.blob));
        // The other entries go in either way.
        EXPECT_EQ(Import(document), S_OK) << c.what;
        const WString keyA = RootEntryKey(U8(kRootStoreKey), thumbA);
        EXPECT_EQ(MachineKeyExists(keyA), c.accepted) << c.what;
        EXPECT_FALSE(MachineKeyExists(RootEntryKey(U8(kRootStoreKey), thumbB))) << c.what;
        const std::vector<std::string> errors = CheckErrors(document);
        const int exitStatus = ChaindocExit(document);
        if (c.accepted) {
            Bytes blob;
            EXPECT_TRUE(RootEntry(thumbA, &blob)) << c.what;
            EXPECT_EQ(blob, c.blob) << c.what;
            EXPECT_TRUE(errors.empty()) << c.what;
            EXPECT_TRUE(exitStatus == 0 || exitStatus == -1) << c.what << ": " << exitStatus;
        } else {
            EXPECT_EQ(RootEntryThumbprints(), (std::set<std::string>{g2, sm2})) << c.what;
            EXPECT_EQ(errors.size(), 1u) << c.what;
            EXPECT_TRUE(exitStatus == 1 || exitStatus == -1) << c.what << ": " << exitStatus;
        }
        DeleteKeyTree(HKEY_LOCAL_MACHINE, keyA);
    }
}

// ImportPath may name only the machine root store's key; any other key below
// HKEY_LOCAL_MACHINE (or HKEY_LOCAL_MACHINE itself) is refused before
// anything is written, and chaindoc check fails on it.
TEST_F(ChainImport, ImportPathsOtherThanTheRootStoresKeyAreRefusedBeforeAnythingIsWritten) {
    const std::string production = DemoDocumentText("PRODUCTION");
    const std::string root = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";
    const std::string g1 = Thumb("rsa-root-g1"), g2 = Thumb("rsa-root-g2"), sm2 = Thumb("sm2-root");
    const Bytes content = DecodedContents(production)[g1];
    const struct {
        const char* path; // the text of the first entry's <ImportPath>
        bool accepted;
    } cases[] = {
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", true},
        {"software\\microsoft\\systemcertificates\\root\\certificates", true},
        {"Software\\Microsoft\\SystemCertificates\\Root\\Certificates", true},
        {"\n   SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\n  ", true}, // trimmed
        // Invalid: any other key below HKEY_LOCAL_MACHINE, or none.
        {"SOFTWARE\\Microsoft\\SystemCertificates\\TrustedPublisher\\Certificates", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\CA\\Certificates", false},
        {"SOFTWARE\\Orvane\\Anything\\At\\All", false},
        {"SOFTWARE\\OrvaneChainTest\\Roots", false},
        {"", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\Sub", false},
        {"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\", false},
    };
    for (const auto& c : cases) {
        ResetMachine();
        const std::string document =
            Replace(production, "<ImportPath>" + root + "</ImportPath>",
                    "<ImportPath>" + std::string(c.path) + "</ImportPath>");
        EXPECT_EQ(Import(document), S_OK) << c.path; // the other entries go in either way
        const std::vector<std::string> errors = CheckErrors(document);
        const int exitStatus = ChaindocExit(document);
        if (c.accepted) {
            Bytes blob;
            EXPECT_TRUE(RootEntry(g1, &blob)) << c.path;
            EXPECT_EQ(blob, content) << c.path;
            EXPECT_TRUE(errors.empty()) << c.path;
            EXPECT_TRUE(exitStatus == 0 || exitStatus == -1) << c.path << ": " << exitStatus;
            continue;
        }
        EXPECT_EQ(RootEntryThumbprints(), (std::set<std::string>{g2, sm2})) << c.path;
        const WString key = RootEntryKey(c.path, g1);
        EXPECT_FALSE(MachineKeyExists(key)) << c.path;
        ASSERT_EQ(errors.size(), 1u) << c.path;
        EXPECT_NE(errors[0].find("<ImportPath>"), std::string::npos) << errors[0];
        EXPECT_TRUE(exitStatus == 1 || exitStatus == -1) << c.path << ": " << exitStatus;
        DeleteKeyTree(HKEY_LOCAL_MACHINE, key);
    }
    // Invalid: the writer itself refuses other paths, before opening anything.
    const BYTE data[] = {1};
    EXPECT_EQ(RegWriteBinaryValue(TEXT("SOFTWARE\\OrvaneChainTest\\Roots"), TEXT("AB"), data, 1),
              E_ACCESSDENIED);
    EXPECT_FALSE(MachineKeyExists(TEXT("SOFTWARE\\OrvaneChainTest\\Roots")));
    EXPECT_EQ(RegWriteBinaryValue(TEXT(""), TEXT("AB"), data, 1), E_ACCESSDENIED);
    EXPECT_FALSE(MachineKeyExists(TEXT("AB")));
}

TEST_F(ChainImport, ResourcesOfThisModuleAreTheDocuments) {
    std::vector<BYTE> production;
    ASSERT_EQ(LoadModuleResource(GetModuleHandleW(nullptr), IDR_CERTIFICATE_CHAIN, &production),
              S_OK);
#ifdef ORVANE_CHAIN_IS_DEMO
    EXPECT_EQ(production, DemoDocument("PRODUCTION"));
    ASSERT_EQ(ImportCertificateChainfromResoure(IDR_CERTIFICATE_CHAIN_TEST), S_OK);
    EXPECT_EQ(RootEntryThumbprints(),
              (std::set<std::string>{Thumb("test-rsa-root"), Thumb("test-sm2-root")}));
#endif
    // Invalid: an id the module does not have.
    std::vector<BYTE> untouched = {1};
    EXPECT_EQ(LoadModuleResource(GetModuleHandleW(nullptr), 106, &untouched),
              HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(untouched, std::vector<BYTE>({1}));
    EXPECT_EQ(LoadModuleResource(GetModuleHandleW(nullptr), IDR_CERTIFICATE_CHAIN, nullptr),
              E_POINTER);
    // Invalid: no node, no store.
    EXPECT_EQ(ParseRootCACertificateNode(nullptr), E_INVALIDARG);
    EXPECT_EQ(ParseP7bContentNode(nullptr), E_INVALIDARG);
    EXPECT_EQ(AddCACertficatetoStore(nullptr), E_INVALIDARG);
}
