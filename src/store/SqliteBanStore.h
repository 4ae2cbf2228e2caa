#pragma once
// The ban list and the warnings in the record's database (tables bans and warnings, which the
// record's schema brings). A connection of its own: the list changes only at the operator's
// hand, and each change is written at once, in one transaction, never batched with the poll's.
#include <memory>
#include <string>
#include <vector>

#include "BanList.h"

struct sqlite3;

namespace tovi {

class SqliteBanStore final : public BanStore {
public:
    struct Opened {
        std::unique_ptr<SqliteBanStore> Store;  // null when the list cannot be kept
        std::string Error;
    };
    // The database must already hold the record's schema (SqliteHistoryStore::Open makes it).
    static Opened Open(const std::string& path);
    ~SqliteBanStore() override;
    SqliteBanStore(const SqliteBanStore&) = delete;
    SqliteBanStore& operator=(const SqliteBanStore&) = delete;

    bool Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error) override;
    bool Save(std::vector<BanEntry*> entries, std::string& error) override;
    bool AddWarning(PlayerWarning& warning, std::string& error) override;

private:
    explicit SqliteBanStore(sqlite3* db) : m_db(db) {}
    bool Exec(const char* sql);
    sqlite3* m_db;
};

}  // namespace tovi
