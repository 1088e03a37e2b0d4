// The version resources generated from the deliverables' CMake declarations,
// read back the way Windows browsers find a plug-in (Windows only): the
// numbers and texts agree with the version the code tells pages, and a
// plug-in names its MIME type.
#include "tests/support/TestSupport.h"
#include "version/Sarvik.h"
#include "version/Tandry.h"
#include "version/npPellin.h"
#include "version/npSarvik.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class VersionInfo {
public:
    explicit VersionInfo(const char* pszPath) : m_wstrPath(W(pszPath)) {
        DWORD dwHandle = 0;
        const DWORD cb = GetFileVersionInfoSizeW(m_wstrPath.c_str(), &dwHandle);
        m_data.resize(cb);
        if (cb == 0 || !GetFileVersionInfoW(m_wstrPath.c_str(), 0, cb, m_data.data()))
            m_data.clear();
    }
    bool Loaded() const { return !m_data.empty(); }

    // Fixed: the four numbers of the file and product versions.
    std::string Fixed(bool bProduct) const {
        VS_FIXEDFILEINFO* pInfo = nullptr;
        UINT cb = 0;
        if (!VerQueryValueW(m_data.data(), TEXT("\\"), reinterpret_cast<void**>(&pInfo), &cb) ||
            cb < sizeof(*pInfo))
            return "<none>";
        const DWORD ms = bProduct ? pInfo->dwProductVersionMS : pInfo->dwFileVersionMS;
        const DWORD ls = bProduct ? pInfo->dwProductVersionLS : pInfo->dwFileVersionLS;
        char sz[64];
        std::snprintf(sz, sizeof(sz), "%u.%u.%u.%u", unsigned(HIWORD(ms)), unsigned(LOWORD(ms)),
                      unsigned(HIWORD(ls)), unsigned(LOWORD(ls)));
        return sz;
    }
    // Text: a string of the US English block, or "<none>".
    std::string Text(const char* pszName) const {
        const WString query = W("\\StringFileInfo\\040904b0\\") + W(pszName);
        WCHAR* pwsz = nullptr;
        UINT cch = 0;
        if (!VerQueryValueW(m_data.data(), query.c_str(), reinterpret_cast<void**>(&pwsz), &cch))
            return "<none>";
        return U8(pwsz);
    }

private:
    WString m_wstrPath;
    std::vector<BYTE> m_data;
};

TEST(VersionResource, PluginsNameTheirMimeType) {
    const struct {
        const char* path;
        const char* version;
        const char* name;
        const char* description;
    } plugins[] = {
        {ORVANE_NPPELLIN_PATH, kNpPellinVersion, "npPellin", "Orvane enrolment plug-in"},
        {ORVANE_NPSARVIK_PATH, kNpSarvikVersion, "npSarvik", "Orvane signing plug-in"},
    };
    for (const auto& p : plugins) {
        SCOPED_TRACE(p.name);
        VersionInfo info(p.path);
        ASSERT_TRUE(info.Loaded());
        EXPECT_EQ(info.Fixed(false), p.version);
        EXPECT_EQ(info.Fixed(true), p.version);
        EXPECT_EQ(info.Text("FileVersion"), p.version);
        EXPECT_EQ(info.Text("ProductVersion"), p.version);
        EXPECT_EQ(info.Text("MIMEType"), std::string("application/") + p.name);
        EXPECT_EQ(info.Text("FileExtents"), "*");
        EXPECT_EQ(info.Text("FileOpenName"), p.name);
        EXPECT_EQ(info.Text("ProductName"), p.name);
        EXPECT_EQ(info.Text("InternalName"), p.name);
        EXPECT_EQ(info.Text("OriginalFilename"), std::string(p.name) + ".dll");
        EXPECT_EQ(info.Text("FileDescription"), p.description);
    }
}

TEST(VersionResource, HostHasNoMimeType) {
    VersionInfo info(ORVANE_TANDRY_PATH);
    ASSERT_TRUE(info.Loaded());
    EXPECT_EQ(info.Fixed(false), kTandryVersion);
    EXPECT_EQ(info.Text("FileVersion"), kTandryVersion);
    EXPECT_EQ(info.Text("OriginalFilename"), "Tandry.exe");
    EXPECT_EQ(info.Text("MIMEType"), "<none>");
}

// HasManifest: whether the module at pszPath carries a manifest (type 24)
// with the given resource id. Windows reads a program's from id 1 when the
// process is created and a library's from id 2 when it is loaded; one under
// the other id is silently ignored and the dialog gets the old controls.
bool HasManifest(const char* pszPath, WORD wId) {
    HMODULE hModule = LoadLibraryExW(W(pszPath).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (hModule == nullptr)
        return false;
    const bool bFound =
        FindResourceW(hModule, MAKEINTRESOURCEW(wId), MAKEINTRESOURCEW(24)) != nullptr;
    FreeLibrary(hModule);
    return bFound;
}

TEST(VersionResource, ManifestsWhereWindowsLooksForThem) {
    EXPECT_TRUE(HasManifest(ORVANE_NPSARVIK_PATH, 2));
    EXPECT_TRUE(HasManifest(ORVANE_NPPELLIN_PATH, 2));
    EXPECT_TRUE(HasManifest(ORVANE_SARVIK_PATH, 1));
    EXPECT_FALSE(HasManifest(ORVANE_SARVIK_PATH, 2));

    VersionInfo info(ORVANE_SARVIK_PATH);
    ASSERT_TRUE(info.Loaded());
    EXPECT_EQ(info.Text("FileVersion"), kSarvikVersion);
    EXPECT_EQ(info.Text("OriginalFilename"), "Sarvik.exe");
}

} // namespace
