// File times and calendar times. A file time counts 100-nanosecond intervals
// since 1601-01-01 00:00 UTC in the proleptic Gregorian calendar; the day
// arithmetic below is done on days since 1970-01-01 so the C library's time_t
// can supply the local zone's offset.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerMillisecond = 10000;
constexpr int64_t kSecondsPerDay = 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;
// The largest file time Windows converts: below 2^63.
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;

// CurrentOffset: the local zone's offset from UTC now, in seconds. Reading the
// zone (tzset) looks at files each time, and a listing converts two times per
// certificate: the offset is kept for the second it was read in, and read
// again when that second has passed or TZ has changed.
bool CurrentOffset(int64_t& offset) {
    static std::mutex mutex;
    static time_t readAt = -1;
    static std::string readTz;
    static int64_t kept = 0;
    std::lock_guard<std::mutex> lock(mutex);
    const time_t now = time(nullptr);
    const char* tz = std::getenv("TZ");
    const std::string currentTz = tz != nullptr ? std::string(1, '=') + tz : std::string();
    if (now != readAt || currentTz != readTz) {
        tzset();
        struct tm local {};
        if (localtime_r(&now, &local) == nullptr)
            return false;
        kept = local.tm_gmtoff;
        readAt = now;
        readTz = currentTz;
    }
    offset = kept;
    return true;
}

// OffsetAt: the local zone's offset from UTC at the instant t, in seconds.
bool OffsetAt(time_t t, int64_t& offset) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    tzset(); // localtime_r need not read TZ again by itself
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr)
        return false;
    offset = local.tm_gmtoff;
    return true;
}

uint64_t TicksOf(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FileTimeOf(uint64_t ullTicks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ullTicks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ullTicks >> 32);
    return ft;
}

bool IsLeapYear(int64_t nYear) {
    return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
}

int DaysInMonth(int64_t nYear, unsigned nMonth) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return nMonth == 2 && IsLeapYear(nYear) ? 29 : kDays[nMonth - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (eras of 400 years
// starting in March, so the leap day is the last day of its year).
int64_t DaysFromCivil(int64_t nYear, unsigned nMonth, unsigned nDay) {
    nYear -= nMonth <= 2;
    const int64_t nEra = (nYear >= 0 ? nYear : nYear - 399) / 400;
    const int64_t nYearOfEra = nYear - nEra * 400;
    const int64_t nDayOfYear = (153 * (nMonth > 2 ? nMonth - 3 : nMonth + 9) + 2) / 5 + nDay - 1;
    const int64_t nDayOfEra = nYearOfEra * 365 + nYearOfEra / 4 - nYearOfEra / 100 + nDayOfYear;
    return nEra * 146097 + nDayOfEra - 719468;
}

void CivilFromDays(int64_t nDays, int64_t* pnYear, unsigned* pnMonth, unsigned* pnDay) {
    nDays += 719468;
    const int64_t nEra = (nDays >= 0 ? nDays : nDays - 146096) / 146097;
    const int64_t nDayOfEra = nDays - nEra * 146097;
    const int64_t nYearOfEra =
        (nDayOfEra - nDayOfEra / 1460 + nDayOfEra / 36524 - nDayOfEra / 146096) / 365;
    const int64_t nDayOfYear = nDayOfEra - (365 * nYearOfEra + nYearOfEra / 4 - nYearOfEra / 100);
    const int64_t nMonthIndex = (5 * nDayOfYear + 2) / 153;
    *pnDay = static_cast<unsigned>(nDayOfYear - (153 * nMonthIndex + 2) / 5 + 1);
    *pnMonth = static_cast<unsigned>(nMonthIndex < 10 ? nMonthIndex + 3 : nMonthIndex - 9);
    *pnYear = nYearOfEra + nEra * 400 + (*pnMonth <= 2);
}

} // namespace

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (lpFileTime == nullptr || lpSystemTime == nullptr || TicksOf(*lpFileTime) > kMaxFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ullTicks = TicksOf(*lpFileTime);
    const uint64_t ullSeconds = ullTicks / kTicksPerSecond;
    const int64_t nDays1601 = static_cast<int64_t>(ullSeconds / kSecondsPerDay);
    const int64_t nSecondOfDay = static_cast<int64_t>(ullSeconds % kSecondsPerDay);
    int64_t nYear = 0;
    unsigned nMonth = 0, nDay = 0;
    CivilFromDays(nDays1601 - kDaysFrom1601To1970, &nYear, &nMonth, &nDay);
    lpSystemTime->wYear = static_cast<WORD>(nYear);
    lpSystemTime->wMonth = static_cast<WORD>(nMonth);
    // 1601-01-01 was a Monday.
    lpSystemTime->wDayOfWeek = static_cast<WORD>((nDays1601 + 1) % 7);
    lpSystemTime->wDay = static_cast<WORD>(nDay);
    lpSystemTime->wHour = static_cast<WORD>(nSecondOfDay / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(nSecondOfDay / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(nSecondOfDay % 60);
    lpSystemTime->wMilliseconds =
        static_cast<WORD>(ullTicks % kTicksPerSecond / kTicksPerMillisecond);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (lpSystemTime == nullptr || lpFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t nDays1601 = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDaysFrom1601To1970;
    const uint64_t ullSeconds = static_cast<uint64_t>(nDays1601) * kSecondsPerDay +
                                st.wHour * 3600u + st.wMinute * 60u + st.wSecond;
    *lpFileTime =
        FileTimeOf(ullSeconds * kTicksPerSecond + st.wMilliseconds * kTicksPerMillisecond);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    if (lpFileTime == nullptr || lpLocalFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The offset in force now: Windows applies the current bias to any time.
    int64_t nOffsetSeconds = 0;
    if (!CurrentOffset(nOffsetSeconds)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t nOffset = nOffsetSeconds * static_cast<int64_t>(kTicksPerSecond);
    const int64_t nTicks = static_cast<int64_t>(TicksOf(*lpFileTime));
    // Windows wraps rather than fails at the ends of the range; a local time
    // before 1601 cannot be shown anyway, so refuse it.
    if (nOffset < 0 && nTicks < -nOffset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpLocalFileTime = FileTimeOf(static_cast<uint64_t>(nTicks + nOffset));
    return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime) {
    FILETIME ftUtc{};
    if (lpTimeZoneInformation != nullptr || lpLocalTime == nullptr ||
        !SystemTimeToFileTime(lpUniversalTime, &ftUtc)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t nTicks = static_cast<int64_t>(TicksOf(ftUtc));
    const time_t t = static_cast<time_t>(nTicks / static_cast<int64_t>(kTicksPerSecond) -
                                         kDaysFrom1601To1970 * kSecondsPerDay);
    int64_t nOffsetSeconds = 0;
    if (!OffsetAt(t, nOffsetSeconds)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t nOffset = nOffsetSeconds * static_cast<int64_t>(kTicksPerSecond);
    if (nOffset < 0 && nTicks < -nOffset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const FILETIME ftLocal = FileTimeOf(static_cast<uint64_t>(nTicks + nOffset));
    return FileTimeToSystemTime(&ftLocal, lpLocalTime);
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (lpSystemTimeAsFileTime == nullptr)
        return;
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t ullSeconds =
        static_cast<uint64_t>(kDaysFrom1601To1970 * kSecondsPerDay + int64_t(ts.tv_sec));
    *lpSystemTimeAsFileTime =
        FileTimeOf(ullSeconds * kTicksPerSecond + static_cast<uint64_t>(ts.tv_nsec) / 100);
}
