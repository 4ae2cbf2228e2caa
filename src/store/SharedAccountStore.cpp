#include "SharedAccountStore.h"

#include "PgAccountStore.h"
#include "PgSchema.h"
#include "StoreChoice.h"

namespace tovi {

SharedAccountStore::Opened SharedAccountStore::Open(const std::string& conninfo, const std::string& file,
                                                    int deadlineMs) {
    Opened opened;
    auto mirror = SqliteAccountStore::Open(file, SqliteAccountStore::Tables::SharedMirror);
    if (!mirror.Store) {
        opened.Error = mirror.Error;
        return opened;
    }
    // Accounts read from another database (the setting changed since) let nobody in here.
    if (const std::string source = StoreDescription(conninfo); mirror.Store->Source() != source) {
        std::string error;
        if (!mirror.Store->Replace({}, source, error)) {
            opened.Error =
                "The accounts of another shared database cannot be cleared from " + file + " (" + error + ")";
            return opened;
        }
    }
    opened.Store.reset(new SharedAccountStore(conninfo, std::move(mirror.Store), deadlineMs));
    return opened;
}

SharedAccountStore::SharedAccountStore(std::string conninfo, std::unique_ptr<SqliteAccountStore> mirror,
                                       int deadlineMs)
    : m_conninfo(std::move(conninfo)), m_mirror(std::move(mirror)), m_deadlineMs(deadlineMs) {
    // Compared with each reading, so that the file is written only when something changed.
    if (!m_mirror->ReadSnapshot(m_mirrored)) m_mirrored = {};
}

SharedAccountStore::~SharedAccountStore() = default;

PgAccountStore* SharedAccountStore::Writer(std::string& error) {
    if (!m_writer) {
        auto opened = PgAccountStore::Open(m_conninfo, m_deadlineMs);
        if (!opened.Store) {
            error = WithoutPasswords(opened.Error, m_conninfo);
            return nullptr;
        }
        m_writer = std::move(opened.Store);
    }
    return m_writer.get();
}

bool SharedAccountStore::AddAccount(const std::string& name, Role role, const std::string& password,
                                    int64_t now, std::string& error) {
    PgAccountStore* writer = Writer(error);
    const bool added = writer && writer->AddAccount(name, role, password, now, error);
    if (added) Refresh();
    return added;
}

bool SharedAccountStore::RemoveAccount(const std::string& name, std::string& error) {
    error.clear();
    PgAccountStore* writer = Writer(error);
    const bool removed = writer && writer->RemoveAccount(name, error);
    if (removed) Refresh();
    return removed;
}

std::string SharedAccountStore::NewToken(const std::string& name, int64_t now, std::string& error) {
    PgAccountStore* writer = Writer(error);
    std::string token = writer ? writer->NewToken(name, now, error) : std::string();
    if (!token.empty()) Refresh();
    return token;
}

std::vector<Account> SharedAccountStore::Accounts() {
    return m_mirror->Accounts();
}

bool SharedAccountStore::ReadAccounts(std::vector<Account>& out) {
    return m_mirror->ReadAccounts(out);
}

std::optional<Account> SharedAccountStore::FindAccount(const std::string& name) {
    return m_mirror->FindAccount(name);
}

std::optional<Account> SharedAccountStore::Authenticate(const std::string& name, const std::string& password,
                                                        int64_t now) {
    auto account = m_mirror->Authenticate(name, password, now);
    if (account) m_logins.emplace_back(account->Id, now);
    return account;
}

std::optional<Account> SharedAccountStore::AccountByToken(const std::string& token) {
    return m_mirror->AccountByToken(token);
}

int SharedAccountStore::Socket() const {
    return m_conn && (m_conn->Good() || m_conn->Connecting()) ? m_conn->Socket() : -1;
}

bool SharedAccountStore::WantsWrite() const {
    return m_conn && m_conn->Connecting() && m_conn->WantsWrite();
}

void SharedAccountStore::Refresh() {
    if (m_reading) {
        m_wanted = true;
        return;
    }
    m_reading = true;
    m_wanted = false;
    m_due.clear();
    m_answerBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_deadlineMs);
    if (m_conn && !m_conn->Connecting() && !m_conn->Good()) m_conn.reset();
    if (!m_conn) {
        std::string error;
        m_listening = false;
        m_conn = PgConnection::Start(m_conninfo, error, m_deadlineMs);
        if (!m_conn)
            m_error = WithoutPasswords("the shared database cannot be reached (" + error + ")", m_conninfo);
    }
}

SharedAccountStore::Progress SharedAccountStore::Fail(const std::string& why, bool dropConnection) {
    m_error = WithoutPasswords(why, m_conninfo);
    if (dropConnection) {
        m_conn.reset();
        m_listening = false;
    } else if (m_conn) {
        m_conn->EndPipeline();
    }
    // Noted with a later reading (a later login time wins, so one noted twice does no harm).
    m_logins.insert(m_logins.begin(), m_loginsSent.begin(), m_loginsSent.end());
    m_loginsSent.clear();
    m_reading = false;
    m_due.clear();
    return Progress::Failed;
}

