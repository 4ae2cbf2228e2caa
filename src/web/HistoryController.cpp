#include "HistoryController.h"

#include <QJsonArray>

namespace tovi {

namespace {

std::string Param(const QUrlQuery& query, const char* key) {
    return GameBytes(query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded)).substr(0, 200);
}

}  // namespace

ApiReply HistoryController::Run(HistoryQuery query) {
    QJsonArray rows;
    for (const HistoryRow& row : m_backend.SearchHistory(query)) {
        rows.append(QJsonObject{{QStringLiteral("kind"), QString::fromStdString(row.Kind)},
                                {QStringLiteral("time"), static_cast<qint64>(row.Time)},
                                {QStringLiteral("player"), GameText(row.Player)},
                                {QStringLiteral("text"), GameText(row.Text)},
                                {QStringLiteral("detail"), GameText(row.Detail)},
                                {QStringLiteral("match"), static_cast<qint64>(row.Match)}});
    }
    return ApiReply::Json({{QStringLiteral("rows"), rows}});
}

ApiReply HistoryController::Search(const ApiCall& call) {
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
        return ApiReply::Error(400, QStringLiteral("kind is one of chat, players, admin, matches, events."));
    query.Text = Param(call.Query, "text");
    query.Player = Param(call.Query, "player");
    query.From = call.Query.queryItemValue(QStringLiteral("from")).toLongLong();
    query.To = call.Query.queryItemValue(QStringLiteral("to")).toLongLong();
    const int limit = call.Query.queryItemValue(QStringLiteral("limit")).toInt();
    query.Limit = limit > 0 ? std::min(limit, 1000) : 200;
    return Run(query);
}

ApiReply HistoryController::Audit(const ApiCall& call) {
    HistoryQuery query;
    query.Kind = HistoryKind::Admin;
    query.Text = Param(call.Query, "text");
    const int limit = call.Query.queryItemValue(QStringLiteral("limit")).toInt();
    query.Limit = limit > 0 ? std::min(limit, 1000) : 200;
    return Run(query);
}

}  // namespace tovi
