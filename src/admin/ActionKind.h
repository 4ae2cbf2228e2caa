#pragma once
// What an admin action is. Every face, the record, the notices and the in-game feedback tell
// actions apart by this, never by their words; the words are the record's and the audit log's
// (stored, so they never change).
#include <string>
#include <string_view>

namespace tovi {

enum class ActionKind {
    Unnamed,  // a console send known by its command word alone: chat or a command
    Chat,
    Command,
    Talk,
    Warn,
    Punt,
    Ban,
    WarningPunt,          // the warning ladder's punt
    BanListed,            // a ban added to the program's list ("Ban for", the ladder's ban)
    BanAnnouncement,      // the chat line that tells why a listed player is punted
    BanEnforced,          // the punt of a listed player
    BanLifted,
    BanEdited,
    BanListImported,
    BanListExported,
    MatchTime,
    ResetGames,
    AutomaticMessage,
    PeriodicChat,
    AutoMessagesChanged,
    SettingsSaved,
    RecordStoreChanged,
    Login,
    LoginFailed,
    LoginLockedOut,
    Logout,
    Other,  // a word the record holds that this program does not know
};

// The words the record and the audit log keep for `kind`.
const char* ActionName(ActionKind kind);
// The kind the record's words stand for; Other when none.
ActionKind ActionNamed(std::string_view name);

// Whether the action aims at a player in the game (the player menu's actions and the list's).
bool AimsAtPlayer(ActionKind kind);
// Whether the action takes a player off the server.
bool RemovesPlayer(ActionKind kind);

}  // namespace tovi
