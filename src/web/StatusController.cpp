#include "StatusController.h"

#include <QJsonArray>
#include <algorithm>
#include <optional>

#include "SettingsController.h"

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
            {QStringLiteral("lastUploadOutcome"), GameText(s.LastUploadOutcome)},
            {QStringLiteral("store"), SettingsController::Masked(s.Store)}};
}

ApiReply StatusController::Get(const ApiCall&) {
    return ApiReply::Json(StatusJson(m_backend.Status()));
}

namespace {

constexpr int64_t kDaySeconds = 24 * 60 * 60;

QJsonObject SeriesJson(const PlayerCountSeries& series) {
    QJsonArray points, ends;
    for (const PlayerCount& p : series.Points)
        points.append(QJsonArray{static_cast<qint64>(p.Time), p.Players});
    for (const PlayerCount& p : series.MatchEnds)
        ends.append(QJsonArray{static_cast<qint64>(p.Time), p.Players});
    return {{QStringLiteral("from"), static_cast<qint64>(series.From)},
            {QStringLiteral("to"), static_cast<qint64>(series.To)},
            {QStringLiteral("points"), points},
            {QStringLiteral("matchEnds"), ends},
            {QStringLiteral("peak"), series.Peak}};
}

// Not given: nothing; given as anything but a whole number: -1, which no check lets through.
std::optional<int64_t> QueryNumber(const QUrlQuery& query, const char* key) {
    if (!query.hasQueryItem(QLatin1String(key))) return std::nullopt;
    return QueryInteger(query, key, -1, 0, kQueryNumberMax).value_or(-1);
}

// The chart's answer: the day of `day`, and the match asked for (found in `chosen`) or the latest.
ApiReply ChartReply(int64_t now, const PlayerActivity& day, const PlayerActivity& chosen,
                    std::optional<int64_t> match) {
    const int64_t dayAgo = now - kDaySeconds;
    QJsonArray matches;
    for (const ActivityMatch& m : day.Matches) {
        matches.append(QJsonObject{{QStringLiteral("id"), static_cast<qint64>(m.Id)},
                                   {QStringLiteral("started"), static_cast<qint64>(m.Started)},
                                   {QStringLiteral("ended"), static_cast<qint64>(m.Ended)},
                                   {QStringLiteral("underWay"), m.UnderWay}});
    }
    QJsonObject out{{QStringLiteral("now"), static_cast<qint64>(now)},
                    {QStringLiteral("day"), SeriesJson(tovi::PlayersOverTime(day, dayAgo, now))},
                    {QStringLiteral("matches"), matches}};
    if (match) {
        const auto it = std::find_if(chosen.Matches.begin(), chosen.Matches.end(),
                                     [&](const ActivityMatch& m) { return m.Id == *match; });
        if (it == chosen.Matches.end())
            return ApiReply::Error(404, QStringLiteral("No such match in the record."));
        // A match whose end went unrecorded counts nobody past what the record last holds of it.
        const int64_t to = it->Ended != 0 ? it->Ended : now;
        QJsonObject series = SeriesJson(tovi::PlayersOverTime(chosen, it->Started, to));
        series.insert(QStringLiteral("id"), static_cast<qint64>(it->Id));
        series.insert(QStringLiteral("underWay"), it->UnderWay);
        out.insert(QStringLiteral("match"), series);
    } else if (const std::optional<MatchSpan> latest = LatestMatch(day, now)) {
        QJsonObject series = SeriesJson(tovi::PlayersOverTime(day, latest->From, latest->To));
        series.insert(QStringLiteral("underWay"), latest->UnderWay);
        out.insert(QStringLiteral("match"), series);
    }
    return ApiReply::Json(out);
}

}  // namespace

void StatusController::PlayersOverTime(const ApiCall& call, ApiAnswer answer) {
    const int64_t now = m_unixNow();
    const std::optional<int64_t> match = QueryNumber(call.Query, "match");
    const std::optional<int64_t> start = QueryNumber(call.Query, "start");
    if ((match && *match < 1) || (start && (*start < 0 || *start > now)))
        return answer(ApiReply::Error(400, QStringLiteral("match is a match's id, start a time before now.")));
    const std::optional<std::string> server = m_servers.ServerOf(call);
    if (!server) return answer(ServersController::UnknownServer());
    const int64_t dayAgo = now - kDaySeconds;
    m_backend.ActivityLater(dayAgo, *server, m_asker, [this, now, match, start, dayAgo, server = *server,
                                                       answer](PlayerActivity day) {
        if (!match || !start || *start >= dayAgo) return answer(ChartReply(now, day, day, match));
        // A match older than the day: read from its start too.
        m_backend.ActivityLater(*start, server, m_asker, [now, match, day, answer](const PlayerActivity& chosen) {
            answer(ChartReply(now, day, chosen, match));
        });
    });
}

}  // namespace tovi
