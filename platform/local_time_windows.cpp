// Local time on Windows: the system's time-zone functions, with the rules of the year the
// instant falls in (daylight-saving changes included).
#include "local_time.h"

#include <windows.h>

namespace Kor::Platform {

namespace {

// 100-ns intervals between 1601-01-01 (FILETIME's origin) and 1970-01-01.
constexpr std::int64_t kUnixEpochInFileTime = 116'444'736'000'000'000;
constexpr std::int64_t kTicksPerSecond = 10'000'000;
// FILETIME counts up to 0x7FFF'FFFF'FFFF'FFFF; SYSTEMTIME reaches the year 30827.
constexpr std::int64_t kMinSeconds = -kUnixEpochInFileTime / kTicksPerSecond;
constexpr std::int64_t kMaxSeconds = 910'692'730'085LL;  // 30827-12-31 23:59:59

bool ToSystemTime(std::int64_t seconds, SYSTEMTIME& out) {
    if (seconds < kMinSeconds || seconds > kMaxSeconds) {
        return false;
    }
    const auto ticks = static_cast<std::uint64_t>(seconds * kTicksPerSecond + kUnixEpochInFileTime);
    FILETIME file{static_cast<DWORD>(ticks & 0xFFFF'FFFFu), static_cast<DWORD>(ticks >> 32)};
    return ::FileTimeToSystemTime(&file, &out) != 0;
}

bool ToTicks(const SYSTEMTIME& time, std::int64_t& ticks) {
    FILETIME file{};
    if (::SystemTimeToFileTime(&time, &file) == 0) {
        return false;
    }
    ticks = static_cast<std::int64_t>((std::uint64_t{file.dwHighDateTime} << 32) |
                                      file.dwLowDateTime);
    return true;
}

}  // namespace

std::int64_t UtcOffsetSeconds(std::int64_t utcSeconds) {
    SYSTEMTIME utc{};
    if (!ToSystemTime(utcSeconds, utc)) {
        return 0;
    }
    // The zone's rules for the instant's year, read now rather than once, so that a change
    // of zone applies at once; then the conversion under those rules.
    TIME_ZONE_INFORMATION zone{};
    SYSTEMTIME local{};
    if (::GetTimeZoneInformationForYear(utc.wYear, nullptr, &zone) == 0 ||
        ::SystemTimeToTzSpecificLocalTime(&zone, &utc, &local) == 0) {
        return 0;
    }
    std::int64_t utcTicks = 0;
    std::int64_t localTicks = 0;
    if (!ToTicks(utc, utcTicks) || !ToTicks(local, localTicks)) {
        return 0;
    }
    return (localTicks - utcTicks) / kTicksPerSecond;
}

bool UtcCalendar(std::int64_t seconds, std::tm& fields) {
    SYSTEMTIME utc{};
    if (!ToSystemTime(seconds, utc)) {
        return false;
    }
    std::tm broken{};
    broken.tm_year = utc.wYear - 1900;
    broken.tm_mon = utc.wMonth - 1;
    broken.tm_mday = utc.wDay;
    broken.tm_hour = utc.wHour;
    broken.tm_min = utc.wMinute;
    broken.tm_sec = utc.wSecond;
    broken.tm_wday = utc.wDayOfWeek;
    // Day of the year: days since January 1st of the same year.
    SYSTEMTIME january{};
    january.wYear = utc.wYear;
    january.wMonth = 1;
    january.wDay = 1;
    std::int64_t start = 0;
    std::int64_t now = 0;
    if (ToTicks(january, start) && ToTicks(utc, now)) {
        broken.tm_yday = static_cast<int>((now - start) / (kTicksPerSecond * 86'400));
    }
    fields = broken;
    return true;
}

}  // namespace Kor::Platform
