#pragma once
// /api/v1/audit: the audit log, which is the record's admin actions (each with the account or
// the window that acted).
#include "ApiCall.h"
#include "PanelBackend.h"
#include "ServersController.h"

namespace tovi {

class AuditController {
public:
    AuditController(PanelBackend& backend, ServersController& servers) : m_backend(backend), m_servers(servers) {}
    // ?server=ID: another server's audit log on a shared store.
    ApiReply List(const ApiCall& call);

private:
    PanelBackend& m_backend;
    ServersController& m_servers;
};

}  // namespace tovi
