#include "PlayersController.h"

#include <QJsonArray>

namespace tovi {

namespace {

constexpr size_t kMaxText = 200;

bool Target(const QJsonObject& body, int& slot, std::string& name) {
    const std::optional<int64_t> s = IntegerField(body, "slot", 0, 63);
    if (!s) return false;
    slot = static_cast<int>(*s);
    return TextField(body, "name", 64, false, name);
}

}  // namespace

QJsonArray PlayersJson(const std::vector<PanelPlayer>& players) {
    QJsonArray out;
    for (const PanelPlayer& p : players) {
        out.append(QJsonObject{{QStringLiteral("slot"), p.Slot},
                               {QStringLiteral("name"), GameText(p.Name)},
                               {QStringLiteral("team"), p.Team},
                               {QStringLiteral("kills"), p.Kills},
                               {QStringLiteral("deaths"), p.Deaths},
                               {QStringLiteral("ping"), p.Ping}});
    }
    return out;
}

ApiReply PlayersController::List(const ApiCall&) {
    return ApiReply::Json({{QStringLiteral("players"), PlayersJson(m_backend.Players())}});
}

ApiReply PlayersController::Talk(const ApiCall& call) {
    int slot = 0;
    std::string name, text;
    if (!Target(call.Body, slot, name) || !TextField(call.Body, "text", kMaxText, false, text))
        return ApiReply::Error(400, QStringLiteral("Give slot, name and text (one line)."));
    const PanelResult r = m_backend.Talk(Actor(call), slot, name, text);
    return ActionReply(r);
}

ApiReply PlayersController::Warn(const ApiCall& call) {
    int slot = 0;
    std::string name, text;
    if (!Target(call.Body, slot, name) || !TextField(call.Body, "text", kMaxText, false, text))
        return ApiReply::Error(400, QStringLiteral("Give slot, name and text (one line)."));
    const PanelResult r = m_backend.Warn(Actor(call), slot, name, text);
    return ActionReply(r);
}

ApiReply PlayersController::Punt(const ApiCall& call) {
    int slot = 0;
    std::string name, reason;
    if (!Target(call.Body, slot, name) || !TextField(call.Body, "reason", kMaxText, false, reason))
        return ApiReply::Error(400, QStringLiteral("Give slot, name and a reason."));
    const PanelResult r = m_backend.Punt(Actor(call), slot, name, reason);
    return ActionReply(r);
}

}  // namespace tovi
