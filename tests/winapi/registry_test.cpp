// Conformance of the registry calls the system makes: paths, dispositions, value
// sizes, enumeration, access rights and the error numbers Windows reports. Each
// test works below its own key, HKEY_CURRENT_USER\Software\OrvaneTest\<run GUID>\<test>.
#include "foundation/Handles.h"
#include "tests/support/TestSupport.h"
#include "tests/winapi/WinApiTestHelpers.h"

#include <winreg.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using orvane::tests::DeleteRegTree;

ULONGLONG Ticks(const FILETIME& ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// SweepStaleRuns: a run that crashed left its key behind; remove the runs
// untouched for an hour, timed against the key this run just made.
void SweepStaleRuns(const WString& runKey) {
    constexpr ULONGLONG kHour = 36000000000ULL; // in 100 ns ticks
    HKEY parent = nullptr, own = nullptr;
    FILETIME now{};
    if (RegCreateKeyExW(HKEY_CURRENT_USER, runKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &own, nullptr) != ERROR_SUCCESS)
        return;
    RegQueryInfoKeyW(own, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, &now);
    RegCloseKey(own);
    if (RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\OrvaneTest"), 0, KEY_READ, &parent) !=
        ERROR_SUCCESS)
        return;
    std::vector<WString> stale;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        FILETIME ft{};
        if (RegEnumKeyExW(parent, i, name, &cch, nullptr, nullptr, nullptr, &ft) != ERROR_SUCCESS)
            break;
        if (Ticks(ft) + kHour < Ticks(now))
            stale.push_back(name);
    }
    for (const WString& name : stale)
        DeleteRegTree(parent, name);
    RegCloseKey(parent);
}

const WString& RunKey() {
    static const WString path = [] {
        WString key = WString(TEXT("Software\\OrvaneTest\\")) + orvane::tests::GuidText();
        SweepStaleRuns(key);
        return key;
    }();
    return path;
}

class WinApiRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = RunKey() + TEXT("\\") +
                W(::testing::UnitTest::GetInstance()->current_test_info()->name());
        DeleteRegTree(HKEY_CURRENT_USER, path_); // what an interrupted run left behind
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, root_.put(), &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    }
    void TearDown() override {
        root_.reset();
        EXPECT_EQ(DeleteRegTree(HKEY_CURRENT_USER, path_), ERROR_SUCCESS);
        // Gone once the last test is done. The shared parent stays: under Wine
        // the English and Chinese runs share one registry, and deleting the
        // parent while the other run creates its key fails that creation.
        DeleteRegTree(HKEY_CURRENT_USER, RunKey());
    }

    LSTATUS Create(const WString& sub, UniqueRegKey& key, DWORD* disposition = nullptr,
                   REGSAM sam = KEY_ALL_ACCESS) {
        return RegCreateKeyExW(root_.get(), sub.c_str(), 0, nullptr, 0, sam, nullptr, key.put(),
                               disposition);
    }
    LSTATUS Open(const WString& sub, UniqueRegKey& key, REGSAM sam = KEY_READ) {
        return RegOpenKeyExW(root_.get(), sub.c_str(), 0, sam, key.put());
    }
    bool Exists(const WString& sub) {
        UniqueRegKey k;
        return Open(sub, k) == ERROR_SUCCESS;
    }

    WString path_;
    UniqueRegKey root_;
};

LSTATUS SetBytes(HKEY h, const WCHAR* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(h, name, 0, type, data.empty() ? nullptr : data.data(),
                          DWORD(data.size()));
}

LSTATUS SetDword(HKEY h, const WCHAR* name, DWORD v) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v);
}

// SubkeyAt, ValueAt: the name at an enumeration index, or "rc <error>".
std::string SubkeyAt(HKEY h, DWORD i) {
    WCHAR name[256];
    DWORD cch = 256;
    LSTATUS rc = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    return rc == ERROR_SUCCESS ? U8(name) : "rc " + std::to_string(rc);
}
std::string ValueAt(HKEY h, DWORD i) {
    WCHAR name[64];
    DWORD cch = 64;
    LSTATUS rc = RegEnumValueW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    return rc == ERROR_SUCCESS ? U8(name) : "rc " + std::to_string(rc);
}
const std::string kNoMore = "rc " + std::to_string(ERROR_NO_MORE_ITEMS);