SharedAccountStore::Progress SharedAccountStore::Advance() {
    if (!m_reading) {
        if (!m_conn || m_conn->Connecting()) return Progress::Idle;
        std::vector<std::string> channels;
        if (!m_conn->TakeNotifications(channels)) {
            // Gone while idle: the next reading connects again.
            m_conn.reset();
            m_listening = false;
        }
        if (channels.empty() && !m_wanted) return Progress::Idle;
        Refresh();
    }
    if (!m_conn) return Fail(m_error.empty() ? "the shared database cannot be reached" : m_error, true);
    if (std::chrono::steady_clock::now() > m_answerBy)
        return Fail(
            "the shared database cannot be reached (" + PgConnection::NoAnswerText(m_deadlineMs) + ")", true);
    if (m_conn->Connecting()) {
        switch (m_conn->Advance()) {
            case PgConnection::Progress::Connecting:
                return Progress::Waiting;
            case PgConnection::Progress::Failed:
                return Fail("the shared database cannot be reached (" + m_conn->Error() + ")", true);
            case PgConnection::Progress::Ready:
                break;
        }
    }
    if (m_due.empty() && !Send())
        return Fail("the shared database cannot be reached (" + m_conn->Error() + ")", true);
    return Take();
}

// The logins to note, then (in a transaction of its own, so that a failed note spoils nothing)
// the schema's version and every account with its tokens, read in one statement: one moment's
// state.
bool SharedAccountStore::Send() {
    if (!m_conn->StartPipeline()) return false;
    m_loginsSent = std::move(m_logins);
    m_logins.clear();
    for (const auto& [id, time] : m_loginsSent) {
        if (!m_conn->Send("UPDATE accounts SET last_login=$2 WHERE id=$1 AND coalesce(last_login, 0) < $2",
                          {id, time}))
            return false;
        m_due.push_back(Step::Login);
    }
    if (!m_loginsSent.empty()) {
        if (!m_conn->SendSync()) return false;
        m_due.push_back(Step::Sync);
    }
    if (!m_listening) {
        if (!m_conn->Send(std::string("LISTEN ") + pgschema::kAccountsChannel)) return false;
        m_due.push_back(Step::Listen);
    }
    if (!m_conn->Send("SELECT coalesce(max(version), 0) FROM tovi_schema")) return false;
    m_due.push_back(Step::Version);
    if (!m_conn->Send(
            "SELECT a.id, a.name, a.role, a.created, coalesce(a.last_login, 0), a.credential_version,"
            " a.password_hash, t.id, t.token_hash, t.created FROM accounts a"
            " LEFT JOIN account_tokens t ON t.account_id = a.id ORDER BY a.id, t.id"))
        return false;
    m_due.push_back(Step::Read);
    if (!m_conn->SendSync()) return false;
    m_due.push_back(Step::Sync);
    m_version = -1;
    m_readOk = false;
    m_readError.clear();
    m_snapshot = {};
    return m_conn->SendOut() >= 0;
}

SharedAccountStore::Progress SharedAccountStore::Take() {
    if (m_conn->SendOut() < 0 || !m_conn->Receive())
        return Fail("the shared database cannot be reached (" + m_conn->Error() + ")", true);
    PgResult r;
    for (int results = 0; !m_due.empty() && results < 256 && m_conn->NextResult(r); ++results) {
        const Step step = m_due.front();
        if (step == Step::Sync) {
            if (r.SyncPoint()) m_due.pop_front();
            continue;
        }
        // A statement's results end with a null one.
        if (r.Null()) {
            m_due.pop_front();
            continue;
        }
        if (step == Step::Listen) m_listening = r.Ok();
        if (step == Step::Version && r.Ok() && r.Rows() == 1) m_version = r.Int(0, 0);
        if (step == Step::Read) {
            m_readOk = r.Ok();
            if (!r.Ok()) m_readError = r.Skipped() ? "the accounts were not read" : r.Error();
            for (int row = 0; m_readOk && row < r.Rows(); ++row) {
                const int64_t id = r.Int(row, 0);
                if (m_snapshot.Accounts.empty() || m_snapshot.Accounts.back().Known.Id != id) {
                    AccountSnapshot::Entry entry;
                    entry.Known.Id = id;
                    entry.Known.Name = r.Text(row, 1);
                    entry.Known.AccountRole = ParseRole(r.Text(row, 2)).value_or(Role::Viewer);
                    entry.Known.Created = r.Int(row, 3);
                    entry.Known.LastLogin = r.Int(row, 4);
                    entry.Known.CredentialVersion = r.Int(row, 5);
                    entry.PasswordHash = r.Text(row, 6);
                    m_snapshot.Accounts.push_back(std::move(entry));
                }
                if (!r.IsNull(row, 7))
                    m_snapshot.Tokens.push_back({r.Int(row, 7), id, r.Int(row, 9), r.Bytes(row, 8)});
            }
        }
    }
    if (!m_conn->Good()) return Fail("the shared database cannot be reached (" + m_conn->Error() + ")", true);
    if (!m_due.empty()) return Progress::Waiting;
    m_conn->EndPipeline();
    m_loginsSent.clear();
    if (m_version > pgschema::kSchemaVersion)
        return Fail(pgschema::NewerText(static_cast<int>(m_version)), false);
    if (!m_readOk) return Fail("the accounts cannot be read (" + m_readError + ")", false);
    m_reading = false;
    if (m_snapshot != m_mirrored) {
        std::string error;
        if (!m_mirror->Replace(m_snapshot, StoreDescription(m_conninfo), error)) {
            m_error = "the accounts cannot be kept in the program's own file (" + error + ")";
            return Progress::Failed;
        }
        m_mirrored = std::move(m_snapshot);
    }
    m_error.clear();
    return Progress::Read;
}

}  // namespace tovi
