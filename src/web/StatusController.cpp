#include "StatusController.h"

#include <QJsonArray>

namespace tovi {

QJsonObject StatusJson(const PanelStatus& s) {
    return {{QStringLiteral("attached"), s.Attached},
            {QStringLiteral("serverName"), GameText(s.ServerName)},
            {QStringLiteral("mapName"), GameText(s.MapName)},
            {QStringLiteral("state"), GameText(s.State)},
            {QStringLiteral("clock"), GameText(s.Clock)},
            {QStringLiteral("players"), s.Players},
            {QStringLiteral("maxPlayers"), s.MaxPlayers},
            {QStringLiteral("lastReport"), static_cast<qint64>(s.LastReport)},
            {QStringLiteral("lastReportOutcome"), GameText(s.LastReportOutcome)},
            {QStringLiteral("lastUpload"), static_cast<qint64>(s.LastUpload)},
            {QStringLiteral("lastUploadOutcome"), GameText(s.LastUploadOutcome)}};
}

ApiReply StatusController::Get(const ApiCall&) {
    return ApiReply::Json(StatusJson(m_backend.Status()));
}

ApiReply StatusController::PlayersOverTime(const ApiCall&) {
    QJsonArray points;
    for (const auto& [time, players] : m_series)
        points.append(QJsonArray{static_cast<qint64>(time), players});
    return ApiReply::Json({{QStringLiteral("points"), points}});
}

void StatusController::Sample(int64_t time, int players) {
    if (!m_series.empty() && time - m_series.back().first < 60) {
        m_series.back().second = std::max(m_series.back().second, players);
    } else {
        m_series.emplace_back(time, players);
    }
    while (!m_series.empty() && time - m_series.front().first > 24 * 3600) m_series.pop_front();
}

}  // namespace tovi
