#include "LocalTime.h"

#include <ctime>

namespace tovi {

namespace {

std::string Padded(int value, size_t width) {
    std::string digits = std::to_string(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

std::string Format(const LocalTime& t, char dateTimeGap, char timeSeparator) {
    std::string text = Padded(t.Year, 4) + "-" + Padded(t.Month, 2) + "-" + Padded(t.Day, 2);
    text += dateTimeGap;
    text += Padded(t.Hour, 2) + timeSeparator + Padded(t.Minute, 2) + timeSeparator + Padded(t.Second, 2);
    return text;
}

}  // namespace

LocalTime SystemLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &now);
#else
    localtime_r(&now, &parts);
#endif
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
}

std::string FormatStatsTime(const LocalTime& t) { return Format(t, ' ', ':'); }

std::string FormatArchiveTime(const LocalTime& t) { return Format(t, '_', '.'); }

}  // namespace tovi
