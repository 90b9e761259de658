// Local time on POSIX systems: the C library's time-zone conversion.
#include "local_time.h"

#include <mutex>

namespace Kor::Platform {

std::int64_t UtcOffsetSeconds(std::int64_t utcSeconds) {
    const auto t = static_cast<std::time_t>(utcSeconds);
    std::tm local{};
    // The C library keeps the zone in process-wide state; one caller at a time reloads it
    // (tzset picks up a changed zone, localtime_r alone need not look again) and converts.
    static std::mutex zoneMutex;
    std::lock_guard lock(zoneMutex);
    ::tzset();
    if (localtime_r(&t, &local) == nullptr) {
        return 0;  // outside what the C library can convert: take UTC
    }
    return local.tm_gmtoff;
}

bool UtcCalendar(std::int64_t seconds, std::tm& fields) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm broken{};
    if (gmtime_r(&t, &broken) == nullptr) {
        return false;
    }
    fields = broken;
    return true;
}

}  // namespace Kor::Platform
