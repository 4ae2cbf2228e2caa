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
    // Answers go to `asker`'s thread while it stands.
    AuditController(PanelBackend& backend, ServersController& servers, QObject* asker)
        : m_backend(backend), m_asker(asker), m_servers(servers) {}
    // ?text=, ?player= (the target), ?from=, ?to=, a page of ?limit= rows from ?offset=;
    // ?server=ID: another server's audit log on a shared store. Answered once the record is read.
    void List(const ApiCall& call, ApiAnswer answer);

private:
    PanelBackend& m_backend;
    QObject* m_asker;
    ServersController& m_servers;
};

}  // namespace tovi
