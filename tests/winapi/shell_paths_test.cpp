// Conformance of the path, folder and string helpers the path checks and the
// filters use: the same expectations on Windows (under Wine) and the
// stand-in, with the separator and the root of the target. What only POSIX
// has (links, FIFOs): tests/platform/paths_posix_test.cpp.
#include "tests/support/CertificateBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/winapi/WinApiTestHelpers.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

#ifdef _WIN32
constexpr char kRoot[] = "C:";
constexpr char kSep = '\\';
#else
constexpr char kRoot[] = "";
constexpr char kSep = '/';
#endif

// A path written with "/" in the target's form: the root prefixed, "/" as
// the target's separator.
WString P(const std::string& text, bool rooted = true) {
    std::string out = rooted ? std::string(kRoot) + text : text;
    for (char& ch : out)
        if (ch == '/')
            ch = kSep;
    return W(out.c_str());
}

WString CurrentDirectory() {
    WCHAR buffer[MAX_PATH] = {};
    const DWORD cch = GetCurrentDirectoryW(MAX_PATH, buffer);
    EXPECT_GT(cch, 0u);
    EXPECT_LT(cch, DWORD(MAX_PATH));
    return WString(buffer, cch);
}

TEST(FullPath, FoldsDotsAsText) {
    struct Case {
        const char* in;
        const char* out;
        const char* filePart; // null: none
    } const cases[] = {
        {"/a/b/../c", "/a/c", "c"},
        {"/a/./b", "/a/b", "b"},
        {"/a/b/.", "/a/b", "b"},
        {"/a/b/..", "/a", "a"},
        {"/a/b/", "/a/b/", nullptr}, // a trailing separator stays
        {"/a/b/./", "/a/b/", nullptr},
        {"/a/../../../x.txt", "/x.txt", "x.txt"}, // never above the root
        {"/a//b", "/a/b", "b"},                   // repeated separators merge
    };
    for (const Case& c : cases) {
        const WString in = P(c.in), expected = P(c.out);
        WCHAR buffer[MAX_PATH] = {};
        WCHAR* filePart = reinterpret_cast<WCHAR*>(1);
        const DWORD cch = GetFullPathNameW(in.c_str(), MAX_PATH, buffer, &filePart);
        EXPECT_EQ(WString(buffer, cch), expected) << c.in;
        if (c.filePart == nullptr)
            EXPECT_EQ(filePart, nullptr) << c.in;
        else if (filePart != nullptr && filePart != reinterpret_cast<WCHAR*>(1))
            EXPECT_EQ(U8(filePart), c.filePart) << c.in;
        else
            ADD_FAILURE() << "no file part for " << c.in;
    }
}

TEST(FullPath, RelativeToTheCurrentDirectoryAndSizes) {
    const WString cwd = CurrentDirectory();
    const WString sep(1, WCHAR(kSep));
    WCHAR buffer[MAX_PATH] = {};
    DWORD cch = GetFullPathNameW(P("x/y.txt", false).c_str(), MAX_PATH, buffer, nullptr);
    EXPECT_EQ(WString(buffer, cch), cwd + sep + P("x/y.txt", false));
    cch = GetFullPathNameW(P("x/../y.txt", false).c_str(), MAX_PATH, buffer, nullptr);
    EXPECT_EQ(WString(buffer, cch), cwd + sep + W("y.txt"));

    // Too small a buffer: the size needed, terminator included, nothing written.
    const WString path = P("/folder/file.txt");
    WCHAR small[4] = {TEXT('k'), 0, 0, 0};
    EXPECT_EQ(GetFullPathNameW(path.c_str(), 4, small, nullptr), DWORD(path.size() + 1));
    EXPECT_EQ(GetFullPathNameW(path.c_str(), DWORD(path.size()), buffer, nullptr),
              DWORD(path.size() + 1));
    EXPECT_EQ(GetFullPathNameW(path.c_str(), DWORD(path.size() + 1), buffer, nullptr),
              DWORD(path.size()));
    EXPECT_EQ(GetFullPathNameW(TEXT(""), MAX_PATH, buffer, nullptr), 0u);
}

