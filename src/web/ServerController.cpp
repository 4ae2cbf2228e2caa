#include "ServerController.h"

#include <QJsonArray>

namespace tovi {

ApiReply ServerController::Console(const ApiCall& call) {
    std::string line;
    // The console's own limit is checked with its words further in.
    if (!TextField(call.Body, "command", 1000, false, line))
        return ApiReply::Error(400, QStringLiteral("Give the command: one line."));
    const PanelResult r = m_backend.Command(Actor(call), line);
    return ActionReply(r);
}

namespace {

// An action that asks first answers 409 with its question; the page asks its user and sends the
// request again with "confirm": true.
ApiReply AskingReply(const PanelResult& r) {
    ApiReply reply = ActionReply(r);
    if (!r.Ok && !r.Question.empty()) {
        QJsonObject body = reply.Body.object();
        body.insert(QStringLiteral("question"), GameText(r.Question));
        reply.Body = QJsonDocument(body);
    }
    return reply;
}

bool Confirmed(const QJsonObject& body) {
    return body.value(QStringLiteral("confirm")).toBool(false);
}

}  // namespace

ApiReply ServerController::MatchTime(const ApiCall& call) {
    const QString change = call.Body.value(QStringLiteral("change")).toString();
    if (change != QLatin1String("more") && change != QLatin1String("less"))
        return ApiReply::Error(400, QStringLiteral("change is more or less."));
    return AskingReply(
        m_backend.MatchTime(Actor(call), change == QLatin1String("more"), Confirmed(call.Body)));
}

ApiReply ServerController::ResetGames(const ApiCall& call) {
    return AskingReply(m_backend.ResetGames(Actor(call), Confirmed(call.Body)));
}

ApiReply ServerController::AutoMessages(const ApiCall&) {
    const PanelAutoMessages m = m_backend.AutoMessages();
    QJsonArray lines;
    for (const std::string& line : m.Lines) lines.append(GameText(line));
    return ApiReply::Json({{QStringLiteral("enabled"), m.Enabled},
                           {QStringLiteral("intervalMinutes"), m.IntervalMinutes},
                           {QStringLiteral("lines"), lines}});
}

ApiReply ServerController::SetAutoMessages(const ApiCall& call) {
    PanelAutoMessages m;
    const QJsonValue enabled = call.Body.value(QStringLiteral("enabled"));
    const std::optional<int64_t> interval = IntegerField(call.Body, "intervalMinutes", 1, 20);
    const QJsonArray lines = call.Body.value(QStringLiteral("lines")).toArray();
    bool ok = enabled.isBool() && interval && lines.size() <= 100;
    for (const QJsonValue& line : lines) {
        std::string text;
        ok = ok && TextField(QJsonObject{{QStringLiteral("l"), line}}, "l", 200, false, text);
        m.Lines.push_back(text);
    }
    if (!ok)
        return ApiReply::Error(
            400, QStringLiteral("Give enabled, intervalMinutes (1 to 20) and up to 100 lines."));
    m.Enabled = enabled.toBool();
    m.IntervalMinutes = static_cast<int>(*interval);
    const PanelResult r = m_backend.SetAutoMessages(call.Account, m);
    return ActionReply(r);
}

}  // namespace tovi
