#pragma once
// The record in a PostgreSQL database shared by the community's servers: each row carries this
// server's code, and reads see this server's rows. Rows are collected as in the embedded file and
// written at the end of each tick in one transaction. A batch that cannot be written (the
// database is away) is kept, in order, and written once the database answers again; each batch
// carries a key the database keeps, so that a batch sent again after its commit's answer was lost
// is not written twice.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HistoryReads.h"
#include "PgConnection.h"
#include "PgSchema.h"

struct sqlite3;

namespace tovi {

class PgHistoryStore final : public HistoryReads {
public:
    using LogFn = std::function<void(const std::string&)>;

    static constexpr int kSchemaVersion = pgschema::kSchemaVersion;  // of the shared database's own schema
    // Beyond this many rows waiting for a database that stays away, the oldest go.
    static constexpr size_t kMaxPending = 20000;
    // At most this many batches are sent before their answers came.
    static constexpr size_t kMaxInFlight = 64;
    // Behind (more batches wait than may be in flight), a flush takes the answers that come
    // within this long and sends more in their place, so that a long outbox drains in a few
    // ticks without holding up any of them for long.
    static constexpr int kCatchUpBudgetMs = 8;
    // While the database is away, a new connection is tried at every this many flushes.
    static constexpr int kReconnectFlushes = 5;
    // A connection being made that has not answered after this many flushes is given up.
    static constexpr int kConnectFlushes = 10;
    // How long the operator's reads wait for a connection being made.
    static constexpr int kWaitMs = 5000;
    // A copy's lease on its server code lapses when its heartbeat (a batch written; an empty one
    // when there is nothing to write) is this old: the copy is taken for gone.
    static constexpr int kLeaseStaleS = 90;
    static constexpr int kHeartbeatS = 20;
    // While another copy holds the code, its lease is asked for again at every this many flushes.
    static constexpr int kLeaseRetryFlushes = 15;
    // How long the end waits for the answers to the batches sent, when they wait in the outbox.
    static constexpr int kEndWaitMs = 1000;
    // Batches of the outbox held in memory at most; the rest wait on disk and are read, in
    // order, as these are written. Room for those in flight and as many again.
    static constexpr size_t kOutboxWindow = 4 * kMaxInFlight;
    // Batch keys older than this are pruned (summed up in a mark per run), some at a time.
    static constexpr int kBatchKeyDays = 14;
    static constexpr int kPruneKeys = 200;       // keys at most in one step
    static constexpr int kPruneEveryBatches = 256;  // one step with the first batch and then every so many

    struct Opened {
        std::unique_ptr<PgHistoryStore> Store;  // null when the record cannot be kept
        std::string Error;
    };
    // `server` is this game server's code, the one the stats service knows it by. `outbox`, when
    // given, is the server's own SQLite record (schema 8 or later): batches wait there, in
    // order, until the database has them, so that a program stopped or killed meanwhile sends
    // them at its next start, and the store opens while the database is away too. Without it
    // they wait in memory, and a database that cannot be reached at opening is a failure.
    // `deadlineMs` bounds each statement and the wait for the answers to the batches sent
    // (PgConnection::kDeadlineMs but in tests): a database that hangs costs no flush more than a
    // look at the socket, and past the deadline the batches wait as while it is away.
    static Opened Open(const std::string& conninfo, const std::string& server, LogFn log,
                       int schemaVersion = kSchemaVersion, const std::string& outbox = {},
                       int deadlineMs = PgConnection::kDeadlineMs, size_t window = kOutboxWindow);
    ~PgHistoryStore() override;
    PgHistoryStore(const PgHistoryStore&) = delete;
    PgHistoryStore& operator=(const PgHistoryStore&) = delete;

    void MatchStarted(const MatchStart& match) override;
    void MatchEnded(const MatchEnd& match) override;
    void StatsUploaded(int64_t time, int matches) override;
    void StatsSavedLater(int matches) override;
    void PlayerJoined(int64_t time, const std::string& name, int slot, int team) override;
    void PlayerLeft(int64_t time, const std::string& name) override;
    void PlayerStats(const std::string& name, int team, const std::vector<PlayerStat>& stats) override;
    void ChatRead(int64_t time, const std::string& sender, const std::string& message) override;
    void ChatSent(int64_t time, const std::string& target, const std::string& message) override;
    void ChatReadBack(int64_t sentAt, const std::string& message, int64_t seenAt) override;
    void AdminActionDone(const AdminAction& action) override;
    void ServerEvent(int64_t time, const std::string& kind, const std::string& detail) override;
    void Flush() override;

    // True while batches wait for the database, as the last flush found.
    bool Failing() const { return m_failing; }
    // Rows not yet written, on disk too.
    size_t Pending() const;
    // Batches not yet written that are held in memory.
    size_t InMemory() const { return m_unsent.size() + m_tail.size(); }
    // Waits at most `ms` for the answers to the batches sent (for the operator's reads, and at
    // the end); whether none is still due.
    bool Drain(int ms = kWaitMs);
    // Batches the database has been sent and not yet answered for.
    size_t InFlight() const { return m_results < m_sent ? m_sent - m_results : 0; }
    // The connection's socket (-1 for none), and whether a connection being made waits to write
    // on it (else to read): what the next flush can carry on.
    int Socket() const;
    bool WantsWrite() const;
    void SetCatchUpBudgetMs(int ms) { m_catchUpBudgetMs = ms; }
    const std::string& Server() const { return m_server; }
    // While another live copy of the program keeps this server code's history: who (host and
    // process), else empty. This copy's history waits in its outbox meanwhile.
    const std::string& HeldElsewhere() const { return m_heldElsewhere; }
    // This copy's own number, kept in its outbox file (for a copy without one, this run's).
    int64_t Copy() const { return m_copy; }

