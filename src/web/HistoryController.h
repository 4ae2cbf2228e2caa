#pragma once
// /api/v1/history: searching the record.
#include "ApiCall.h"
#include "PanelBackend.h"
#include "ServersController.h"

namespace tovi {

// The rows found, as the API answers them (the audit log answers the same way).
ApiReply HistoryRowsReply(PanelBackend& backend, const HistoryQuery& query);
std::string QueryText(const QUrlQuery& query, const char* key);
// ?limit=N, at most 1000; nothing when it is no whole number from 1.
std::optional<int> QueryLimit(const QUrlQuery& query);
ApiReply BadNumber();

class HistoryController {
public:
    HistoryController(PanelBackend& backend, ServersController& servers) : m_backend(backend), m_servers(servers) {}
    // ?server=ID: another server's record on a shared store.
    ApiReply Search(const ApiCall& call);

private:
    PanelBackend& m_backend;
    ServersController& m_servers;
};

}  // namespace tovi
