#pragma once
// /api/v1/chat: the recent chat, and a line sent to everyone.
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

QJsonObject ChatLineJson(const PanelChatLine& line);

class ChatController {
public:
    explicit ChatController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply Recent(const ApiCall& call);
    ApiReply Send(const ApiCall& call);

private:
    PanelBackend& m_backend;
};

}  // namespace tovi
