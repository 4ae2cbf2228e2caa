#pragma once
// The shared database's accounts as the web panel checks them. Every check is answered from a
// mirror in the program's own file (the accounts with the password and token hashes the database
// keeps, never a password or a token), never from the database itself: a database that is away,
// hangs or holds the accounts locked holds up no request, and a program started while it is away
// lets in the accounts it last read. The mirror is brought up to date by a reading of the whole
// set that never waits (Refresh, then Advance whenever the socket is ready or a while has
// passed); only a reading the database answered changes it, so that a database that cannot be
// reached never reads as an account removed. Changes are written to the database itself.
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AccountStore.h"
#include "PgConnection.h"
#include "SqliteAccountStore.h"

namespace tovi {

class PgAccountStore;

class SharedAccountStore final : public AccountStore {
public:
    struct Opened {
        std::unique_ptr<SharedAccountStore> Store;  // null when the mirror cannot be opened
        std::string Error;
    };
    // `file` is the program's own record (its schema already made); nothing is asked of the
    // database here. `deadlineMs` bounds each reading and change.
    static Opened Open(const std::string& conninfo, const std::string& file,
                       int deadlineMs = PgConnection::kDeadlineMs);
    ~SharedAccountStore() override;

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

    enum class Progress {
        Idle,     // nothing under way: the connection (if any) waits for announcements
        Waiting,  // a reading under way: carry on when the socket is ready, or later
        Read,     // a reading ended: the mirror is as the database has it
        Failed,   // a reading failed (Error() says why): the mirror stays as last read
    };
    // Begins a reading unless one is under way (connecting first when needed).
    void Refresh();
    // Carries the reading on as far as it goes without waiting; past the deadline it is given
    // up. While idle, an announcement of a change begins a reading.
    Progress Advance();
    bool Reading() const { return m_reading; }
    // The socket to watch, -1 when none; whether it is watched for room to write.
    int Socket() const;
    bool WantsWrite() const;
    // Why the last reading failed, with no password in it.
    const std::string& Error() const { return m_error; }

private:
    SharedAccountStore(std::string conninfo, std::unique_ptr<SqliteAccountStore> mirror, int deadlineMs);
    enum class Step { Login, Listen, Version, Read, Sync };
    bool Send();
    Progress Take();
    Progress Fail(const std::string& why, bool dropConnection);
    // The database itself, for a change; null with `error` when it cannot be reached.
    PgAccountStore* Writer(std::string& error);

    std::string m_conninfo;
    std::unique_ptr<SqliteAccountStore> m_mirror;
    int m_deadlineMs;
    std::unique_ptr<PgAccountStore> m_writer;
    std::unique_ptr<PgConnection> m_conn;
    bool m_listening = false;
    bool m_reading = false;
    bool m_wanted = false;   // a reading asked for while one was under way
    std::deque<Step> m_due;  // the answers still to come, in order
    std::chrono::steady_clock::time_point m_answerBy;
    // Logins let in through the mirror, noted in the database with the next reading.
    std::vector<std::pair<int64_t, int64_t>> m_logins, m_loginsSent;  // account id, time
    int64_t m_version = -1;
    bool m_readOk = false;
    std::string m_readError;
    AccountSnapshot m_snapshot, m_mirrored;
    std::string m_error;
};

}  // namespace tovi
