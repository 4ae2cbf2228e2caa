#pragma once
// /api/v1/console, /match/* and /automessages: what steers the server itself (admins only).
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

class ServerController {
public:
    explicit ServerController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply Console(const ApiCall& call);
    ApiReply MatchTime(const ApiCall& call);
    ApiReply ResetGames(const ApiCall& call);
    ApiReply AutoMessages(const ApiCall& call);
    ApiReply SetAutoMessages(const ApiCall& call);

private:
    PanelBackend& m_backend;
};

}  // namespace tovi
