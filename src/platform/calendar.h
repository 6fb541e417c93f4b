// The C library's calendar, which both systems share: a local time to and
// from the struct the library keeps it in. Only the thread-safe way to get
// a local time differs between them.
#pragma once

#include <ctime>

#include "platform/platform.h"

namespace taq::platform::detail {

inline CalendarTime calendar_of(const struct tm& tm) {
    return CalendarTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

inline bool seconds_of(const CalendarTime& t, int64_t& seconds) {
    struct tm tm {};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    const time_t r = std::mktime(&tm);
    if (r == static_cast<time_t>(-1)) return false;
    seconds = static_cast<int64_t>(r);
    return true;
}

}  // namespace taq::platform::detail
