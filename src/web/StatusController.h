#pragma once
// /api/v1/status: the server's state, and the players' count over the last day and over one match
// (the one under way or the last, or one asked for), from the record, with the match ends marked.
#include <functional>

#include "ApiCall.h"
#include "PanelBackend.h"
#include "ServersController.h"

namespace tovi {

QJsonObject StatusJson(const PanelStatus& status);

class StatusController {
public:
    // Answers read from the record go to `asker`'s thread while it stands.
    StatusController(PanelBackend& backend, ServersController& servers, std::function<int64_t()> unixNow,
                     QObject* asker)
        : m_backend(backend), m_servers(servers), m_unixNow(std::move(unixNow)), m_asker(asker) {}
    ApiReply Get(const ApiCall& call);
    // ?match=ID&start=T: that match (T a moment at or before its start, for a match older than a day);
    // &server=ID: another server's, on a shared store. Answered once the record is read.
    void PlayersOverTime(const ApiCall& call, ApiAnswer answer);

private:
    PanelBackend& m_backend;
    ServersController& m_servers;
    std::function<int64_t()> m_unixNow;
    QObject* m_asker;
};

}  // namespace tovi
