#pragma once
// The ban list and the warnings in the record's database (tables bans and warnings, which the
// record's schema brings). A connection of its own: the list changes only at the operator's
// hand, and each change is written at once, in one transaction, never batched with the poll's.
//
// The history writer's commits hold the file's lock for a while, and the event loop must never
// wait for them: a change that finds the lock held gets its ids at once and is written on a
// retry a little later, in order; Load shows it meanwhile. A change the file refuses for another
// reason (a full disk) fails as before and changes nothing.
#include <memory>
#include <string>
#include <vector>

#include "BanList.h"
#include "Scheduler.h"

struct sqlite3;

namespace tovi {

class SqliteStatement;

// Binds an entry to a statement that takes a ban row's 13 columns (id, name, name_key, name_raw,
// exact_case, reason, issued_by, issued_at, expires_at, notes, lifted_at, lifted_by, lift_reason),
// or a warning row's 7 (id, name, name_key, name_raw, time, issued_by, text), in that order.
void BindBanRow(SqliteStatement& statement, const BanEntry& entry);
void BindWarningRow(SqliteStatement& statement, const PlayerWarning& warning);

class SqliteBanStore final : public BanStore {
public:
    struct Opened {
        std::unique_ptr<SqliteBanStore> Store;  // null when the list cannot be kept
        std::string Error;
    };
    // The database must already hold the record's schema (SqliteHistoryStore::Open makes it).
    // `retry` runs the writes the file's lock held back; without it they wait for the next change.
    static Opened Open(const std::string& path, Scheduler* retry = nullptr);
    ~SqliteBanStore() override;
    SqliteBanStore(const SqliteBanStore&) = delete;
    SqliteBanStore& operator=(const SqliteBanStore&) = delete;

    bool Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error) override;
    bool Save(std::vector<BanEntry*> entries, std::string& error) override;
    bool AddWarning(PlayerWarning& warning, std::string& error) override;

    // Changes made that the file has not taken yet.
    size_t Unwritten() const { return m_bans.size() + m_warnings.size(); }
    static constexpr int kLockRetryMs = 50;
    static constexpr int kFailureRetryMs = 5000;

private:
    enum class Outcome { Written, Locked, Failed };

    SqliteBanStore(sqlite3* db, Scheduler* retry) : m_db(db), m_scheduler(retry) {}
    bool Exec(const char* sql);
    Outcome Write();
    // After a change was added to the unwritten ones: writes them now, unless a retry is due.
    Outcome WriteOrRetry();
    void RetryAfter(Outcome outcome);
    // The next id of `table`, past every one in the file and every one given.
    int64_t NextId(const char* table, int64_t& lastGiven);
    bool InFile(int64_t banId);

    sqlite3* m_db;
    Scheduler* m_scheduler;
    Scheduler::TimerId m_retry = 0;
    std::string m_why;  // the last write's failure
    std::vector<BanEntry> m_bans;  // unwritten, in the order they were made
    std::vector<PlayerWarning> m_warnings;
    int64_t m_lastBan = 0;
    int64_t m_lastWarning = 0;
};

}  // namespace tovi
