#pragma once
// The community's ban list and warnings in the shared PostgreSQL database, on a connection of its
// own: each change is written at once, in one transaction. Every change is announced on the
// database's bans channel (a trigger does it), which Listen() subscribes this connection to.
#include <chrono>
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
    // Without `cache`, the database must already hold the record's schema (PgHistoryStore::Open
    // makes it) and answer now. `cache`, when given, is the server's own SQLite record: each list
    // read from the database is copied into its bans and warnings tables, and while the database
    // cannot be reached (at start too) the list is read from there, so that the bans last known
    // are still enforced. With a cache the store never waits for a connection when it re-reads the
    // list: one is begun and carried on (Advance) as its socket becomes ready, and the schema is
    // brought forward once it answers; changes, which the operator waits for, wait a few seconds
    // for it at most.
    // `deadlineMs` bounds each statement (PgConnection::kDeadlineMs but in tests): a database
    // that hangs costs one re-read that long, and the list then comes from the cache.
    static Opened Open(const std::string& conninfo, const std::string& cache = {},
                       int deadlineMs = PgConnection::kDeadlineMs);

    bool Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error) override;
    bool Save(std::vector<BanEntry*> entries, std::string& error) override;
    bool AddWarning(PlayerWarning& warning, std::string& error) override;

    // The re-read the event loop makes, which never waits: each call carries it on as far as it
    // goes now. With no read under way one is begun (on a new connection when needed, whose
    // making is carried on first, and listening on it); a read under way takes what has arrived.
    enum class Reread { Waiting, Read, FromCache, Failed };
    // Waiting: for the socket (Socket(), WantsWrite()) or the deadline (ReadDeadlineMs() after it
    // began). Read: `bans` and `warnings` hold the list as the database has it. FromCache: as the
    // cache has it, the database being away or silent past the deadline. Failed: neither could be
    // read; `error` says why.
    Reread Step(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error);
    bool Reading() const { return m_conn && m_conn->Answering(); }
    int DeadlineMs() const { return m_deadlineMs; }

    // Whether the last Load came from the cache because the database could not be reached (not
    // merely because it has not answered yet).
    bool Offline() const { return m_offline && m_away; }
    // Why, in words for the log: the database cannot be reached, or it is of a newer schema.
    std::string OfflineReason() const;

    // Subscribes to the announcements of changes; false when the database is away (or not yet
    // connected).
    bool Listen();
    // The socket that becomes readable when an announcement arrives, or, while Connecting(), the
    // one the connection being made waits on (for writing when WantsWrite()); -1 while the
    // database is away.
    int Socket() const;
    bool Connecting() const { return m_conn && m_conn->Connecting(); }
    bool WantsWrite() const { return m_conn && m_conn->WantsWrite(); }
    // Carries a connection being made on, without waiting; true once it stands.
    bool Advance();
    // Re-reads a connection being made may last without an answer before it is begun anew.
    static constexpr int kConnectLoads = 3;
    // Whether a change was announced since the last call (reads the socket without waiting).
    // A connection found broken is given up and counts as a change: announcements made while it
    // was going are lost, so the list is read again over a new one.
    bool TakeChanged();

private:
    PgBanStore(std::string conninfo, std::unique_ptr<PgConnection> conn, std::string cache, int deadlineMs)
        : m_conninfo(std::move(conninfo)),
          m_conn(std::move(conn)),
          m_cache(std::move(cache)),
          m_deadlineMs(deadlineMs) {}
    // The connection gave up on a statement or broke: the list comes from the cache until a new
    // one stands.
    bool FromCache(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error);
    // The list out of a read's two results.
    static void Parse(const PgResult& b, const PgResult& w, std::vector<BanEntry>& bans,
                      std::vector<PlayerWarning>& warnings);
    // A change the operator makes takes the connection: a re-read under way is waited for and dropped.
    void SettleRead();
    bool LoadCache(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error);
    void SaveCache(const std::vector<BanEntry>& bans, const std::vector<PlayerWarning>& warnings, bool whole);
    // Whether the connection stands; `wait`: waiting a few seconds for one being made.
    bool Connected(std::string& error, bool wait);
    // Opens a transaction, on a new connection when the one in hand turns out to be dropped.
    bool Begin(const char* begin, std::string& error, bool wait);
    std::string m_conninfo;
    std::unique_ptr<PgConnection> m_conn;
    bool m_listening = false;
    std::string m_cache;
    int m_deadlineMs;
    std::string m_newer;  // the database's schema is newer than this program knows
    bool m_offline = false;
    bool m_away = false;      // the last connection tried failed or never answered
    bool m_migrated = false;  // the schema was brought forward on this run
    int m_connectLoads = 0;   // re-reads the connection being made has lasted
    std::chrono::steady_clock::time_point m_connectingSince;
    std::vector<PgResult> m_answers;  // of the re-read under way
    bool m_listenSent = false;        // the re-read under way began listening
};

}  // namespace tovi
