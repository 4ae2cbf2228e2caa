#pragma once
// The program's own ban list: who is kept off the server, why, by whom, since when and until when.
// The game forgets its bans; this list is kept in the record and enforced by BanEnforcer. Names
// are the game's bytes (Windows-1252). Times are Unix seconds, given by the caller.
//
// A name matches an entry after blanks around both are dropped, ignoring letter case with the
// program's one folding routine (so "É" and "é" are one letter), or exactly when the entry says so.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovi {

struct BanEntry {
    int64_t Id = 0;  // 0 until the list holds it
    std::string Name;
    bool ExactCase = false;
    std::string Reason;
    std::string IssuedBy;
    int64_t IssuedAt = 0;
    int64_t ExpiresAt = 0;  // 0: never
    std::string Notes;
    int64_t LiftedAt = 0;  // 0: not lifted
    std::string LiftedBy;
    std::string LiftReason;
    bool operator==(const BanEntry&) const = default;
};

enum class BanState { Active, Expired, Lifted };
// An entry is in force up to, not including, the second it expires at.
BanState StateOf(const BanEntry& entry, int64_t now);
const char* BanStateText(BanState state);

// The name with the blanks around it dropped; folded to small letters unless `exactCase`.
std::string BanNameKey(std::string_view name, bool exactCase = false);
bool BanNameMatches(const BanEntry& entry, std::string_view playerName);

struct PlayerWarning {
    int64_t Id = 0;
    std::string Name;
    int64_t Time = 0;
    std::string IssuedBy;
    std::string Text;
};

// Where the list is kept. Every write is one transaction: all of it is kept, or nothing.
class BanStore {
public:
    virtual ~BanStore() = default;
    virtual bool Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings,
                      std::string& error) = 0;
    // Inserts the entries whose Id is 0 (and sets their Id), updates the others.
    virtual bool Save(std::vector<BanEntry*> entries, std::string& error) = 0;
    virtual bool AddWarning(PlayerWarning& warning, std::string& error) = 0;
};

class BanList {
public:
    // Without a store the list lives in memory only.
    explicit BanList(BanStore* store = nullptr) : m_store(store) {}
    // Keeps the list in `store` from now on; Load reads what it holds.
    void SetStore(BanStore* store) { m_store = store; }

    bool Load(std::string& error);
    // The list as its store was read elsewhere (a re-read that did not wait).
    void Replace(std::vector<BanEntry> bans, std::vector<PlayerWarning> warnings);

    // Oldest first.
    const std::vector<BanEntry>& Entries() const { return m_entries; }
    const BanEntry* Find(int64_t id) const;
    // The entry in force for a player's name: one that never expires before one that does, then
    // the one that expires last.
    const BanEntry* ActiveBanFor(std::string_view playerName, int64_t now) const;

    // Every entry the name matches, in force or not, oldest first: the player's ban record.
    std::vector<BanEntry> EntriesFor(std::string_view playerName) const;

    // Checks the entry (a name; no control characters in the texts the operator types) and keeps
    // it; its Id, or nothing with
    // `error` saying why.
    std::optional<int64_t> Add(BanEntry entry, std::string& error);
    // Changes an entry's name, case flag, reason, expiry and notes; who issued it and when stay.
    bool Edit(const BanEntry& changed, std::string& error);
    bool Lift(int64_t id, int64_t time, const std::string& by, const std::string& reason, std::string& error);
    // All of them, or none when one is not sound.
    bool AddAll(std::vector<BanEntry> entries, std::string& error);

    bool AddWarning(PlayerWarning warning, std::string& error);
    // Warnings to this name (matched as ban names are, ignoring case) at or after `since`.
    int WarningsSince(std::string_view name, int64_t since) const;
    const std::vector<PlayerWarning>& Warnings() const { return m_warnings; }

    // Grows at every change, so that views know when to refresh.
    uint64_t Revision() const { return m_revision; }

    // Why an entry cannot be kept; "" when it can.
    static std::string Problem(const BanEntry& entry);

private:
    bool Persist(std::vector<BanEntry*> entries, std::string& error);

    BanStore* m_store;
    std::vector<BanEntry> m_entries;
    std::vector<PlayerWarning> m_warnings;
    int64_t m_nextId = 1;  // for a list without a store
    uint64_t m_revision = 0;
};

// Durations as the operator types them: "30m", "2h", "1d12h", "1w", "90s"; "never" (or "0")
// for no end. Seconds, 0 for never; nothing when the text is no duration.
std::optional<int64_t> ParseDuration(std::string_view text);
// The same form back: "1d12h", "never".
std::string DurationText(int64_t seconds);
// "for 1w", or "for good" for no end: how long a ban holds, as the log and the record say it.
std::string ForDuration(int64_t seconds);
// What remains, for players: "2 days 3 hours", "5 minutes", "40 seconds".
std::string TimeLeftText(int64_t seconds);

// A preset reason with its default duration (0: never), offered in the player menu.
struct BanPreset {
    std::string Reason;
    int64_t Seconds = 0;
    bool operator==(const BanPreset&) const = default;
};
// One preset a line: the duration, a blank, the reason ("7d Cheating"). Lines that are not sound
// go to `bad` as "line N: why".
std::vector<BanPreset> ParseBanPresets(std::string_view text, std::vector<std::string>* bad = nullptr);
std::string BanPresetsText(const std::vector<BanPreset>& presets);

// What repeated warnings lead to: at `Count` warnings within the window, a punt or a ban.
struct WarningStep {
    int Count = 0;
    bool Ban = false;
    int64_t BanSeconds = 0;  // 0: never ends
    bool operator==(const WarningStep&) const = default;
};
struct WarningLadder {
    bool On = false;
    int WindowMinutes = 0;           // 0: the current match
    std::vector<WarningStep> Steps;  // by Count, rising
    // The step a player reaches with `count` warnings: the highest whose Count he has reached.
    std::optional<WarningStep> StepFor(int count) const;
};
// "2 punt, 3 ban 1d": steps separated by commas; nothing when the text is not sound.
std::optional<std::vector<WarningStep>> ParseWarningSteps(std::string_view text);
std::string WarningStepsText(const std::vector<WarningStep>& steps);

}  // namespace tovi
