// The path checks on both targets: under Wine with Wine's shell folders
// (C:\windows, its system folders, the profile's start-up folders), on POSIX
// with the stand-in's mapping (/usr/bin, /usr/lib, /etc, the autostart
// folders). Links, FIFOs and devices of POSIX: path_posix_test.cpp.
#include "signing/FilePathCheck.h"

#include "tests/signing/SigningTestSupport.h"
#include "tests/support/TestSupport.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const HRESULT kExists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
const HRESULT kTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
const HRESULT kMissing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

WString SpecialFolder(int csidl) {
    WCHAR path[MAX_PATH] = {};
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE)) << csidl;
    return path;
}

class PathCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(m_dir.WriteFile(m_dir.Child(W("report.txt")), 10));
        ASSERT_NO_FATAL_FAILURE(m_dir.WriteFile(m_dir.Child(W("report.EXE")), 10));
        ASSERT_NO_FATAL_FAILURE(m_dir.WriteFile(m_dir.Child(W("report.exe.txt")), 10));
        ASSERT_NO_FATAL_FAILURE(m_dir.WriteFile(m_dir.Child(W("notes")), 1));
        ASSERT_NO_FATAL_FAILURE(m_dir.WriteFile(m_dir.Child(W("empty")), 0));
        ASSERT_NO_FATAL_FAILURE(m_dir.AddFolder(m_dir.Child(W("sub.d"))));
    }
    ScratchFolder m_dir;
};

TEST_F(PathCheck, SourcesAndDestinationsInAnOrdinaryFolder) {
    struct Case {
        const char* name;
        DWORD kind;
        HRESULT result;
    } const cases[] = {
        {"report.txt", FILE_PATH_SOURCE, VURO_OK},
        {"report.EXE", FILE_PATH_SOURCE, VURO_E_MALICIOUS_PATH}, // any letter case
        {"report.exe.txt", FILE_PATH_SOURCE, VURO_OK},           // only the last extension counts
        {"notes", FILE_PATH_SOURCE, VURO_OK},                    // no extension
        {"empty", FILE_PATH_SOURCE, VURO_E_EMPTY_FILE},
        {"missing.txt", FILE_PATH_SOURCE, kMissing},
        {"sub.d", FILE_PATH_SOURCE, VURO_E_MALICIOUS_PATH},       // a folder is no file to sign
        {"missing.Cmd", FILE_PATH_SOURCE, VURO_E_MALICIOUS_PATH}, // refused before it is looked for
        {"out.p7s", FILE_PATH_DESTINATION, VURO_OK},
        {"report.txt", FILE_PATH_DESTINATION, kExists},
        {"empty", FILE_PATH_DESTINATION, kExists},
        {"sub.d", FILE_PATH_DESTINATION, kExists},
        {"out.dll", FILE_PATH_DESTINATION, VURO_E_MALICIOUS_PATH},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsMaliciousFilePathName(m_dir.Child(W(c.name)).c_str(), c.kind), c.result)
            << c.name << (c.kind == FILE_PATH_SOURCE ? " as source" : " as destination");
    // An accepted destination is only judged, never made.
    EXPECT_FALSE(PathFileExistsW(m_dir.Child(W("out.p7s")).c_str()));

    EXPECT_EQ(IsMaliciousFilePathName(nullptr, FILE_PATH_SOURCE), E_INVALIDARG);
    EXPECT_EQ(IsMaliciousFilePathName(TEXT(""), FILE_PATH_DESTINATION), E_INVALIDARG);
    EXPECT_EQ(IsMaliciousFilePathName(m_dir.Child(W("report.txt")).c_str(), 2), E_INVALIDARG);
}

TEST_F(PathCheck, ProtectedFoldersAreRefusedWhateverTheFile) {
    const WString sep(1, PathSeparator());
    for (int csidl :
         {CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_WINDOWS, CSIDL_STARTUP, CSIDL_COMMON_STARTUP}) {
        const WString folder = SpecialFolder(csidl);
        ASSERT_FALSE(folder.empty()) << csidl;
        EXPECT_EQ(IsMaliciousFileFolder(folder.c_str()), VURO_E_MALICIOUS_PATH) << U8(folder);
        // Below it, in any letter case, as source (even a missing one: the
        // folder is judged first) or destination.
        for (const WString& path :
             {folder + sep + W("Temp") + sep + W("report.txt"), folder + sep + W("new.p7s")}) {
            WString upper = path;
            for (WCHAR& ch : upper)
                if (ch >= TEXT('a') && ch <= TEXT('z'))
                    ch = WCHAR(ch - 32);
            EXPECT_EQ(IsMaliciousFilePathName(path.c_str(), FILE_PATH_SOURCE),
                      VURO_E_MALICIOUS_PATH)
                << U8(path);
            EXPECT_EQ(IsMaliciousFilePathName(upper.c_str(), FILE_PATH_DESTINATION),
                      VURO_E_MALICIOUS_PATH)
                << U8(upper);
        }
    }
    EXPECT_EQ(IsMaliciousFileFolder(m_dir.Path().c_str()), VURO_OK);
    EXPECT_EQ(IsMaliciousFileFolder(nullptr), E_INVALIDARG);
}

