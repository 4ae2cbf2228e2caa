#include "ChatController.h"

#include <QJsonArray>

namespace tovi {

QJsonObject ChatLineJson(const PanelChatLine& line) {
    return {{QStringLiteral("time"), static_cast<qint64>(line.Time)},
            {QStringLiteral("sender"), GameText(line.Sender)},
            {QStringLiteral("text"), GameText(line.Text)},
            {QStringLiteral("sent"), line.Sent}};
}

ApiReply ChatController::Recent(const ApiCall& call) {
    const int max = std::clamp(call.Query.queryItemValue(QStringLiteral("max")).toInt(), 1, 500);
    QJsonArray lines;
    for (const PanelChatLine& line :
         m_backend.RecentChat(call.Query.hasQueryItem(QStringLiteral("max")) ? max : 100))
        lines.append(ChatLineJson(line));
    return ApiReply::Json({{QStringLiteral("lines"), lines}});
}

ApiReply ChatController::Send(const ApiCall& call) {
    std::string text;
    // The console's own limit is checked with its words further in.
    if (!TextField(call.Body, "text", 1000, false, text))
        return ApiReply::Error(400, QStringLiteral("Give the text: one line."));
    const PanelResult r = m_backend.Chat(Actor(call), text);
    return ActionReply(r);
}

}  // namespace tovi