    // The words of a chat line as kept for the search: folded, each between blanks.
    static std::string ChatWords(const std::string& text1252);

protected:
    // Every server's rows side by side: a read names the server whose rows it wants.
    std::string ServerCode(const std::string& asked) const override { return asked.empty() ? m_server : asked; }
    std::string AnyHolds(std::initializer_list<const char*> columns, const std::string& foldedColumn,
                         const std::string& folded1252, SqlValues& values) const override;
    std::string ChatSql(const ChatPlan& plan) override;
    // The operator's reads wait for the database a moment at most; the upkeep never does.
    bool ReadyFor(Purpose purpose, std::string& why) override;
    bool EndUpkeep(bool commit) override;
    bool Query(const std::string& sql, const SqlValues& values, const EachRow& row, int64_t* changed) override;
    int64_t Bytes() override;

private:
    struct Write {
        const char* Sql;
        std::vector<PgValue> Values;
    };
    // What each statement sent for a batch is there for, to read its result by.
    enum class Role { Plain, Chain, Key, Mark, Max, Guard, Lease };
    struct Step {
        Role What = Role::Plain;
        int64_t Match = 0;  // a guard's match
    };
    struct Batch {
        int64_t Instance = 0;
        int64_t Key = 0;
        std::vector<Write> Writes;
        int64_t OutboxSeq = 0;  // its row in the outbox, 0 for none
        // Once sent: its statements, the results taken so far and what they said.
        std::vector<Step> Steps;
        size_t Seen = 0;
        bool Committed = false, Known = false, Clash = false, Behind = false, Refused = false;
        std::string Holder;  // Refused: the copy that holds the lease
        int64_t Max = 0;
        std::string Error;
    };

    PgHistoryStore(std::unique_ptr<PgConnection> conn, std::string conninfo, std::string server, LogFn log,
                   int schemaVersion, int deadlineMs, size_t window);
    void Queue(const char* sql, std::vector<PgValue> values);
    bool Send(Batch& batch, std::string& why);
    bool Connected(bool wait);
    bool Away(const std::string& why);
    bool SetUp(std::string& error);
    // Connected, and the database set up for this run.
    bool Ready(bool wait = false);
    void Renumber(int64_t id, int64_t last);
    bool SendWaiting(std::string& why);
    bool TakeResults(std::string& why);
    bool CatchUp(std::string& why);
    void Take(Batch& batch, const PgResult& result);
    void Broke();
    void SaveNextMatchId();
    static std::string Encoded(const Batch& batch);
    bool OpenOutbox(const std::string& file, std::string& error);
    bool ReadOutbox(int64_t& cursor, int64_t limit, size_t& read,
                    const std::function<void(int64_t seq, Batch&)>& each);
    void Refill();
    void RenumberOnDisk(int64_t id, int64_t fresh);
    static bool Renumbered(std::vector<Write>& writes, int64_t id, int64_t fresh);
    void Rewrite(const Batch& batch);
    static size_t Rows(const std::deque<Batch>& batches);
    void Keep(Batch& batch);
    void Sent(const Batch& batch);
    void Report(bool failing, const std::string& why);
    void LoadCopy();
    void Leased(bool held, const std::string& holder);
    void Release();

    std::unique_ptr<PgConnection> m_conn;  // null while the database is away
    std::string m_conninfo;
    std::string m_server;
    LogFn m_log;
    int64_t m_instance = 0;  // this run's part of the batch keys
    int64_t m_nextBatch = 1;
    std::vector<Write> m_pending;  // since the last flush
    std::deque<Batch> m_unsent;    // flushed, not yet written: the first ones, at most m_window with an outbox
    // With an outbox: batches behind those, on disk only (after m_readTo), and what they hold.
    size_t m_window;
    int64_t m_readTo = 0;          // the outbox's last row read into memory (or passed over)
    bool m_moreOnDisk = false;
    size_t m_diskRows = 0;
    // Batches the outbox refused while others waited on disk: they follow those, in memory only.
    std::deque<Batch> m_tail;
    int m_sends = 0;               // batches sent, to prune keys every so many
    size_t m_sent = 0;             // of those, the first ones sent on this connection
    size_t m_results = 0;          // of those, the ones whose results were all taken
    bool m_resend = false;         // one of those failed: all go again once every answer is in
    std::string m_sendError;       // why the last one failed
    bool m_written = false;        // a batch was answered for at this flush
    int m_retryIn = 0;             // flushes until the next connection is tried
    std::string m_why;             // why the last connection failed
    int64_t m_nextMatchId = 1;
    bool m_failing = false;
    int m_deadlineMs;
    int m_catchUpBudgetMs = kCatchUpBudgetMs;
    std::chrono::steady_clock::time_point m_answerBy;  // while batches are in flight: the next answer's deadline
    bool m_setUp = false;
    bool m_away = false;       // the last connection tried failed, or never answered
    int m_connectFlushes = 0;  // flushes the connection being made has lasted
    uint64_t m_dropped = 0;
    sqlite3* m_outbox = nullptr;
    int64_t m_copy = 0;
    std::string m_host;
    int64_t m_pid = 0;
    std::string m_heldElsewhere;
    int m_leaseRetryIn = 0;  // flushes until the lease is asked for again
    bool m_leaseHeld = false;
    std::chrono::steady_clock::time_point m_lastClaim;
};

}  // namespace tovi
