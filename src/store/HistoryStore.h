#pragma once
// The record: matches, player stints and statistics, chat read and sent, admin actions and
// server events, kept for good and searchable. The poll, the admin layer and the window write
// through this interface; an engine decides where the record lives. Texts are the game's bytes
// (Windows-1252). Times are Unix seconds, given by the caller so that tests run on their clock.
//
// Writes never wait on the disk: they are collected and written together at the end of each poll
// tick (Flush), in one transaction. A failed write never stops the program: the engine says so
// once, keeps the batch and tries again at the next flush.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ActionKind.h"
#include "PlayersOverTime.h"

namespace tovi {

struct MatchStart {
    int64_t Time = 0;
    std::string ServerName, MapName, MapFile, GameType;
};

// Why a match's statistics are not written yet: the stats file could not take them and they wait
// in memory, to be saved in order (StatsSavedLater).
inline constexpr const char* kStatsKeptInMemory =
    "the stats file could not be written: kept in memory until it can";

struct MatchEnd {
    int64_t Time = 0;
    std::string Result;  // empty when the result byte could not be read
    int PlayersAtEnd = 0;
    bool StatsWritten = false;
    std::string StatsRefused;  // why the statistics were not written, when they were not
};

struct PlayerStat {
    std::string Name;  // the statistic's name, e.g. "Kills"
    int64_t Value = 0;
};

// What an admin action came to.
enum class Outcome { Sent, Refused, Skipped };

struct AdminAction {
    int64_t Time = 0;
    std::string Who;     // "operator at the window" until accounts exist
    ActionKind Action = ActionKind::Other;
    std::string Target;  // the player aimed at, if any
    std::string Reason;
    std::string Detail;  // the command line, the text sent, the setting changed
    Outcome Result = Outcome::Sent;
    std::string Why;  // why it was refused or skipped
};

// One search result, whatever its kind.
struct HistoryRow {
    std::string Kind;  // "chat", "player", "admin", "match", "event"
    int64_t Time = 0;
    std::string Player;
    std::string Text;
    std::string Detail;
    int64_t Match = 0;  // the match the row belongs to (a match row: itself), 0 when none
    // When the player of a stint left (Unix seconds): none while he plays, when the program stopped
    // before he left, and for rows of other kinds. A face shows it in its own way of showing times.
    std::optional<int64_t> LeftAt;
    // An admin action found by Search: the action as recorded, field by field, for a face to put
    // in its own words. None for rows of other kinds and in the export.
    std::optional<AdminAction> Action = std::nullopt;
    // A line the program sent: when the game was seen showing it back (Unix seconds); none until
    // then, and for rows of other kinds.
    std::optional<int64_t> SeenAt = std::nullopt;
};

// A search's rows as a face receives them: the rows, or why they could not be read.
struct HistoryResult {
    std::vector<HistoryRow> Rows;
    std::string Error;  // empty when the rows were read whole
};

enum class HistoryKind { Chat, Players, Admin, Matches, Events };

// What to look for. Every filter given must hold.
struct HistoryQuery {
    HistoryKind Kind = HistoryKind::Chat;
    // As typed: words in chat (each the start of a word said), otherwise part of the row's texts
    // (a name, an action, a map, an event), letter case ignored.
    std::string Text;
    // Part of a name, letter case ignored: the sender or target of a chat line, the player of a
    // stint, the target of an admin action, a player seen in a match. Events have no player.
    std::string Player;
    int64_t From = 0;  // Unix seconds, inclusive; 0: no bound
    int64_t To = 0;    // Unix seconds, exclusive; 0: no bound
    int Limit = 1000;
    // In a store shared by several servers, the code of the server whose rows to look at; empty:
    // this server's own. The embedded file holds only its own.
    std::string Server;
    // Events only: the kind of event, exactly ("log"); the text is then looked for in the detail
    // alone. Empty: events of every kind.
    std::string EventKind;
};

struct PlayerStint {
    std::string Name;  // as read
    int Slot = 0;
    int Team = 0;
    int64_t Joined = 0;
    int64_t Left = 0;  // 0 while playing, or when the program stopped before he left
    int64_t Match = 0;
    std::string MapName;
};

struct PlayerMatch {
    int64_t Match = 0;
    int64_t Started = 0;
    int64_t Ended = 0;  // 0 when the match never ended while the program watched
    std::string ServerName, MapName, GameType, Result;
    int Team = 0;                   // from his statistics; 0 when none were written
    std::vector<PlayerStat> Stats;  // empty when none were written for him
};

// All that is known of one name, letter case ignored.
struct PlayerHistory {
    std::vector<std::string> Names;  // every spelling seen
    std::vector<PlayerStint> Stints;
    std::vector<PlayerMatch> Matches;
    std::vector<AdminAction> Actions;  // aimed at him
};

// How large the record is, for the operator.
struct HistorySize {
    int64_t Bytes = 0;  // the database and its write-ahead log
    int64_t Matches = 0, Stints = 0, Chat = 0, AdminActions = 0, Events = 0;
};

class HistoryStore {
public:
    virtual ~HistoryStore() = default;

