#pragma once
// A PostgreSQL connection through libpq that closes itself, and the results it answers. Values
// only ever travel as parameters ($1, $2, ...), never inside the statement's text. Texts are
// UTF-8; bytes that must stay as they were (the game's own) go as bytea.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct pg_conn;
struct pg_result;

namespace tovi {

struct PgBytes {
    std::string Bytes;
};
// A statement parameter: NULL, a number, a UTF-8 text or bytes.
using PgValue = std::variant<std::nullptr_t, int64_t, std::string, PgBytes>;

class PgResult {
public:
    PgResult() = default;
    explicit PgResult(pg_result* result) : m_result(result) {}
    ~PgResult();
    PgResult(PgResult&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    PgResult& operator=(PgResult&& other) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    // The statement ran (a command, or a query with its rows).
    bool Ok() const;
    int Rows() const;
    int Columns() const;
    bool IsNull(int row, int column) const;
    std::string Text(int row, int column) const;   // as sent: UTF-8 for texts
    int64_t Int(int row, int column) const;        // 0 for NULL
    std::string Bytes(int row, int column) const;  // a bytea column's bytes
    // Rows a command changed.
    int64_t Changed() const;
    // The five-character SQLSTATE, "" without one.
    std::string State() const;
    // An error's own message, without the severity and the details around it.
    std::string Message() const;
    // In a pipeline: no result (the end of one statement's), a statement skipped after an earlier
    // one failed, and the point where the database took a Sync.
    bool Null() const { return m_result == nullptr; }
    bool Skipped() const;
    bool SyncPoint() const;
    std::string Error() const;

private:
    pg_result* m_result = nullptr;
};

class PgConnection {
public:
    // How long a statement may take before the connection is given up: a database that hangs
    // (stopped, or its host frozen while its kernel still answers) costs no more than this. The
    // server itself ends a statement a little before (statement_timeout) and a wait for a lock
    // sooner still (lock_timeout), so that a database that merely is slow or busy answers with
    // an error while the connection stays.
    static constexpr int kDeadlineMs = 5000;
    // For the command-line tools (export, copy between stores), which read and write a whole
    // record in one statement and are run by an operator who waits and can interrupt them.
    static constexpr int kCommandDeadlineMs = 30 * 60 * 1000;

    // Connects with a libpq connection string ("host=... dbname=..." or a postgresql:// URI),
    // waiting at most `timeoutSeconds` unless the string says otherwise. Null with `error` when
    // the server cannot be reached or refuses.
    static std::unique_ptr<PgConnection> Connect(const std::string& conninfo, std::string& error,
                                                 int timeoutSeconds = 5, int deadlineMs = kDeadlineMs);
    // Begins connecting without waiting; Advance() carries it on. (A host given by name is still
    // looked up here: an address, or a name the hosts file knows, never waits.) Null with `error`
    // when the string is refused at once.
    static std::unique_ptr<PgConnection> Start(const std::string& conninfo, std::string& error,
                                               int deadlineMs = kDeadlineMs);

    enum class Progress { Connecting, Ready, Failed };
    // Carries a connection being made as far as it goes without waiting. Failed: Error() says why.
    Progress Advance();
    // Waits at most `ms` for a connection being made: for the operator, who waits anyway.
    Progress Finish(int ms);
    // While being made: whether the connection waits for its socket to take data (else to bring some).
    bool Connecting() const { return m_connecting; }
    bool WantsWrite() const { return m_wantWrite; }
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // One statement with its parameters; the result says whether it ran. It is sent without
    // waiting and its answer awaited for the deadline at most: past it the connection is closed
    // (Good() false, TimedOut() true), which also ends the statement on the server.
    PgResult Exec(const std::string& sql, const std::vector<PgValue>& params = {});
    // Statements without parameters, several separated by ';' (schema changes).
    PgResult ExecScript(const std::string& sql);
    // Exec, answering whether it ran (Error() says why not).
    bool Run(const std::string& sql, const std::vector<PgValue>& params = {});

    // Statements without parameters sent without waiting for their answers, which TakeAnswers
    // collects as they come: for reads made on the event loop, which must never wait. False when
    // the connection is not there or something else is under way.
    bool SendScript(const std::string& sql);
    enum class Answers { Waiting, Done, Failed };
    // Adds what has arrived of the script's answers to `results`, waiting at most `waitMs` for
    // more. Done once all are in (each statement's own result says whether it ran); Failed when
    // the connection broke, or the deadline passed since the script was sent (the connection is
    // then closed, as for Exec).
    Answers TakeAnswers(std::vector<PgResult>& results, int waitMs = 0);
    // Whether a script's answers are still due.
    bool Answering() const { return m_answering && !m_limiting; }

    // Pipelined statements, sent without waiting for their results, which are taken as they come:
    // only on a connection that stands with nothing else under way. While the pipeline is on,
    // Exec and Run fail.
    bool StartPipeline();
    // Back to one statement at a time; false while results are still due.
    bool EndPipeline();
    bool InPipeline() const;
    bool Send(const std::string& sql, const std::vector<PgValue>& params = {});
    // Ends a run of statements: each transaction ends here, and a failure skips only the rest of
    // its own run.
    bool SendSync();
    // Hands what libpq keeps for the socket to it as far as it takes it without waiting: 0 when
    // all went, 1 while some is left, -1 when the connection broke.
    int SendOut();
    // Reads what arrived without waiting; false when the connection broke (or the database closed it).
    bool Receive();
    // The next result if it is there without waiting (Null() at the end of a statement's).
    bool NextResult(PgResult& result);

    // Whether the connection still stands, as libpq last saw it.
    bool Good() const;
    // Whether it was closed because a statement outlasted the deadline.
    bool TimedOut() const { return m_timedOut; }
    int DeadlineMs() const { return m_deadlineMs; }
    // "the database did not answer within 5.0 s"
    static std::string NoAnswerText(int deadlineMs);
    // For a step known to be long (a schema change): the deadline until the next call.
    void SetDeadlineMs(int ms) { m_deadlineMs = ms; }
    std::string Error() const;
    // The socket to watch for notifications; -1 when there is none.
    int Socket() const;
    // Reads what arrived on the socket without waiting, and answers the channels of the
    // notifications received. False when the connection broke.
    bool TakeNotifications(std::vector<std::string>& channels);

private:
    PgConnection(pg_conn* conn, int deadlineMs) : m_conn(conn), m_deadlineMs(deadlineMs) {}
    Progress Step(int waitMs);
    bool Limit();
    std::string LimitScript() const;
    // The answer to what was sent, awaited for the deadline at most.
    PgResult Await(bool sent);
    void GiveUp();
    pg_conn* m_conn;  // null once given up
    int m_deadlineMs;
    bool m_timedOut = false;
    std::string m_error;
    bool m_connecting = false;
    bool m_wantWrite = false;
    bool m_answering = false;
    bool m_limiting = false;  // made, and the limits sent: their answers are the last step
    std::chrono::steady_clock::time_point m_answerBy;
};

}  // namespace tovi
