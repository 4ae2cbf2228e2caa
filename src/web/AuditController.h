#pragma once
// /api/v1/audit: the audit log, which is the record's admin actions (each with the account or
// the window that acted).
#include <QJsonObject>

#include "ApiCall.h"
#include "PanelBackend.h"
#include "ServersController.h"

namespace tovi {

// An admin action field by field, as the audit log and the live feed answer it.
QJsonObject AdminActionJson(const AdminAction& action);

class AuditController {
public:
    AuditController(PanelBackend& backend, ServersController& servers) : m_backend(backend), m_servers(servers) {}
    // ?text=, ?player= (the target), ?from=, ?to=, a page of ?limit= rows from ?offset=;
    // ?server=ID: another server's audit log on a shared store.
    ApiReply List(const ApiCall& call);

private:
    PanelBackend& m_backend;
    ServersController& m_servers;
};

}  // namespace tovi