TEST(CurrentDirectory, SetAndGetAgree) {
    WCHAR temp[MAX_PATH + 1] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    const WString saved = CurrentDirectory();
    ASSERT_TRUE(SetCurrentDirectoryW(temp));
    WString now = CurrentDirectory();
    WString wanted = temp;
    if (!wanted.empty() && wanted.back() == WCHAR(kSep))
        wanted.pop_back();
    EXPECT_EQ(lstrcmpiW(now.c_str(), wanted.c_str()), 0) << U8(now) << " " << U8(wanted);
    EXPECT_TRUE(SetCurrentDirectoryW(saved.c_str()));
    SetLastError(0);
    EXPECT_FALSE(SetCurrentDirectoryW(P("/no-such-folder-orvane").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CurrentDirectory(), saved);
}

TEST(Directories, CreateAndRemoveReportWhatTheyMet) {
    WCHAR temp[MAX_PATH + 1] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    const WString dir = WString(temp) + orvane::tests::GuidText();
    const WString file = dir + WCHAR(kSep) + W("f.txt");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryW(dir.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    SetLastError(0);
    EXPECT_FALSE(
        CreateDirectoryW((dir + WCHAR(kSep) + W("a") + WCHAR(kSep) + W("b")).c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_DISK));
    CloseHandle(h);
    SetLastError(0);
    EXPECT_FALSE(RemoveDirectoryW(dir.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
    SetLastError(0);
    EXPECT_FALSE(RemoveDirectoryW(file.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));

    EXPECT_TRUE(PathFileExistsW(file.c_str()));
    EXPECT_TRUE(PathFileExistsW(dir.c_str()));
    EXPECT_TRUE(DeleteFileW(file.c_str()));
    EXPECT_FALSE(PathFileExistsW(file.c_str()));
    EXPECT_TRUE(RemoveDirectoryW(dir.c_str()));
    EXPECT_FALSE(PathFileExistsW(dir.c_str()));
    EXPECT_FALSE(PathFileExistsW(TEXT("")));
    EXPECT_FALSE(PathFileExistsW(nullptr));
}

TEST(FileType, CharacterDevice) {
#ifdef _WIN32
    const WCHAR* device = L"NUL";
#else
    const WCHAR* device = u"/dev/null";
#endif
    HANDLE h = CreateFileW(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_CHAR));
    CloseHandle(h);
    SetLastError(0);
    EXPECT_EQ(GetFileType(INVALID_HANDLE_VALUE), DWORD(FILE_TYPE_UNKNOWN));
}

TEST(RemoveFileSpec, CutsTheLastComponent) {
    struct Case {
        const char* in;
        const char* out;
        BOOL removed;
    } const cases[] = {
        {"/a/b.txt", "/a", TRUE},
        {"/a/b/", "/a/b", TRUE}, // only the trailing separator goes
        {"/a", "/", TRUE},       // the root's separator stays
        {"/", "/", FALSE},       // nothing to remove
    };
    for (const Case& c : cases) {
        std::vector<WCHAR> buffer(MAX_PATH, 0);
        const WString in = P(c.in);
        in.copy(buffer.data(), in.size());
        EXPECT_EQ(PathRemoveFileSpecW(buffer.data()), c.removed) << c.in;
        EXPECT_EQ(WString(buffer.data()), P(c.out)) << c.in;
    }
    WCHAR relative[] = {TEXT('a'), 0};
    EXPECT_TRUE(PathRemoveFileSpecW(relative));
    EXPECT_EQ(relative[0], 0);
    WCHAR empty[] = {0};
    EXPECT_FALSE(PathRemoveFileSpecW(empty));
    EXPECT_FALSE(PathRemoveFileSpecW(nullptr));
}

TEST(FindExtension, TheLastDotOfTheLastComponent) {
    struct Case {
        const char* in;
        const char* extension;
    } const cases[] = {
        {"/d/report.exe", ".exe"},   {"/d/report.exe.txt", ".txt"},
        {"/d.x/report", ""},                             // a dot in a folder is no extension
        {"/d/report.", "."},                             //
        {"/d/.profile", ".profile"}, {"/d/a.exe b", ""}, // a space ends an extension
        {"/d/a b.txt", ".txt"},
    };
    for (const Case& c : cases) {
        const WString in = P(c.in);
        const WCHAR* ext = PathFindExtensionW(in.c_str());
        ASSERT_NE(ext, nullptr) << c.in;
        EXPECT_EQ(U8(WString(ext)), c.extension) << c.in;
        EXPECT_EQ(ext + std::char_traits<WCHAR>::length(ext), in.c_str() + in.size()) << c.in;
    }
    EXPECT_EQ(PathFindExtensionW(nullptr), nullptr);
}

TEST(CaseInsensitiveSearch, FindsIgnoringLetterCase) {
    struct Case {
        const char* text;
        const char* search;
        int at; // -1: not found
    } const cases[] = {
        {"CN=Alice, O=Example", "o=EXAMPLE", 10},
        {"aab", "ab", 1},
        {"abc", "abcd", -1},
        {"abc", "", -1}, // an empty search finds nothing
        {"", "a", -1},
        {"MÜLLER Straße", "müller", 0},   // Latin-1
        {"ИВАН Петров", "иван", 0},       // Cyrillic
        {"ΑΘΗΝΑ", "αθηνα", 0},            // Greek
        {"ＡＢＣ", "ａｂｃ", 0},          // full-width Latin
        {"张三 CN=Zhang", "cn=zhang", 3}, // CJK has no case; the rest does
        {"ÀB", "àb", 0},
    };
    for (const Case& c : cases) {
        const WString text = W(c.text), search = W(c.search);
        const WCHAR* found = StrStrIW(text.c_str(), search.c_str());
        if (c.at < 0)
            EXPECT_EQ(found, nullptr) << c.text << " / " << c.search;
        else
            EXPECT_EQ(found, text.c_str() + c.at) << c.text << " / " << c.search;
    }
    EXPECT_EQ(StrStrIW(nullptr, TEXT("a")), nullptr);
    EXPECT_EQ(StrStrIW(TEXT("a"), nullptr), nullptr);
}

TEST(SpecialFolders, TheFiveTheChecksUse) {
    WString windows;
    for (int csidl :
         {CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_WINDOWS, CSIDL_STARTUP, CSIDL_COMMON_STARTUP}) {
        WCHAR path[MAX_PATH] = {};
        ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE)) << csidl;
        const WString folder = path;
        ASSERT_FALSE(folder.empty()) << csidl;
        EXPECT_NE(folder.back(), WCHAR(kSep)) << U8(folder); // no trailing separator
        if (csidl == CSIDL_WINDOWS)
            windows = folder;
    }
#ifdef _WIN32
    // Windows: the system folder lies in the Windows folder.
    WCHAR system[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, system, CSIDL_SYSTEM, FALSE));
    EXPECT_EQ(StrStrIW(system, windows.c_str()), system);
#else
    EXPECT_EQ(U8(windows), "/etc");
#endif
    WCHAR path[MAX_PATH] = {};
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, 0xFE, FALSE)); // no such folder
}