TEST_F(PathCheck, RefusedExtensions) {
    for (const char* ext : {".com", ".exe", ".bat", ".cmd", ".vbs", ".vbe", ".js", ".jse", ".wsf",
                            ".wsh", ".msc", ".dll", ".EXE", ".Dll", ".jS"})
        EXPECT_EQ(IsMaliciousFileExtention(W(ext).c_str()), VURO_E_MALICIOUS_PATH) << ext;
    for (const char* ext : {"", ".txt", ".ex", ".exe2", ".p7s", "exe", ".json"})
        EXPECT_EQ(IsMaliciousFileExtention(W(ext).c_str()), VURO_OK) << ext;
    EXPECT_EQ(IsMaliciousFileExtention(nullptr), E_INVALIDARG);
}

TEST_F(PathCheck, RelativePathsAreJudgedFromTheCurrentDirectory) {
    WCHAR saved[MAX_PATH] = {};
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(m_dir.Path().c_str()));
    const WString sep(1, PathSeparator());
    const WString folderName = m_dir.Path().substr(m_dir.Path().rfind(PathSeparator()) + 1);
    const HRESULT plain = IsMaliciousFilePathName(TEXT("report.txt"), FILE_PATH_SOURCE);
    const HRESULT upAndBack = IsMaliciousFilePathName(
        (W("..") + sep + folderName + sep + W("empty")).c_str(), FILE_PATH_SOURCE);
    const HRESULT dotted =
        IsMaliciousFilePathName((W(".") + sep + W("report.txt")).c_str(), FILE_PATH_DESTINATION);
    const HRESULT fresh = IsMaliciousFilePathName(TEXT("fresh.p7s"), FILE_PATH_DESTINATION);
    ASSERT_TRUE(SetCurrentDirectoryW(saved));
    EXPECT_EQ(plain, VURO_OK);
    EXPECT_EQ(upAndBack, VURO_E_EMPTY_FILE);
    EXPECT_EQ(dotted, kExists);
    EXPECT_EQ(fresh, VURO_OK);
}

TEST_F(PathCheck, FullPathsOf259CharactersFitAnd260DoNot) {
    // A folder long enough that the file name stays below the 255-character
    // limit of a name on either target.
    const WString folder = m_dir.Child(WString(60, TEXT('d')));
    ASSERT_NO_FATAL_FAILURE(m_dir.AddFolder(folder));
    const size_t prefix = folder.size() + 1;
    ASSERT_LT(prefix, 259u - 5);
    const auto pathOf = [&](size_t total) {
        return folder + PathSeparator() + WString(total - prefix - 4, TEXT('f')) + W(".txt");
    };
    const WString fits = pathOf(259), over = pathOf(260);
    ASSERT_EQ(fits.size(), 259u);
    EXPECT_EQ(IsMaliciousFilePathName(fits.c_str(), FILE_PATH_DESTINATION), VURO_OK);
    EXPECT_EQ(IsMaliciousFilePathName(over.c_str(), FILE_PATH_DESTINATION), kTooLong);
    ASSERT_NO_FATAL_FAILURE(m_dir.WriteFile(fits, 3));
    EXPECT_EQ(IsMaliciousFilePathName(fits.c_str(), FILE_PATH_SOURCE), VURO_OK);
    EXPECT_EQ(IsMaliciousFilePathName(over.c_str(), FILE_PATH_SOURCE), kTooLong);
}

TEST_F(PathCheck, AvailabilityOfSources) {
    struct Case {
        WString path;
        HRESULT result;
    } const cases[] = {
        {m_dir.Child(W("notes")), VURO_OK},
        {m_dir.Child(W("empty")), VURO_E_EMPTY_FILE},
        {m_dir.Child(W("sub.d")), VURO_E_MALICIOUS_PATH},
        {m_dir.Child(W("missing")), kMissing},
#ifdef _WIN32
        {W("NUL"), VURO_E_MALICIOUS_PATH}, // a character device
#else
        {W("/dev/null"), VURO_E_MALICIOUS_PATH},
#endif
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckFileAvailability(c.path.c_str()), c.result) << U8(c.path);
}

} // namespace
