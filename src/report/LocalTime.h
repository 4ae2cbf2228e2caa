#pragma once
// The local date and time the stats file is stamped with, through a seam that tests set.
#include <functional>
#include <string>

namespace tovi {

struct LocalTime {
    int Year = 0;
    int Month = 0;  // 1 to 12
    int Day = 0;
    int Hour = 0;  // 0 to 23
    int Minute = 0;
    int Second = 0;
};

using LocalClock = std::function<LocalTime()>;

// The system's local time now.
LocalTime SystemLocalTime();

// "yyyy-mm-dd hh:mm:ss", the server line's time.
std::string FormatStatsTime(const LocalTime& t);
// "yyyy-mm-dd_hh.mm.ss", the archive file's name.
std::string FormatArchiveTime(const LocalTime& t);

}  // namespace tovi