// A certificate with no key link of its own reaches the key of a personal
// certificate of the same public key, unless healing is declined.
TEST(CertificateKeyLink, HealsFromThePersonalStore) {
    WString container = orvane::tests::GuidText();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
    DWORD size = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
    std::vector<BYTE> block(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, info, &size));
    CryptReleaseContext(prov, 0);
    orvane::test::CertificateFields fields;
    fields.subject = {{"2.5.4.3", "Key link " + U8(container)}};
    fields.publicKeyInfo = orvane::test::EncodePublicKeyInfo(*info);
    const orvane::test::Bytes der = orvane::test::BuildCertificate(fields);

    HCERTSTORE my =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    ASSERT_NE(my, nullptr);
    PCCERT_CONTEXT stored = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, der.data(),
                                                 DWORD(der.size()), CERT_STORE_ADD_NEW, &stored));
    WString provider = MS_ENHANCED_PROV_W;
    CRYPT_KEY_PROV_INFO link{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, &link));
    CertControlStore(my, 0, CERT_STORE_CTRL_COMMIT, nullptr);

    PCCERT_CONTEXT fresh =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    ASSERT_NE(fresh, nullptr);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE acquired = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(fresh, CRYPT_ACQUIRE_NO_HEALING, nullptr,
                                                   &acquired, &keySpec, &callerFree));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NO_KEY_PROPERTY));
    const BOOL healed =
        CryptAcquireCertificatePrivateKey(fresh, 0, nullptr, &acquired, &keySpec, &callerFree);
    const DWORD error = GetLastError();
    if (RunningUnderWine()) {
        // A Wine difference: its crypt32 keeps no key identifiers, so it
        // cannot heal a link (Windows can, unless told not to).
        EXPECT_FALSE(healed);
        EXPECT_EQ(error, DWORD(CRYPT_E_NO_KEY_PROPERTY));
    } else {
        EXPECT_TRUE(healed) << std::hex << error;
        EXPECT_EQ(keySpec, DWORD(AT_SIGNATURE));
    }
    if (healed && callerFree)
        CryptReleaseContext(acquired, 0);
    CertFreeCertificateContext(fresh);

    CertDeleteCertificateFromStore(stored);
    CertControlStore(my, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(my, 0);
    CryptAcquireContextW(&prov, container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                         CRYPT_DELETEKEYSET);
}

} // namespace
