#pragma once
// The community's ban list and warnings in the shared PostgreSQL database, on a connection of its
// own: each change is written at once, in one transaction. Every change is announced on the
// database's bans channel (a trigger does it), which Listen() subscribes this connection to.
#include <memory>
#include <string>
#include <vector>

#include "BanList.h"
#include "PgConnection.h"

namespace tovi {

class PgBanStore final : public BanStore {
public:
    struct Opened {
        std::unique_ptr<PgBanStore> Store;  // null when the list cannot be kept
        std::string Error;
    };
    // The database must already hold the record's schema (PgHistoryStore::Open makes it).
    // `cache`, when given, is the server's own SQLite record: each list read from the database is
    // copied into its bans and warnings tables, and while the database cannot be reached (at
    // start too) the list is read from there, so that the bans last known are still enforced.
    static Opened Open(const std::string& conninfo, const std::string& cache = {});

    bool Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error) override;
    bool Save(std::vector<BanEntry*> entries, std::string& error) override;
    bool AddWarning(PlayerWarning& warning, std::string& error) override;

    // Whether the last Load came from the cache because the database could not be reached.
    bool Offline() const { return m_offline; }

    // Subscribes to the announcements of changes; false when the database is away.
    bool Listen();
    // The socket that becomes readable when an announcement arrives; -1 while the database is away.
    int Socket() const;
    // Whether a change was announced since the last call (reads the socket without waiting).
    // A connection found broken is given up: the next Load connects again.
    bool TakeChanged();

private:
    PgBanStore(std::string conninfo, std::unique_ptr<PgConnection> conn, std::string cache)
        : m_conninfo(std::move(conninfo)), m_conn(std::move(conn)), m_cache(std::move(cache)) {}
    bool LoadCache(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error);
    void SaveCache(const std::vector<BanEntry>& bans, const std::vector<PlayerWarning>& warnings);
    bool Connected(std::string& error);
    // Opens a transaction, on a new connection when the one in hand turns out to be dropped.
    bool Begin(const char* begin, std::string& error);
    std::string m_conninfo;
    std::unique_ptr<PgConnection> m_conn;
    bool m_listening = false;
    std::string m_cache;
    bool m_offline = false;
};

}  // namespace tovi
