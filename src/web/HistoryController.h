#pragma once
// /api/v1/history: searching the record.
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

// The rows found, as the API answers them (the audit log answers the same way).
ApiReply HistoryRowsReply(PanelBackend& backend, const HistoryQuery& query);
std::string QueryText(const QUrlQuery& query, const char* key);
int QueryLimit(const QUrlQuery& query);

class HistoryController {
public:
    explicit HistoryController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply Search(const ApiCall& call);

private:
    PanelBackend& m_backend;
};

}  // namespace tovi
