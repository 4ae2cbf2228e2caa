#include "AuditController.h"

#include "HistoryController.h"

namespace tovi {

ApiReply AuditController::List(const ApiCall& call) {
    HistoryQuery query;
    query.Kind = HistoryKind::Admin;
    query.Text = QueryText(call.Query, "text");
    const std::optional<int> limit = QueryLimit(call.Query);
    if (!limit) return BadNumber();
    query.Limit = *limit;
    const std::optional<std::string> server = m_servers.ServerOf(call);
    if (!server) return ServersController::UnknownServer();
    query.Server = *server;
    return HistoryRowsReply(m_backend, query);
}

}  // namespace tovi
