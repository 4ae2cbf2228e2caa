#pragma once
// /api/v1/history: searching the record.
#include "ApiCall.h"
#include "PanelBackend.h"
#include "ServersController.h"

namespace tovi {

// The rows found, as the API answers them (the audit log answers the same way).
ApiReply HistoryRowsReply(const HistoryResult& found);
std::string QueryText(const QUrlQuery& query, const char* key);
// ?limit=N, at most 1000; nothing when it is no whole number from 1.
std::optional<int> QueryLimit(const QUrlQuery& query);
ApiReply BadNumber();

class HistoryController {
public:
    // Answers go to `asker`'s thread while it stands.
    HistoryController(PanelBackend& backend, ServersController& servers, QObject* asker)
        : m_backend(backend), m_asker(asker), m_servers(servers) {}
    // ?server=ID: another server's record on a shared store. Answered once the record is read.
    void Search(const ApiCall& call, ApiAnswer answer);

private:
    PanelBackend& m_backend;
    QObject* m_asker;
    ServersController& m_servers;
};

}  // namespace tovi
