#pragma once
// /api/v1/history and /api/v1/audit: searching the record; the audit log is its admin actions.
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

class HistoryController {
public:
    explicit HistoryController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply Search(const ApiCall& call);
    ApiReply Audit(const ApiCall& call);

private:
    ApiReply Run(HistoryQuery query);
    PanelBackend& m_backend;
};

}  // namespace tovi
