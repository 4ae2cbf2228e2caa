#include "TimeOfDay.h"

#include <QDateTime>

namespace tovi {

TimeOfDay::TimeOfDay() : m_zone(QTimeZone::systemTimeZone()) {
    // A zone Qt cannot read is left to the C library, as before.
    if (!m_zone.isValid()) m_zone = QTimeZone();
}

std::string TimeOfDay::Now() const {
    const QDateTime now =
        m_zone.isValid() ? QDateTime::currentDateTimeUtc().toTimeZone(m_zone) : QDateTime::currentDateTime();
    return now.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

}  // namespace tovi