std::vector<BYTE> Utf16Bytes(const WString& s) {
    std::vector<BYTE> out((s.size() + 1) * sizeof(WCHAR)); // terminator included
    std::memcpy(out.data(), s.c_str(), out.size());
    return out;
}

} // namespace

TEST_F(WinApiRegistry, CreateMakesIntermediateKeysAndReportsDisposition) {
    UniqueRegKey leaf;
    DWORD disposition = 0;
    ASSERT_EQ(Create(TEXT("a\\b\\c"), leaf, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(Exists(TEXT("a")));
    EXPECT_TRUE(Exists(TEXT("a\\b")));

    UniqueRegKey again;
    disposition = 0;
    ASSERT_EQ(Create(TEXT("A\\B\\C"), again, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY)); // names ignore case

    // Only the last component counts: its parents existed, it did not.
    UniqueRegKey sibling;
    ASSERT_EQ(Create(TEXT("a\\b\\d"), sibling, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));

    // A value set through one handle is seen through the other.
    DWORD v = 42, got = 0, cb = sizeof(got);
    ASSERT_EQ(SetDword(leaf.get(), TEXT("n"), v), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(again.get(), TEXT("N"), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&got), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(got, 42u);
}

TEST_F(WinApiRegistry, OpenFollowsWindowsPathRules) {
    UniqueRegKey made;
    ASSERT_EQ(Create(TEXT("Dir\\Sub"), made), ERROR_SUCCESS);
    struct Case {
        const WCHAR* path;
        LSTATUS expected;
    } cases[] = {
        {TEXT("Dir\\Sub"), ERROR_SUCCESS},
        {TEXT("dIR\\sUB"), ERROR_SUCCESS},
        {TEXT("Dir\\Sub\\"), ERROR_SUCCESS}, // a trailing backslash is ignored
        {TEXT(""), ERROR_SUCCESS},           // the key itself
        // Invalid: a missing component anywhere in the path.
        {TEXT("Dir\\Missing"), ERROR_FILE_NOT_FOUND},
        {TEXT("Missing\\Sub"), ERROR_FILE_NOT_FOUND},
        // Invalid: relative paths may not start at a root.
        {TEXT("\\Dir"), ERROR_BAD_PATHNAME},
        // Invalid: a forward slash is part of a name, not a separator.
        {TEXT("Dir/Sub"), ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        HKEY h = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5A5A));
        EXPECT_EQ(RegOpenKeyExW(root_.get(), c.path, 0, KEY_READ, &h), c.expected) << U8(c.path);
        if (c.expected == ERROR_SUCCESS)
            RegCloseKey(h);
        else
            EXPECT_EQ(h, nullptr) << U8(c.path);
    }
    UniqueRegKey k;
    EXPECT_EQ(Create(TEXT("\\Lead"), k), ERROR_BAD_PATHNAME);
    // Invalid: nowhere to put the handle.
    EXPECT_EQ(RegOpenKeyExW(root_.get(), TEXT("Dir"), 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(WinApiRegistry, NamesIgnoreCaseBeyondAscii) {
    UniqueRegKey made;
    ASSERT_EQ(Create(W("Äé-Жж-Ωμ"), made), ERROR_SUCCESS);
    UniqueRegKey k;
    EXPECT_EQ(Open(W("äÉ-жЖ-ωΜ"), k), ERROR_SUCCESS);
    DWORD v = 7;
    ASSERT_EQ(SetDword(made.get(), W("Größe").c_str(), v), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(k.get(), W("GRÖSSE").c_str(), nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND); // ß is not SS: only one-to-one case pairs match
    EXPECT_EQ(RegQueryValueExW(k.get(), W("gRÖßE").c_str(), nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
}

TEST_F(WinApiRegistry, KeyNamesStopAt255Characters) {
    UniqueRegKey k;
    EXPECT_EQ(Create(WString(255, TEXT('k')), k), ERROR_SUCCESS);
    k.reset();
    LSTATUS rc = Create(WString(256, TEXT('k')), k);
    if (RunningUnderWine()) {
        EXPECT_EQ(rc, ERROR_SUCCESS); // Wine accepts longer key names
    } else {
        EXPECT_EQ(rc, ERROR_INVALID_PARAMETER);
    }
}

TEST_F(WinApiRegistry, ValuesKeepTypeAndBytes) {
    const DWORD dword = 0x11223344;
    const ULONGLONG qword = 0x0102030405060708ULL;
    struct Case {
        const WCHAR* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {TEXT("sz"), REG_SZ, Utf16Bytes(TEXT("hello"))},
        {TEXT("expand"), REG_EXPAND_SZ, Utf16Bytes(TEXT("%TEMP%\\x"))},
        {TEXT("multi"), REG_MULTI_SZ,
         Utf16Bytes(WString(TEXT("a")) + WCHAR(0) + TEXT("bc") + WCHAR(0))},
        {TEXT("dword"),
         REG_DWORD,
         {BYTE(dword), BYTE(dword >> 8), BYTE(dword >> 16), BYTE(dword >> 24)}},
        {TEXT("qword"), REG_QWORD,
         std::vector<BYTE>(reinterpret_cast<const BYTE*>(&qword),
                           reinterpret_cast<const BYTE*>(&qword) + 8)},
        {TEXT("binary"), REG_BINARY, {0, 1, 0, 0xFF, 0}},
        {TEXT("empty"), REG_BINARY, {}},
        {TEXT("none"), REG_NONE, {1, 2, 3}},
        {TEXT("private type"), 0x12345678, {9}},
        {TEXT(""), REG_SZ, Utf16Bytes(TEXT("default value"))},
        {TEXT("big"), REG_BINARY, std::vector<BYTE>(300000, 0xA5)},
    };
    for (const Case& c : cases)
        ASSERT_EQ(SetBytes(root_.get(), c.name, c.type, c.data), ERROR_SUCCESS) << U8(c.name);
    for (const Case& c : cases) {
        DWORD type = 0, cb = 0;
        ASSERT_EQ(RegQueryValueExW(root_.get(), c.name, nullptr, &type, nullptr, &cb),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, c.type) << U8(c.name);
        ASSERT_EQ(cb, c.data.size()) << U8(c.name); // strings: bytes, terminator included
        std::vector<BYTE> got(cb + 1, 0xEE);
        ASSERT_EQ(RegQueryValueExW(root_.get(), c.name, nullptr, &type, got.data(), &cb),
                  ERROR_SUCCESS);
        got.resize(cb);
        EXPECT_EQ(got, c.data) << U8(c.name);
    }
    // A null name is the default value too.
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(root_.get(), nullptr, nullptr, nullptr, nullptr, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(cb, Utf16Bytes(TEXT("default value")).size());

    // Setting a name again in other case replaces the value, type included.
    ASSERT_EQ(SetBytes(root_.get(), TEXT("SZ"), REG_BINARY, {1}), ERROR_SUCCESS);
    DWORD type = 0;
    cb = 0;
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("sz"), nullptr, &type, nullptr, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_BINARY));
    EXPECT_EQ(cb, 1u);
}

TEST_F(WinApiRegistry, QueryReportsSizesAndRefusesBadArguments) {
    const WString text = TEXT("twelve bytes"); // 13 characters with the terminator
    ASSERT_EQ(SetBytes(root_.get(), TEXT("s"), REG_SZ, Utf16Bytes(text)), ERROR_SUCCESS);
    const DWORD needed = DWORD((text.size() + 1) * sizeof(WCHAR));

    BYTE buf[64];
    DWORD type = 0, cb = 4;
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("s"), nullptr, &type, buf, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, needed);
    EXPECT_EQ(type, DWORD(REG_SZ));
    cb = needed;
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("s"), nullptr, nullptr, buf, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, needed);
    // Neither data nor size: the value's presence alone.
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("s"), nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);

    DWORD reserved = 0;
    cb = sizeof(buf);
    // Invalid: data without a size.
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("s"), nullptr, nullptr, buf, nullptr),
              ERROR_INVALID_PARAMETER);
    // Invalid: the reserved pointer must be null.
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("s"), &reserved, nullptr, buf, &cb),
              ERROR_INVALID_PARAMETER);
    // Invalid: no such value.
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT("missing"), nullptr, nullptr, nullptr, &cb),
              ERROR_FILE_NOT_FOUND);
    // Invalid: no default value was set.
    EXPECT_EQ(RegQueryValueExW(root_.get(), TEXT(""), nullptr, nullptr, nullptr, &cb),
              ERROR_FILE_NOT_FOUND);

    // Setting: no bytes to read from.
    EXPECT_EQ(RegSetValueExW(root_.get(), TEXT("x"), 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    // Setting: names up to 16383 characters.
    DWORD v = 1;
    EXPECT_EQ(SetDword(root_.get(), WString(16383, TEXT('v')).c_str(), v), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(root_.get(), WString(16384, TEXT('v')).c_str(), v), ERROR_INVALID_PARAMETER);
}

TEST_F(WinApiRegistry, DeleteRefusesKeysWithSubkeys) {
    UniqueRegKey k;
    ASSERT_EQ(Create(TEXT("p\\c"), k), ERROR_SUCCESS);
    k.reset();
    EXPECT_EQ(RegDeleteKeyW(root_.get(), TEXT("p")), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(TEXT("p\\c")));
    EXPECT_EQ(RegDeleteKeyW(root_.get(), TEXT("P\\C")), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(TEXT("p\\c")));
    EXPECT_EQ(RegDeleteKeyW(root_.get(), TEXT("p")), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(TEXT("p")));
    // Invalid: gone already.
    EXPECT_EQ(RegDeleteKeyW(root_.get(), TEXT("p")), ERROR_FILE_NOT_FOUND);
    // Invalid: the subkey name is required.
    EXPECT_EQ(RegDeleteKeyW(root_.get(), nullptr), ERROR_INVALID_PARAMETER);

    DWORD v = 1;
    ASSERT_EQ(SetDword(root_.get(), TEXT("v"), v), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(root_.get(), TEXT("V")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(root_.get(), TEXT("v")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(root_.get(), nullptr), ERROR_FILE_NOT_FOUND); // no default value
}

TEST_F(WinApiRegistry, HandleToDeletedKeyReportsKeyDeleted) {
    UniqueRegKey victim, other;
    ASSERT_EQ(Create(TEXT("gone"), victim), ERROR_SUCCESS);
    DWORD v = 1;
    ASSERT_EQ(SetDword(victim.get(), TEXT("v"), v), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(root_.get(), TEXT("gone")), ERROR_SUCCESS);
    // A key of the same name made afterwards is another key.
    ASSERT_EQ(Create(TEXT("gone"), other), ERROR_SUCCESS);

    WCHAR name[32];
    DWORD cch = 32;
    UniqueRegKey sub;
    EXPECT_EQ(RegQueryValueExW(victim.get(), TEXT("v"), nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(victim.get(), TEXT("v"), v), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(victim.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValueW(victim.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(victim.get(), TEXT(""), 0, KEY_READ, sub.put()), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExW(victim.get(), TEXT("s"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              sub.put(), nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyW(victim.get(), TEXT("")), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(victim.release()), ERROR_SUCCESS);
}

TEST_F(WinApiRegistry, EnumerationListsEverythingOnce) {
    const WCHAR* subkeys[] = {TEXT("b"), TEXT("A"), TEXT("c2"), TEXT("C1")};
    for (const WCHAR* s : subkeys) {
        UniqueRegKey k;
        ASSERT_EQ(Create(s, k), ERROR_SUCCESS);
    }
    // Subkeys come sorted without regard to case.
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        FILETIME ft{};
        LSTATUS rc = RegEnumKeyExW(root_.get(), i, name, &cch, nullptr, nullptr, nullptr, &ft);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(cch, DWORD(lstrlenW(name)));
        EXPECT_NE(ft.dwHighDateTime, 0u);
        names.push_back(U8(name));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "C1", "c2"}));
    WCHAR small[2];
    DWORD cch = 2; // "C1" needs 3 with its terminator
    EXPECT_EQ(RegEnumKeyExW(root_.get(), 2, small, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);

    const WCHAR* values[] = {TEXT("zeta"), TEXT("alpha"), TEXT("Mid")};
    for (const WCHAR* v : values)
        ASSERT_EQ(SetBytes(root_.get(), v, REG_SZ, Utf16Bytes(v)), ERROR_SUCCESS);
    std::set<std::string> seen;
    for (DWORD i = 0;; ++i) {
        WCHAR name[64];
        BYTE data[64];
        DWORD cchName = 64, cb = sizeof(data), type = 0;
        LSTATUS rc = RegEnumValueW(root_.get(), i, name, &cchName, nullptr, &type, data, &cb);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(type, DWORD(REG_SZ));
        EXPECT_EQ(cb, (cchName + 1) * sizeof(WCHAR)); // each value holds its own name
        EXPECT_EQ(std::memcmp(data, name, cb), 0);
        EXPECT_TRUE(seen.insert(U8(name)).second) << U8(name);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"zeta", "alpha", "Mid"}));

    // Short data buffer: the size needed.
    WCHAR name[64];
    BYTE one[1];
    DWORD cchName = 64, cb = 1;
    EXPECT_EQ(RegEnumValueW(root_.get(), 0, name, &cchName, nullptr, nullptr, one, &cb),
              ERROR_MORE_DATA);
    EXPECT_GE(cb, 8u);

    DWORD subkeyCount = 0, maxSubkey = 0, valueCount = 0, maxValueName = 0, maxValue = 0;
    FILETIME ft{};
    ASSERT_EQ(RegQueryInfoKeyW(root_.get(), nullptr, nullptr, nullptr, &subkeyCount, &maxSubkey,
                               nullptr, &valueCount, &maxValueName, &maxValue, nullptr, &ft),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeyCount, 4u);
    EXPECT_EQ(maxSubkey, 2u); // characters
    EXPECT_EQ(valueCount, 3u);
    EXPECT_EQ(maxValueName, 5u); // characters
    EXPECT_EQ(maxValue, 12u);    // bytes: "alpha" and its terminator
    EXPECT_NE(ft.dwHighDateTime, 0u);
}

// An enumeration is by index into the key as it is at each call: a change
// between calls shifts what the next index names, and nothing read earlier
// is answered again from memory.
TEST_F(WinApiRegistry, ChangesUnderAnOpenEnumerationShiftTheIndexes) {
    auto subkeyAt = [&](DWORD i) { return SubkeyAt(root_.get(), i); };
    for (const WCHAR* s : {TEXT("a"), TEXT("b"), TEXT("c"), TEXT("d")}) {
        UniqueRegKey k;
        ASSERT_EQ(Create(s, k), ERROR_SUCCESS);
    }
    EXPECT_EQ(subkeyAt(0), "a");
    EXPECT_EQ(subkeyAt(1), "b");
    ASSERT_EQ(RegDeleteKeyW(root_.get(), TEXT("a")), ERROR_SUCCESS); // b c d
    EXPECT_EQ(subkeyAt(1), "c");
    {
        UniqueRegKey k;
        ASSERT_EQ(Create(TEXT("0"), k), ERROR_SUCCESS); // 0 b c d
    }
    EXPECT_EQ(subkeyAt(2), "c");
    EXPECT_EQ(subkeyAt(3), "d");
    EXPECT_EQ(subkeyAt(4), kNoMore);
    EXPECT_EQ(subkeyAt(1000000), kNoMore);
    EXPECT_EQ(subkeyAt(0), "0");

    // Values keep the order they were set in (these names sort the same way,
    // which is Wine's order).
    auto valueAt = [&](DWORD i) { return ValueAt(root_.get(), i); };
    for (const WCHAR* v : {TEXT("v1"), TEXT("v2"), TEXT("v3")})
        ASSERT_EQ(SetBytes(root_.get(), v, REG_BINARY, {1}), ERROR_SUCCESS);
    EXPECT_EQ(valueAt(0), "v1");
    ASSERT_EQ(RegDeleteValueW(root_.get(), TEXT("v1")), ERROR_SUCCESS); // v2 v3
    EXPECT_EQ(valueAt(1), "v3");
    ASSERT_EQ(SetBytes(root_.get(), TEXT("v4"), REG_BINARY, {2, 3}), ERROR_SUCCESS); // v2 v3 v4
    EXPECT_EQ(valueAt(2), "v4");
    EXPECT_EQ(valueAt(3), kNoMore);
    // A value's new data shows at once, also where only its size is asked for.
    ASSERT_EQ(SetBytes(root_.get(), TEXT("v2"), REG_BINARY, {4, 5, 6}), ERROR_SUCCESS);
    WCHAR name[64];
    DWORD cch = 64, cb = 0;
    ASSERT_EQ(RegEnumValueW(root_.get(), 0, name, &cch, nullptr, nullptr, nullptr, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(U8(name), "v2");
    EXPECT_EQ(cb, 3u);
}

// Deleting what an enumeration found, the two ways callers do it, over more
// keys than one read of the stand-in brings in.
TEST_F(WinApiRegistry, DeletingWhileEnumeratingFollowsTheIndexes) {
    constexpr int kKeys = 600;
    auto name = [](int i) {
        char text[16];
        std::snprintf(text, sizeof text, "s%03d", i);
        return std::string(text);
    };
    for (int i = 0; i < kKeys; ++i) {
        UniqueRegKey k;
        ASSERT_EQ(Create(W(name(i).c_str()), k), ERROR_SUCCESS);
    }
    // Index after index: each deletion moves the rest down one, so every
    // second key is met.
    std::vector<std::string> met;
    for (DWORD i = 0;; ++i) {
        const std::string found = SubkeyAt(root_.get(), i);
        if (found == kNoMore)
            break;
        met.push_back(found);
        ASSERT_EQ(RegDeleteKeyW(root_.get(), W(found.c_str()).c_str()), ERROR_SUCCESS) << found;
    }
    ASSERT_EQ(met.size(), size_t(kKeys / 2));
    for (int i = 0; i < kKeys / 2; ++i)
        EXPECT_EQ(met[size_t(i)], name(2 * i));
    // Always index 0: every key that is left.
    int deleted = 0;
    for (std::string found; (found = SubkeyAt(root_.get(), 0)) != kNoMore; ++deleted) {
        ASSERT_EQ(found, name(2 * deleted + 1));
        ASSERT_EQ(RegDeleteKeyW(root_.get(), W(found.c_str()).c_str()), ERROR_SUCCESS);
    }
    EXPECT_EQ(deleted, kKeys / 2);
}

TEST_F(WinApiRegistry, HandlesCarryTheRightsAskedFor) {
    UniqueRegKey made;
    ASSERT_EQ(Create(TEXT("k"), made), ERROR_SUCCESS);
    DWORD v = 1;
    ASSERT_EQ(SetDword(made.get(), TEXT("v"), v), ERROR_SUCCESS);

    UniqueRegKey reader, writer, none;
    ASSERT_EQ(Open(TEXT("k"), reader, KEY_READ), ERROR_SUCCESS);
    ASSERT_EQ(Open(TEXT("k"), writer, KEY_SET_VALUE), ERROR_SUCCESS);
    ASSERT_EQ(Open(TEXT("k"), none, 0), ERROR_SUCCESS);
    WCHAR name[32];
    DWORD cch = 32;
    // Invalid: a read-only handle cannot change values.
    EXPECT_EQ(SetDword(reader.get(), TEXT("v"), v), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader.get(), TEXT("v")), ERROR_ACCESS_DENIED);
    // Invalid: a write-only handle cannot read them.
    EXPECT_EQ(RegQueryValueExW(writer.get(), TEXT("v"), nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer.get(), TEXT("w"), v), ERROR_SUCCESS);
    // Invalid: a handle with no rights can neither read nor list.
    EXPECT_EQ(RegQueryValueExW(none.get(), TEXT("v"), nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegEnumKeyExW(none.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);

    // Making a subkey needs KEY_CREATE_SUB_KEY on the parent handle; opening an
    // existing one through RegCreateKeyExW does not.
    UniqueRegKey child;
    LSTATUS rc = RegCreateKeyExW(reader.get(), TEXT("child"), 0, nullptr, 0, KEY_READ, nullptr,
                                 child.put(), nullptr);
    if (RunningUnderWine()) {
        EXPECT_EQ(rc, ERROR_SUCCESS); // Wine does not check the parent handle's rights
        child.reset();
        RegDeleteKeyW(made.get(), TEXT("child"));
    } else {
        EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
    }
    EXPECT_FALSE(Exists(TEXT("k\\child")));
    UniqueRegKey existing;
    ASSERT_EQ(Create(TEXT("k\\existing"), existing), ERROR_SUCCESS);
    existing.reset();
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(reader.get(), TEXT("existing"), 0, nullptr, 0, KEY_READ, nullptr,
                              existing.put(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
}

TEST_F(WinApiRegistry, InvalidHandlesAreRefused) {
    UniqueRegKey k;
    ASSERT_EQ(Create(TEXT("k"), k), ERROR_SUCCESS);
    HKEY closed = k.release();
    EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    // Checked before anything else is opened: Windows reuses handle values.
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(closed, TEXT("x"), nullptr, nullptr, nullptr, &cb),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);

    WCHAR dir[MAX_PATH + 1] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, dir), 0u);
    const WString filePath = dir + RunKey().substr(RunKey().rfind('\\') + 1) + TEXT(".tmp");
    HANDLE file = CreateFileW(filePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    struct Case {
        HKEY h;
        LSTATUS close;
    } cases[] = {
        // Invalid: never a key.
        {nullptr, ERROR_INVALID_HANDLE},
        // Invalid: never issued.
        {reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), ERROR_INVALID_HANDLE},
        // Invalid: in the predefined range but no such root; closing any
        // predefined value does nothing and succeeds.
        {reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(LONG(0x80000009))), ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        UniqueRegKey out;
        EXPECT_EQ(RegCloseKey(c.h), c.close) << c.h;
        EXPECT_EQ(RegOpenKeyExW(c.h, TEXT("x"), 0, KEY_READ, out.put()), ERROR_INVALID_HANDLE)
            << c.h;
        EXPECT_EQ(RegQueryValueExW(c.h, TEXT("x"), nullptr, nullptr, nullptr, &cb),
                  ERROR_INVALID_HANDLE)
            << c.h;
    }
    // Invalid: a handle of another kind.
    EXPECT_EQ(
        RegQueryValueExW(reinterpret_cast<HKEY>(file), TEXT("x"), nullptr, nullptr, nullptr, &cb),
        ERROR_INVALID_HANDLE);
    CloseHandle(file);
    DeleteFileW(filePath.c_str());
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS); // predefined: nothing to close
}

TEST_F(WinApiRegistry, MachineKeysNeedAdministrators) {
    const WString machinePath =
        TEXT("SOFTWARE\\OrvaneTest") + RunKey().substr(RunKey().rfind('\\'));
    UniqueRegKey k;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machinePath.c_str(), 0, KEY_READ, k.put()),
              ERROR_FILE_NOT_FOUND);
    DWORD disposition = 0;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, machinePath.c_str(), 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, k.put(), &disposition);
    if (RunningUnderWine()) {
        EXPECT_EQ(rc, ERROR_SUCCESS); // Wine has no access control on machine keys
    }
    if (rc == ERROR_SUCCESS) {
        // An administrator: the key behaves as any other.
        EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
        DWORD v = 5, got = 0, cb = 4;
        EXPECT_EQ(SetDword(k.get(), TEXT("v"), v), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExW(k.get(), TEXT("v"), nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&got), &cb),
                  ERROR_SUCCESS);
        EXPECT_EQ(got, 5u);
        k.reset();
        EXPECT_EQ(DeleteRegTree(HKEY_LOCAL_MACHINE, machinePath), ERROR_SUCCESS);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\OrvaneTest")); // unless others use it
    } else {
        // Anyone else is refused, and nothing is left half made.
        EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
        EXPECT_EQ(k.get(), nullptr);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machinePath.c_str(), 0, KEY_READ, k.put()),
                  ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT(""), 0, KEY_WRITE, k.put()),
                  ERROR_ACCESS_DENIED);
    }
}
