#pragma once
// What the admins are told about, away from the window: one notice per event, kept in the
// record's queue until each sink that wants it has taken it.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tovi {

enum class NoticeEvent {
    ServerFound,
    ServerLost,
    NotHosting,  // the server has not hosted a match for longer than the set minutes
    MatchEnd,
    PlayerBanned,
    PlayerPunted,
    PlayerWarned,
    BanEnforced,    // a banned player came back and was removed
    WatchedWord,    // chat held a watched word or pattern
    ReportFailing,  // the status report or the stats upload failed several times in a row
    ReportRecovered,
    UploadRejected,  // the stats service refused a match for good; it was set aside
    ServerCodeInUse,  // another live copy keeps this server code's history in the shared database
    Test,  // "Send test" in Settings
};

// The event's name in settings.ini, the database and the webhook's body.
const char* EventKey(NoticeEvent event);
// The event as Settings names it, in the window and on the panel.
const char* EventTitle(NoticeEvent event);
bool EventFromKey(const std::string& key, NoticeEvent& event);
// Every event but Test, in the order Settings lists them.
const std::vector<NoticeEvent>& AllEvents();
// Events that mean something is wrong until a later event says otherwise.
bool IsTrouble(NoticeEvent event);

struct NoticeField {
    std::string name;   // our own words
    std::string value;  // may hold the game's bytes (Windows-1252): untrusted
};

struct Notice {
    std::string id;  // stable across retries, restarts and sinks: receivers drop repeats by it
    NoticeEvent event = NoticeEvent::Test;
    int64_t createdMs = 0;  // Unix time in ms
    std::string title;      // our own words, may name the game's texts through fields only
    std::vector<NoticeField> fields;
};

// The fields as one plain text, a line each (for the desktop's balloon).
std::string PlainText(const Notice& notice);

// A notice's fields packed into one string for the queue, and back. False on damaged input.
std::string PackFields(const std::vector<NoticeField>& fields);
bool UnpackFields(const std::string& packed, std::vector<NoticeField>& fields);

// Builders of each event's notice: title and fields. Names, reasons and chat are the game's bytes.
struct RankedPlayer {
    std::string name;
    int64_t value = 0;  // kills, or seconds played
};
Notice ServerFoundNotice(const std::string& serverName);
Notice ServerLostNotice(const std::string& serverName, const std::string& why);
Notice NotHostingNotice(const std::string& serverName, int minutes);
Notice MatchEndNotice(const std::string& mapName, const std::string& result, int64_t durationSeconds,
                      const std::vector<RankedPlayer>& topKills, const std::vector<RankedPlayer>& topTime);
Notice AdminActionNotice(NoticeEvent event, const std::string& player, const std::string& who,
                         const std::string& why);
Notice WatchedWordNotice(const std::string& player, const std::string& message, const std::string& word);
Notice ReportNotice(bool recovered, const std::string& what, int failures, const std::string& lastError);
Notice UploadRejectedNotice(const std::string& reason, const std::string& where);
Notice ServerCodeInUseNotice(const std::string& code, const std::string& who);
Notice TestNotice();

}  // namespace tovi
