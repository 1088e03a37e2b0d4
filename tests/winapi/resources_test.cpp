// Conformance of typed resources and module handles: the files under data/
// are embedded in this test program by the build (the resource compiler on
// Windows, the stand-in's registration on POSIX) and read back here.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kTyped901[] =
    "Typed resource 901, embedded at build time; its bytes are checked exactly.\n";
const BYTE kBinary[] = {0x00, 0x01, 0x02, 0xFE, 0xFF, ' ',  'b',
                        'i',  'n',  'a',  'r',  'y',  '\r', '\n'};

std::vector<BYTE> Bytes(const void* p, size_t n) {
    const BYTE* b = static_cast<const BYTE*>(p);
    return std::vector<BYTE>(b, b + n);
}

// Read: the bytes of one resource through the three calls, or nothing with
// the last error of the call that failed.
bool Read(LPCWSTR pwszName, LPCWSTR pwszType, std::vector<BYTE>& out) {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC hInfo = FindResourceW(self, pwszName, pwszType);
    if (hInfo == nullptr)
        return false;
    DWORD cb = SizeofResource(self, hInfo);
    HGLOBAL hData = LoadResource(self, hInfo);
    if (hData == nullptr)
        return false;
    const void* p = LockResource(hData);
    if (p == nullptr)
        return false;
    out = Bytes(p, cb);
    return true;
}

void NoopFunctionInThisModule() {}

} // namespace

TEST(WinApiResources, FindsTypedResourcesByEveryFormOfTypeAndName) {
    const std::vector<BYTE> typed = Bytes(kTyped901, sizeof(kTyped901) - 1);
    const std::vector<BYTE> named = Bytes("NAMED", 5);
    const std::vector<BYTE> binary = Bytes(kBinary, sizeof(kBinary));
    const std::vector<BYTE> empty;
    struct Case {
        const char* what;
        LPCWSTR name;
        LPCWSTR type;
        const std::vector<BYTE>* expected;
    } cases[] = {
        {"integer id, named type", MAKEINTRESOURCEW(901), TEXT("ORVANETEST"), &typed},
        {"type name in any case", MAKEINTRESOURCEW(901), TEXT("OrvaneTest"), &typed},
        {"\"#n\" for the integer id", TEXT("#901"), TEXT("ORVANETEST"), &typed},
        {"named id in any case", TEXT("named"), TEXT("ORVANETEST"), &named},
        {"integer type", MAKEINTRESOURCEW(902), MAKEINTRESOURCEW(300), &binary},
        {"\"#n\" for the integer type", MAKEINTRESOURCEW(902), TEXT("#300"), &binary},
        {"RCDATA keyword", MAKEINTRESOURCEW(903), RT_RCDATA, &typed},
        {"empty file", MAKEINTRESOURCEW(904), TEXT("ORVANETEST"), &empty},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> got;
        ASSERT_TRUE(Read(c.name, c.type, got)) << c.what << ": error " << GetLastError();
        EXPECT_EQ(got, *c.expected) << c.what;
    }
    // A null module is the calling program's own.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(901), TEXT("ORVANETEST")),
              FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(901), TEXT("ORVANETEST")));
}

TEST(WinApiResources, MissingTypeAndMissingNameAreTold) {
    HMODULE self = GetModuleHandleW(nullptr);
    struct Case {
        const char* what;
        LPCWSTR name;
        LPCWSTR type;
        DWORD error;
    } cases[] = {
        // Invalid: a type the module does not have.
        {"unknown type", MAKEINTRESOURCEW(901), TEXT("ORVANEOTHER"), ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"unknown integer type", MAKEINTRESOURCEW(901), MAKEINTRESOURCEW(301),
         ERROR_RESOURCE_TYPE_NOT_FOUND},
        // Invalid: a known type without that name.
        {"unknown id", MAKEINTRESOURCEW(999), TEXT("ORVANETEST"), ERROR_RESOURCE_NAME_NOT_FOUND},
        {"integer id asked as a name", TEXT("901"), TEXT("ORVANETEST"),
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"id under another type", MAKEINTRESOURCEW(901), MAKEINTRESOURCEW(300),
         ERROR_RESOURCE_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(FindResourceW(self, c.name, c.type), nullptr) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST(WinApiResources, ModuleOfAnAddressIsTheModuleHoldingIt) {
    HMODULE h = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&NoopFunctionInThisModule), &h));
    EXPECT_EQ(h, GetModuleHandleW(nullptr));
    // Its resources are this program's.
    EXPECT_NE(FindResourceW(h, MAKEINTRESOURCEW(901), TEXT("ORVANETEST")), nullptr);

    // Invalid: an address in no module (the heap).
    std::vector<BYTE> heap(64);
    h = reinterpret_cast<HMODULE>(1);
    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    reinterpret_cast<LPCWSTR>(heap.data()), &h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(h, nullptr);
}
