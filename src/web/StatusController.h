#pragma once
// /api/v1/status: the server's state, and the players' count over the last day.
#include <deque>

#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

QJsonObject StatusJson(const PanelStatus& status);

class StatusController {
public:
    explicit StatusController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply Get(const ApiCall& call);
    ApiReply PlayersOverTime(const ApiCall& call);
    // Notes the count at this time (Unix seconds): one point a minute, a day long.
    void Sample(int64_t time, int players);

private:
    PanelBackend& m_backend;
    std::deque<std::pair<int64_t, int>> m_series;
};

}  // namespace tovi
