#pragma once
// The time of day the log boxes and the chat list stamp their lines with. The system's time zone
// is looked up once: asking the C library for local time looks at the zone file again on every
// call, once per log line.
#include <QTimeZone>
#include <string>

namespace tovi {

class TimeOfDay {
public:
    TimeOfDay();
    // "hh:mm:ss", local time now.
    std::string Now() const;

private:
    QTimeZone m_zone;
};

}  // namespace tovi
