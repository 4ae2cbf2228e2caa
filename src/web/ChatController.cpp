#include "ChatController.h"

#include <QJsonArray>

namespace tovi {

QJsonObject ChatLineJson(const PanelChatLine& line) {
    return {{QStringLiteral("time"), static_cast<qint64>(line.Time)},
            {QStringLiteral("sender"), GameText(line.Sender)},
            {QStringLiteral("text"), GameText(line.Text)},
            {QStringLiteral("sent"), line.Sent},
            {QStringLiteral("by"), GameText(line.By)}};
}

ApiReply ChatController::Recent(const ApiCall& call) {
    // More than the panel keeps is all it keeps.
    const std::optional<int64_t> max = QueryInteger(call.Query, "max", 100, 1, kQueryNumberMax);
    if (!max) return ApiReply::Error(400, QStringLiteral("max is a number of lines from 1."));
    QJsonArray lines;
    for (const PanelChatLine& line : m_backend.RecentChat(static_cast<int>(std::min<int64_t>(*max, 500))))
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
