#include "Notice.h"

#include <array>

namespace tovi {

namespace {

struct EventName {
    NoticeEvent event;
    const char* key;
    const char* title;
};
constexpr std::array kEventNames{
    EventName{NoticeEvent::ServerFound, "server_found", "Server found"},
    EventName{NoticeEvent::ServerLost, "server_lost", "Server lost"},
    EventName{NoticeEvent::NotHosting, "not_hosting", "Server not hosting for a while"},
    EventName{NoticeEvent::MatchEnd, "match_end", "Match end, with the top players"},
    EventName{NoticeEvent::PlayerBanned, "player_banned", "Player banned"},
    EventName{NoticeEvent::PlayerPunted, "player_punted", "Player punted"},
    EventName{NoticeEvent::PlayerWarned, "player_warned", "Player warned"},
    EventName{NoticeEvent::BanEnforced, "ban_enforced", "Ban enforced on a returning player"},
    EventName{NoticeEvent::WatchedWord, "watched_word", "Watched word in chat"},
    EventName{NoticeEvent::ReportFailing, "report_failing", "Status report or upload failing"},
    EventName{NoticeEvent::ReportRecovered, "report_recovered", "Status report or upload recovered"},
    EventName{NoticeEvent::UploadRejected, "upload_rejected", "Match refused by the stats service"},
    EventName{NoticeEvent::ServerCodeInUse, "server_code_in_use", "Server code in use by another copy"},
    EventName{NoticeEvent::Test, "test", "Test"},
};

std::string Ranked(const std::vector<RankedPlayer>& players, bool seconds) {
    std::string text;
    for (size_t i = 0; i < players.size() && i < 3; ++i) {
        if (!text.empty()) text += '\n';
        text += std::to_string(i + 1) + ". " + players[i].name + " (";
        if (seconds) {
            text += std::to_string(players[i].value / 60) + " min)";
        } else {
            text += std::to_string(players[i].value) + (players[i].value == 1 ? " kill)" : " kills)");
        }
    }
    return text.empty() ? "-" : text;
}

std::string Duration(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    std::string minutes = std::to_string(seconds / 60), rest = std::to_string(seconds % 60);
    return minutes + ":" + (rest.size() < 2 ? "0" + rest : rest);
}

Notice Make(NoticeEvent event, std::string title, std::vector<NoticeField> fields) {
    Notice n;
    n.event = event;
    n.title = std::move(title);
    n.fields = std::move(fields);
    return n;
}

}  // namespace

const char* EventKey(NoticeEvent event) {
    for (const EventName& e : kEventNames)
        if (e.event == event) return e.key;
    return "test";
}

const char* EventTitle(NoticeEvent event) {
    for (const EventName& e : kEventNames)
        if (e.event == event) return e.title;
    return "Test";
}

bool EventFromKey(const std::string& key, NoticeEvent& event) {
    for (const EventName& e : kEventNames) {
        if (key == e.key) {
            event = e.event;
            return true;
        }
    }
    return false;
}

const std::vector<NoticeEvent>& AllEvents() {
    static const std::vector<NoticeEvent> all = [] {
        std::vector<NoticeEvent> events;
        for (const EventName& e : kEventNames)
            if (e.event != NoticeEvent::Test) events.push_back(e.event);
        return events;
    }();
    return all;
}

bool IsTrouble(NoticeEvent event) {
    return event == NoticeEvent::ServerLost || event == NoticeEvent::NotHosting ||
           event == NoticeEvent::ReportFailing;
}

std::string PlainText(const Notice& notice) {
    std::string text;
    for (const NoticeField& f : notice.fields) {
        if (!text.empty()) text += '\n';
        text += f.name + ": " + f.value;
    }
    return text;
}

// Each string as its length, a colon and its bytes: any byte may appear in a value.
std::string PackFields(const std::vector<NoticeField>& fields) {
    std::string packed;
    for (const NoticeField& f : fields) {
        for (const std::string* s : {&f.name, &f.value}) packed += std::to_string(s->size()) + ":" + *s;
    }
    return packed;
}

bool UnpackFields(const std::string& packed, std::vector<NoticeField>& fields) {
    fields.clear();
    size_t at = 0;
    auto next = [&](std::string& out) {
        const size_t colon = packed.find(':', at);
        if (colon == std::string::npos || colon == at || colon - at > 9) return false;
        size_t length = 0;
        for (size_t i = at; i < colon; ++i) {
            if (packed[i] < '0' || packed[i] > '9') return false;
            length = length * 10 + static_cast<size_t>(packed[i] - '0');
        }
        if (length > packed.size() - colon - 1) return false;
        out = packed.substr(colon + 1, length);
        at = colon + 1 + length;
        return true;
    };
    while (at < packed.size()) {
        NoticeField f;
        if (!next(f.name) || !next(f.value)) return false;
        fields.push_back(std::move(f));
    }
    return true;
}

Notice ServerFoundNotice(const std::string& serverName) {
    return Make(NoticeEvent::ServerFound, "Server found", {{"Server", serverName}});
}

Notice ServerLostNotice(const std::string& serverName, const std::string& why) {
    return Make(NoticeEvent::ServerLost, "Server lost", {{"Server", serverName}, {"Why", why}});
}

Notice NotHostingNotice(const std::string& serverName, int minutes) {
    return Make(NoticeEvent::NotHosting, "Server not hosting",
                {{"Server", serverName}, {"For", std::to_string(minutes) + " min"}});
}

Notice MatchEndNotice(const std::string& mapName, const std::string& result, int64_t durationSeconds,
                      const std::vector<RankedPlayer>& topKills, const std::vector<RankedPlayer>& topTime) {
    return Make(NoticeEvent::MatchEnd, "Match ended",
                {{"Map", mapName},
                 {"Result", result},
                 {"Duration", Duration(durationSeconds)},
                 {"Top kills", Ranked(topKills, false)},
                 {"Top time", Ranked(topTime, true)}});
}

Notice AdminActionNotice(NoticeEvent event, const std::string& player, const std::string& who,
                         const std::string& why) {
    const char* title = event == NoticeEvent::PlayerBanned   ? "Player banned"
                        : event == NoticeEvent::PlayerPunted ? "Player punted"
                        : event == NoticeEvent::PlayerWarned ? "Player warned"
                                                             : "Ban enforced";
    return Make(event, title,
                {{"Player", player}, {"By", who.empty() ? "-" : who}, {"Why", why.empty() ? "-" : why}});
}

Notice WatchedWordNotice(const std::string& player, const std::string& message, const std::string& word) {
    return Make(NoticeEvent::WatchedWord, "Watched word in chat",
                {{"Player", player}, {"Said", message}, {"Matched", word}});
}

Notice ReportNotice(bool recovered, const std::string& what, int failures, const std::string& lastError) {
    if (recovered)
        return Make(NoticeEvent::ReportRecovered, what + " recovered",
                    {{"After", std::to_string(failures) + " failures"}});
    return Make(NoticeEvent::ReportFailing, what + " failing",
                {{"Failures in a row", std::to_string(failures)}, {"Last error", lastError}});
}

Notice UploadRejectedNotice(const std::string& reason, const std::string& where) {
    return Make(NoticeEvent::UploadRejected, "Match refused by the stats service",
                {{"Why", reason.empty() ? "-" : reason}, {"Set aside in", where}});
}

Notice ServerCodeInUseNotice(const std::string& code, const std::string& who) {
    return Make(NoticeEvent::ServerCodeInUse, "Server code in use by another copy",
                {{"Server code", code}, {"Held by", who}, {"Meanwhile", "this copy's history waits in its own file"}});
}

Notice TestNotice() {
    return Make(NoticeEvent::Test, "Test notice", {{"From", "Tovi stats"}});
}

}  // namespace tovi
