#pragma once
// Keeps listed players off the server: a player whose name has an entry in force in the ban list
// is told why ("<name> is banned: <reason>", with the time left of a timed ban) and punted a few
// seconds later through the punt path, whose slot check never lets the punt reach another
// player. One at a time; only while the server hosts a match; a player who comes back is punted
// again. Every announcement and punt is a console send the record keeps as the program's action.
//
// BanActions are the player menu's entries beside punt and ban: "Ban for" a preset reason
// or a reason and duration of the operator's choosing, and "Warn", with the warning ladder.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BanList.h"
#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "LogSink.h"
#include "MemoryClass.h"
#include "PuntBan.h"
#include "Scheduler.h"

namespace tovi {

// A player as the latest read found him: his name, the game's number for his slot, and where the
// slot lies in the game's slot table.
struct SeatedPlayer {
    std::string Name;
    uint8_t Slot = 0;
    int Position = -1;
};

class BanEnforcer {
public:
    using Clock = std::function<int64_t()>;  // Unix seconds

    BanEnforcer(BanList& list, MemoryClass& memory, ConsoleChannel& channel, PuntBan& puntBan,
                Scheduler& scheduler, LogSink& log, Clock now);
    ~BanEnforcer();
    BanEnforcer(const BanEnforcer&) = delete;
    BanEnforcer& operator=(const BanEnforcer&) = delete;

    // After every player read: the players present now.
    void PlayersRead(const std::vector<SeatedPlayer>& players);
    // One player, at once (a ban just added for him).
    void Check(const SeatedPlayer& player);

    // Announcing or punting, or players waiting for their turn.
    bool Busy() const { return m_current.has_value() || !m_queue.empty(); }

    // What players are told.
    static std::string Announcement(const BanEntry& ban, const std::string& name, int64_t now);

    // Time to read the announcement before the punt is typed.
    static constexpr int kReadTimeMs = 4000;
    // A punted player whom the next reads still find (the punt did not take) is tried again after this.
    static constexpr int64_t kRetrySeconds = 10;

private:
    struct Job {
        SeatedPlayer Player;
    };
    bool Hosting();
    void Consider(const SeatedPlayer& player, int64_t now);
    void Next();
    void Punt();
    void Finish();

    BanList& m_list;
    MemoryClass& m_memory;
    ConsoleChannel& m_channel;
    PuntBan& m_puntBan;
    Scheduler& m_scheduler;
    LogSink& m_log;
    Clock m_now;
    std::deque<Job> m_queue;
    std::optional<Job> m_current;
    std::optional<Scheduler::TimerId> m_timer;
    // Players enforced while they stayed present: name as read, when it ended.
    std::map<std::string, int64_t> m_done;
    std::set<std::string> m_hostTold;
    std::shared_ptr<int> m_life = std::make_shared<int>(0);
};

class BanActions {
public:
    using Clock = BanEnforcer::Clock;
    // An action to keep in the record: what, on whom, why, the details, whether it was done, and
    // who did it.
    using Record =
        std::function<void(ActionKind action, const std::string& target, const std::string& reason,
                           const std::string& detail, bool done, const std::string& why,
                           const std::string& who)>;

    BanActions(BanList& list, BanEnforcer& enforcer, PuntBan& puntBan, ConsoleChannel& channel,
               Dialogs& dialogs, PlayerRowLookup& rows, LogSink& log, Scheduler& scheduler, Clock now,
               Record record);
    ~BanActions();
    BanActions(const BanActions&) = delete;
    BanActions& operator=(const BanActions&) = delete;

    // Who the list names as the issuer of bans and warnings made here; the operator at the window
    // unless told otherwise. Asked when the action starts: what it leads to later is in that name.
    void SetIssuer(std::function<std::string()> issuer) { m_issuer = std::move(issuer); }
    // Told of a "Ban for" or "Warn" that ended before anything was done: refused (no player) or
    // skipped (not confirmed, nothing typed), and why; so that whoever waits on it learns it ended.
    using Unsent = std::function<void(ActionKind action, const std::string& target, bool refused,
                                      const std::string& why)>;
    void SetOnUnsent(Unsent unsent) { m_unsent = std::move(unsent); }
    void SetPresets(std::vector<BanPreset> presets) { m_presets = std::move(presets); }
    const std::vector<BanPreset>& Presets() const { return m_presets; }
    void SetLadder(WarningLadder ladder) { m_ladder = std::move(ladder); }
    const WarningLadder& Ladder() const { return m_ladder; }

    // "Ban for" a preset: asks to confirm, then lists the selected player and enforces the entry.
    void BanFor(size_t preset);
    // "Ban for" a reason and a duration that the operator types.
    void BanForOther();
    // "Warn": asks for the warning, says it to the player, keeps it and applies the ladder once
    // the player has had time to read it.
    void Warn();
    // A new match: a ladder counted within the match starts again.
    void MatchStarted();

    // Lists the entry's name, letter case, reason and notes in the name of its IssuedBy, for
    // `seconds` from now (0: for good); enforces it at once on those of `present` it names.
    // `rule`: the program's rule that bans, which the log names instead of whoever issued it.
    bool AddBan(BanEntry entry, int64_t seconds, const std::vector<SeatedPlayer>& present,
                const std::string& rule = {});

    // Between a warning said and the ladder's punt or ban it brings.
    static constexpr int kWarningReadMs = 5000;

private:
    void LadderStep(const SeatedPlayer& player, const WarningStep& step, const std::string& reason,
                    const std::string& by);

    std::optional<SeatedPlayer> Selected();
    void NotSent(ActionKind action, const std::string& target, bool refused, const std::string& why) {
        if (m_unsent) m_unsent(action, target, refused, why);
    }

    BanList& m_list;
    BanEnforcer& m_enforcer;
    PuntBan& m_puntBan;
    ConsoleChannel& m_channel;
    Dialogs& m_dialogs;
    PlayerRowLookup& m_rows;
    LogSink& m_log;
    Scheduler& m_scheduler;
    Clock m_now;
    Record m_record;
    Unsent m_unsent;
    std::set<Scheduler::TimerId> m_pauses;  // ladder steps waiting for their warning to be read
    std::function<std::string()> m_issuer = [] { return std::string(kOperatorAtWindow); };
    std::vector<BanPreset> m_presets;
    WarningLadder m_ladder;
    int64_t m_matchStart = 0;
    std::shared_ptr<int> m_life = std::make_shared<int>(0);
};

}  // namespace tovi
