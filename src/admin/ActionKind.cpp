#include "ActionKind.h"

#include <array>
#include <utility>

namespace tovi {

namespace {

constexpr std::array<std::pair<ActionKind, const char*>, 26> kNames{{
    {ActionKind::Unnamed, "command"},
    {ActionKind::Chat, "chat"},
    {ActionKind::Command, "command"},
    {ActionKind::Talk, "talk"},
    {ActionKind::Warn, "warn"},
    {ActionKind::Punt, "punt"},
    {ActionKind::Ban, "ban"},
    {ActionKind::WarningPunt, "warning punt"},
    {ActionKind::BanListed, "ban listed"},
    {ActionKind::BanAnnouncement, "ban list announcement"},
    {ActionKind::BanEnforced, "ban list punt"},
    {ActionKind::BanLifted, "ban lifted"},
    {ActionKind::BanEdited, "ban edited"},
    {ActionKind::BanListImported, "ban list imported"},
    {ActionKind::BanListExported, "ban list exported"},
    {ActionKind::MatchTime, "match time"},
    {ActionKind::ResetGames, "reset games"},
    {ActionKind::AutomaticMessage, "automatic message"},
    {ActionKind::PeriodicChat, "periodic chat"},
    {ActionKind::AutoMessagesChanged, "automatic messages changed"},
    {ActionKind::SettingsSaved, "settings saved"},
    {ActionKind::RecordStoreChanged, "record store changed"},
    {ActionKind::Login, "login"},
    {ActionKind::LoginFailed, "login failed"},
    {ActionKind::LoginLockedOut, "login locked out"},
    {ActionKind::Logout, "logout"},
}};

}  // namespace

const char* ActionName(ActionKind kind) {
    for (const auto& [k, name] : kNames)
        if (k == kind) return name;
    return "other";
}

ActionKind ActionNamed(std::string_view name) {
    // Unnamed comes first in the table and is never the answer: "command" is Command.
    for (size_t i = 1; i < kNames.size(); ++i)
        if (name == kNames[i].second) return kNames[i].first;
    return ActionKind::Other;
}

bool AimsAtPlayer(ActionKind kind) {
    switch (kind) {
        case ActionKind::Talk:
        case ActionKind::Warn:
        case ActionKind::Punt:
        case ActionKind::Ban:
        case ActionKind::WarningPunt:
        case ActionKind::BanListed:
            return true;
        default:
            return false;
    }
}

bool RemovesPlayer(ActionKind kind) {
    return kind == ActionKind::Punt || kind == ActionKind::Ban || kind == ActionKind::WarningPunt ||
           kind == ActionKind::BanListed || kind == ActionKind::BanEnforced;
}

}  // namespace tovi
