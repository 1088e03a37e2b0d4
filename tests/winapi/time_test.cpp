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

namespace {

int64_t Seconds(const SYSTEMTIME& st) {
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return int64_t((uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000000);
}

} // namespace

TEST(WinApiTime, SystemTimeToTzSpecificLocalTimeUsesTheActiveZone) {
    // Whatever the zone, local time is UTC moved by whole quarter hours, at
    // most 14 hours, and an hour later in UTC is an hour later locally
    // (mid-January and mid-July are far from any change of summer time).
    for (WORD month : {WORD(1), WORD(7)}) {
        SYSTEMTIME utc{};
        utc.wYear = 2031;
        utc.wMonth = month;
        utc.wDay = 15;
        utc.wHour = 12;
        SYSTEMTIME local{}, later{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
        const int64_t offset = Seconds(local) - Seconds(utc);
        EXPECT_EQ(offset % 900, 0) << month;
        EXPECT_LE(offset < 0 ? -offset : offset, 14 * 3600) << month;
        SYSTEMTIME utcLater = utc;
        utcLater.wHour = 13;
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utcLater, &later));
        EXPECT_EQ(Seconds(later) - Seconds(local), 3600) << month;
        EXPECT_EQ(local.wMilliseconds, 0);
    }
    // A date that does not exist is refused.
    SYSTEMTIME bad{};
    bad.wYear = 2031;
    bad.wMonth = 13;
    bad.wDay = 1;
    SYSTEMTIME out{};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &bad, &out));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}
