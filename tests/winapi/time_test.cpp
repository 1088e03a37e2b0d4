// Conformance of the clock the chain import compares validity periods with.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <ctime>

TEST(WinApiTime, SystemTimeAsFileTimeIsTheUtcClock) {
    // File times count 100 ns from 1601-01-01; the C clock counts seconds from 1970.
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    const int64_t nBefore = int64_t(std::time(nullptr));
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    const int64_t nAfter = int64_t(std::time(nullptr));
    const uint64_t ullTicks = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    const int64_t nSeconds = int64_t(ullTicks / 10000000) - kSecondsFrom1601To1970;
    EXPECT_GE(nSeconds, nBefore - 1);
    EXPECT_LE(nSeconds, nAfter + 1);

    // It moves forward.
    FILETIME ftLater{};
    GetSystemTimeAsFileTime(&ftLater);
    const uint64_t ullLater = uint64_t(ftLater.dwHighDateTime) << 32 | ftLater.dwLowDateTime;
    EXPECT_GE(ullLater, ullTicks);
}
