// Conformance of the page allocator the signing code keeps large file
// contents in: zeroed, writable pages, released whole at their base.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

TEST(WinApiMemory, CommittedPagesAreZeroedAndWritable) {
    const SIZE_T size = 3 * 1024 * 1024 + 17; // not a whole number of pages
    auto* p =
        static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr) << GetLastError();
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[size - 1], 0);
    std::memset(p, 0xA5, size);
    EXPECT_EQ(p[size / 2], 0xA5);
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE)) << GetLastError();
}

TEST(WinApiMemory, ReleaseRules) {
    auto* p = static_cast<BYTE*>(VirtualAlloc(nullptr, 65536, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr) << GetLastError();
    struct Case {
        const char* what;
        LPVOID address;
        SIZE_T size;
        DWORD error;
    };
    const Case cases[] = {
        // A release always takes the whole region: a size is refused.
        {"release with a size", p, 65536, ERROR_INVALID_PARAMETER},
        // Only the base the allocation gave names the region.
        {"release inside the region", p + 4096, 0, ERROR_INVALID_ADDRESS},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(VirtualFree(c.address, c.size, MEM_RELEASE)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // The failed calls left the region in place.
    p[65535] = 1;
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE)) << GetLastError();
}

TEST(WinApiMemory, EmptyRequestIsRefused) {
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}
