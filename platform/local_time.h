// Local time and calendar fields, through the system's own time-zone facility.
#pragma once

#include <cstdint>
#include <ctime>

namespace Kor::Platform {

// The UTC offset, in seconds, of the machine's time zone in force at `utcSeconds` since
// 1970-01-01 UTC, daylight-saving time included. The zone is looked up on every call, so a
// change of zone applies at once. 0 (UTC) for an instant the system cannot convert.
std::int64_t UtcOffsetSeconds(std::int64_t utcSeconds);

// The calendar fields of `seconds` since 1970 read as UTC, with no zone applied. False for
// a count the system cannot break down (then `fields` is left as it was).
bool UtcCalendar(std::int64_t seconds, std::tm& fields);

}  // namespace Kor::Platform
