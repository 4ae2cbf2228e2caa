#pragma once
// /api/v1/players: who is playing, and talking to, warning and punting one of them.
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

QJsonArray PlayersJson(const std::vector<PanelPlayer>& players);

class PlayersController {
public:
    explicit PlayersController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply List(const ApiCall& call);
    ApiReply Talk(const ApiCall& call);
    ApiReply Warn(const ApiCall& call);
    ApiReply Punt(const ApiCall& call);

private:
    PanelBackend& m_backend;
};

}  // namespace tovi
