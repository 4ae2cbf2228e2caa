#pragma once
// The community's web panel accounts in the shared PostgreSQL database (tables accounts and
// account_tokens), on a connection of their own: each change is written at once. A connection the
// server dropped (it restarted) is made anew before the next statement, or when one fails with it.
// Every statement has a deadline: a database that hangs (or holds the accounts locked) costs one,
// after which the checks are answered from the accounts last read until it answers again, and a
// new connection is carried on without waiting for it.
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "AccountStore.h"
#include "PgConnection.h"

namespace tovi {

class PgAccountStore final : public AccountStore {
public:
    struct Opened {
        std::unique_ptr<PgAccountStore> Store;  // null when the accounts cannot be read
        std::string Error;
    };
    // The database must already hold the record's schema (PgHistoryStore::Open makes it).
    // `deadlineMs` bounds each statement (PgConnection::kDeadlineMs but in tests).
    static Opened Open(const std::string& conninfo, int deadlineMs = PgConnection::kDeadlineMs);

    bool AddAccount(const std::string& name, Role role, const std::string& password, int64_t now,
                    std::string& error) override;
    bool RemoveAccount(const std::string& name, std::string& error) override;
    std::vector<Account> Accounts() override;
    bool ReadAccounts(std::vector<Account>& out) override;
    std::optional<Account> FindAccount(const std::string& name) override;
    std::optional<Account> Authenticate(const std::string& name, const std::string& password,
                                        int64_t now) override;
    std::string NewToken(const std::string& name, int64_t now, std::string& error) override;
    std::optional<Account> AccountByToken(const std::string& token) override;

private:
    PgAccountStore(std::string conninfo, std::unique_ptr<PgConnection> conn, std::string dummyHash, int deadlineMs)
        : m_conninfo(std::move(conninfo)),
          m_conn(std::move(conn)),
          m_dummyHash(std::move(dummyHash)),
          m_deadlineMs(deadlineMs) {}
    // The connection, made anew when the server dropped it (a restart, a time-out).
    PgConnection* Connected(std::string& error);
    // One statement; false with `error` when it did not run. When the connection broke on the
    // way it runs once more on a new one, and `repeated` says so: a write may then have run twice.
    bool Exec(const std::string& sql, const std::vector<PgValue>& params, PgResult& result, std::string& error,
              bool* repeated = nullptr);
    // Tells every running copy that the accounts changed.
    void Announce();
    // Before a write: the database's schema is one this program knows.
    bool Writable(std::string& error);
    // An account as last read, with its password's hash.
    struct Seen {
        Account Known;
        std::string Hash;
    };
    void Note(const Account& account, const std::string& hash = {});
    std::string m_conninfo;
    std::unique_ptr<PgConnection> m_conn;
    // Verified against when the name is unknown, so that such a login costs as much as any.
    std::string m_dummyHash;
    int m_deadlineMs;
    bool m_hung = false;  // a statement outlasted its deadline, or a connection failed: none is waited for
    bool m_unanswered = false;   // the last statement failed for want of an answer, not a refusal
    std::chrono::steady_clock::time_point m_connectSince;  // when the connection being made was begun
    int m_connectCalls = 0;                                // and the calls it has lasted
    std::map<std::string, Seen> m_seen;          // by name key
    std::map<std::string, std::string> m_tokens;  // token hash to name key
};

}  // namespace tovi
