#pragma once
// /api/v1/audit: the audit log, which is the record's admin actions (each with the account or
// the window that acted).
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

class AuditController {
public:
    explicit AuditController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply List(const ApiCall& call);

private:
    PanelBackend& m_backend;
};

}  // namespace tovi
