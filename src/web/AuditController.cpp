#include "AuditController.h"

#include <QJsonArray>

#include "HistoryController.h"

namespace tovi {

namespace {

// Pages reach this far back; from and to narrow a search to older rows.
constexpr int64_t kDeepest = 1000;

// A page of the admin actions found, from the `first`th on, or why they could not be read.
ApiReply AuditRows(const HistoryResult& result, int64_t first, int limit) {
    // The record could not be read: said so, rather than shown as an empty log.
    if (!result.Error.empty()) return ApiReply::Error(503, QStringLiteral("Search failed: ") + GameText(result.Error));
    const std::vector<HistoryRow>& found = result.Rows;
    QJsonArray rows;
    for (size_t i = static_cast<size_t>(first); i < found.size() && rows.size() < limit; ++i) {
        const HistoryRow& row = found[i];
        // The row as the history search words it, and the action field by field for a client to word.
        QJsonObject json{{QStringLiteral("kind"), QString::fromStdString(row.Kind)},
                         {QStringLiteral("time"), static_cast<qint64>(row.Time)},
                         {QStringLiteral("player"), GameText(row.Player)},
                         {QStringLiteral("text"), GameText(row.Text)},
                         {QStringLiteral("detail"), GameText(row.Detail)}};
        if (row.Action) json.insert(QStringLiteral("action"), AdminActionJson(*row.Action));
        rows.append(json);
    }
    const bool more = static_cast<int64_t>(found.size()) > first + limit;
    return ApiReply::Json({{QStringLiteral("rows"), rows}, {QStringLiteral("more"), more}});
}

}  // namespace

QJsonObject AdminActionJson(const AdminAction& a) {
    return {{QStringLiteral("time"), static_cast<qint64>(a.Time)},
            {QStringLiteral("who"), GameText(a.Who)},
            {QStringLiteral("action"), QString::fromLatin1(ActionName(a.Action))},
            {QStringLiteral("target"), GameText(a.Target)},
            {QStringLiteral("reason"), GameText(a.Reason)},
            {QStringLiteral("detail"), GameText(a.Detail)},
            {QStringLiteral("outcome"), QString::fromLatin1(OutcomeText(a.Result))},
            {QStringLiteral("why"), GameText(a.Why)}};
}

void AuditController::List(const ApiCall& call, ApiAnswer answer) {
    HistoryQuery query;
    query.Kind = HistoryKind::Admin;
    query.Text = QueryText(call.Query, "text");
    query.Player = QueryText(call.Query, "player");
    const std::optional<int64_t> from = QueryInteger(call.Query, "from", 0, 0, kQueryNumberMax);
    const std::optional<int64_t> to = QueryInteger(call.Query, "to", 0, 0, kQueryNumberMax);
    const std::optional<int> limit = QueryLimit(call.Query);
    const std::optional<int64_t> offset = QueryInteger(call.Query, "offset", 0, 0, kQueryNumberMax);
    if (!from || !to || !limit || !offset) return answer(BadNumber());
    const std::optional<std::string> server = m_servers.ServerOf(call);
    if (!server) return answer(ServersController::UnknownServer());
    query.Server = *server;
    query.From = *from;
    query.To = *to;
    // One row past the page says whether another follows.
    const int64_t first = std::min(*offset, kDeepest);
    query.Limit = static_cast<int>(std::min(first + *limit + 1, kDeepest));
    const int limitRows = *limit;
    m_backend.SearchHistoryLater(query, m_asker, [answer, first, limitRows](const HistoryResult& result) {
        answer(AuditRows(result, first, limitRows));
    });
}

}  // namespace tovi