    // A match begins; stints, statistics and chat that follow belong to it.
    virtual void MatchStarted(const MatchStart& match) = 0;
    virtual void MatchEnded(const MatchEnd& match) = 0;
    // The service confirmed the statistics of the oldest `matches` matches written and not yet
    // uploaded (the stats file uploads oldest first).
    virtual void StatsUploaded(int64_t time, int matches) = 0;
    // The statistics of the oldest `matches` matches kept in memory (kStatsKeptInMemory) reached
    // the stats file after all: they count as written, and their upload is confirmed as any other.
    virtual void StatsSavedLater(int matches) = 0;
    virtual void PlayerJoined(int64_t time, const std::string& name, int slot, int team) = 0;
    virtual void PlayerLeft(int64_t time, const std::string& name) = 0;
    virtual void PlayerStats(const std::string& name, int team, const std::vector<PlayerStat>& stats) = 0;
    virtual void ChatRead(int64_t time, const std::string& sender, const std::string& message) = 0;
    virtual void ChatSent(int64_t time, const std::string& target, const std::string& message) = 0;
    // The line sent at `sentAt` with this text was seen at `seenAt` in the game's chat: the sent
    // line keeps when, and the line read back is not kept again.
    virtual void ChatReadBack(int64_t /*sentAt*/, const std::string& /*message*/, int64_t /*seenAt*/) {}
    virtual void AdminActionDone(const AdminAction& action) = 0;
    // "found", "lost", "state", "status report", "upload", with what there is to say.
    virtual void ServerEvent(int64_t time, const std::string& kind, const std::string& detail) = 0;

    // Writes what was collected since the last flush in one transaction.
    virtual void Flush() = 0;

    // Newest first, at most `query.Limit` rows. No filter lists the newest rows of the kind.
    virtual std::vector<HistoryRow> Search(const HistoryQuery& query) = 0;
    // Why the last search, player record or size could not be read whole (the database is away,
    // the file is damaged); empty when it was. What was read is then none, or part of it: a face
    // says so rather than show it as all there is.
    virtual std::string ReadError() const { return {}; }
    // For an export that never holds the whole record: into `rows`, rows of `kind` from `from`
    // (Unix seconds, inclusive; 0: all) on, oldest first and worded as Search words them, at most
    // `piece` of them, beginning after the row `after` names (0: the first); `after` is then moved
    // to the last row read. No rows: the end. False, with `error` saying why, when the read failed.
    virtual bool ReadOldestFirst(HistoryKind /*kind*/, int64_t /*from*/, int64_t& /*after*/, int /*piece*/,
                                 std::vector<HistoryRow>& rows, std::string& /*error*/) {
        rows.clear();
        return true;
    }
    // Newest first in each list.
    virtual PlayerHistory PlayerRecord(const std::string& name) = 0;

    // Forgets rows older than `time` (Unix seconds): chat, admin actions, events, and matches that
    // ended before it with their stints and statistics (the newest match and the one under way
    // stay). At most `maxRows` rows per call, so that no call holds the disk long: call again
    // until it answers 0. Answers how many went.
    virtual int ForgetBefore(int64_t time, int maxRows) = 0;
    virtual HistorySize Size() = 0;
    // The matches from the one under way at `from` (Unix seconds) on, with their stints: what the
    // players chart counts. Reads what is written so far and never waits for the disk. `server`
    // as in HistoryQuery: another server's code in a shared store, empty for this server's own.
    virtual PlayerActivity Activity(int64_t /*from*/, const std::string& /*server*/ = {}) { return {}; }
    // The codes of the servers whose rows a shared store holds, for choosing among them; empty for
    // a store of this server alone.
    virtual std::vector<std::string> Servers() { return {}; }
    // The game server's name as the newest match of the server with this code recorded it; empty
    // when none is known.
    virtual std::string ServerName(const std::string& /*server*/) { return {}; }
};

// What runs when no record can be kept: everything is passed over.
class NoHistory : public HistoryStore {
public:
    void MatchStarted(const MatchStart&) override {}
    void MatchEnded(const MatchEnd&) override {}
    void StatsUploaded(int64_t, int) override {}
    void StatsSavedLater(int) override {}
    void PlayerJoined(int64_t, const std::string&, int, int) override {}
    void PlayerLeft(int64_t, const std::string&) override {}
    void PlayerStats(const std::string&, int, const std::vector<PlayerStat>&) override {}
    void ChatRead(int64_t, const std::string&, const std::string&) override {}
    void ChatSent(int64_t, const std::string&, const std::string&) override {}
    void AdminActionDone(const AdminAction&) override {}
    void ServerEvent(int64_t, const std::string&, const std::string&) override {}
    void Flush() override {}
    std::vector<HistoryRow> Search(const HistoryQuery&) override { return {}; }
    PlayerHistory PlayerRecord(const std::string&) override { return {}; }
    int ForgetBefore(int64_t, int) override { return 0; }
    HistorySize Size() override { return {}; }
};

inline const char* OutcomeText(Outcome outcome) {
    switch (outcome) {
        case Outcome::Sent:
            return "sent";
        case Outcome::Refused:
            return "refused";
        case Outcome::Skipped:
            return "skipped";
    }
    return "";
}

}  // namespace tovi
