#include "HistoryController.h"

#include <QJsonArray>

namespace tovi {

std::string QueryText(const QUrlQuery& query, const char* key) {
    return GameBytes(query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded)).substr(0, 200);
}

std::optional<int> QueryLimit(const QUrlQuery& query) {
    const std::optional<int64_t> limit = QueryInteger(query, "limit", 200, 1, kQueryNumberMax);
    if (!limit) return std::nullopt;
    return static_cast<int>(std::min<int64_t>(*limit, 1000));
}

ApiReply BadNumber() {
    return ApiReply::Error(400, QStringLiteral("limit is a number from 1; from and to are Unix times."));
}

ApiReply HistoryRowsReply(const HistoryResult& found) {
    // The record could not be read: said so, rather than shown as no rows. The database's words
    // go out as text in JSON, never as markup.
    if (!found.Error.empty()) return ApiReply::Error(503, QStringLiteral("Search failed: ") + GameText(found.Error));
    QJsonArray rows;
    for (const HistoryRow& row : found.Rows) {
        // A stint's end as a number, for a client to show as it shows times; null for no end.
        const QJsonValue leftAt = row.LeftAt ? QJsonValue(static_cast<qint64>(*row.LeftAt)) : QJsonValue();
        rows.append(QJsonObject{{QStringLiteral("kind"), QString::fromStdString(row.Kind)},
                                {QStringLiteral("time"), static_cast<qint64>(row.Time)},
                                {QStringLiteral("player"), GameText(row.Player)},
                                {QStringLiteral("text"), GameText(row.Text)},
                                {QStringLiteral("detail"), GameText(row.Detail)},
                                {QStringLiteral("match"), static_cast<qint64>(row.Match)},
                                {QStringLiteral("leftAt"), leftAt}});
    }
    return ApiReply::Json({{QStringLiteral("rows"), rows}});
}

void HistoryController::Search(const ApiCall& call, ApiAnswer answer) {
    static const std::pair<const char*, HistoryKind> kKinds[] = {{"chat", HistoryKind::Chat},
                                                                 {"players", HistoryKind::Players},
                                                                 {"admin", HistoryKind::Admin},
                                                                 {"matches", HistoryKind::Matches},
                                                                 {"events", HistoryKind::Events}};
    HistoryQuery query;
    const QString kind = call.Query.queryItemValue(QStringLiteral("kind"));
    bool known = kind.isEmpty();
    for (const auto& [name, value] : kKinds) {
        if (kind == QLatin1String(name)) {
            query.Kind = value;
            known = true;
        }
    }
    if (!known)
        return answer(ApiReply::Error(400, QStringLiteral("kind is one of chat, players, admin, matches, events.")));
    query.Text = QueryText(call.Query, "text");
    query.Player = QueryText(call.Query, "player");
    const std::optional<int64_t> from = QueryInteger(call.Query, "from", 0, 0, kQueryNumberMax);
    const std::optional<int64_t> to = QueryInteger(call.Query, "to", 0, 0, kQueryNumberMax);
    const std::optional<int> limit = QueryLimit(call.Query);
    if (!from || !to || !limit) return answer(BadNumber());
    query.From = *from;
    query.To = *to;
    query.Limit = *limit;
    const std::optional<std::string> server = m_servers.ServerOf(call);
    if (!server) return answer(ServersController::UnknownServer());
    query.Server = *server;
    m_backend.SearchHistoryLater(query, m_asker,
                                 [answer](const HistoryResult& found) { answer(HistoryRowsReply(found)); });
}

}  // namespace tovi
