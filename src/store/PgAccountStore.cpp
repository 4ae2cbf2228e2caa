#include "PgAccountStore.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <poll.h>
#endif

#include "PgSchema.h"
#include "SqliteAccountStore.h"

namespace tovi {

namespace {

constexpr size_t kTokenBytes = 32;
constexpr const char* kColumns = "name, role, created, coalesce(last_login, 0), id, credential_version";

Account AccountFrom(const PgResult& r, int row) {
    Account a;
    a.Name = r.Text(row, 0);
    a.AccountRole = ParseRole(r.Text(row, 1)).value_or(Role::Viewer);
    a.Created = r.Int(row, 2);
    a.LastLogin = r.Int(row, 3);
    a.Id = r.Int(row, 4);
    a.CredentialVersion = r.Int(row, 5);
    return a;
}

// Whether the server has dropped an idle connection. libpq learns of it only when it next reads:
// a server that stopped or restarted meanwhile left its farewell and the end of the stream on
// the socket, which are read here without waiting.
bool Dropped(PgConnection& conn) {
    for (int reads = 0; conn.Good() && reads < 8; ++reads) {
#if defined(_WIN32)
        WSAPOLLFD watched{static_cast<SOCKET>(conn.Socket()), POLLRDNORM, 0};
        if (WSAPoll(&watched, 1, 0) <= 0) return false;
#else
        pollfd watched{conn.Socket(), POLLIN, 0};
        if (poll(&watched, 1, 0) <= 0) return false;
#endif
        std::vector<std::string> channels;
        if (!conn.TakeNotifications(channels)) return true;
    }
    return !conn.Good();
}

std::string Hex(const unsigned char* data, size_t size) {
    std::string out(size * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), data, size);
    out.pop_back();
    return out;
}

}  // namespace

PgAccountStore::Opened PgAccountStore::Open(const std::string& conninfo, int deadlineMs) {
    Opened opened;
    if (sodium_init() < 0) {
        opened.Error = "The password library could not start";
        return opened;
    }
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error, 5, deadlineMs);
    if (!conn) {
        opened.Error = "The shared database cannot be reached (" + error + ")";
        return opened;
    }
    if (!pgschema::Known(*conn, error)) {
        error[0] = 'T';
        opened.Error = error;
        return opened;
    }
    PgResult check = conn->Exec(
        "SELECT to_regclass('accounts') IS NOT NULL AND to_regclass('account_tokens') IS NOT NULL");
    if (!check.Ok() || check.Text(0, 0) != "t") {
        opened.Error = "The shared database holds no accounts";
        return opened;
    }
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    std::string dummy = HashPassword(Hex(random, sizeof random));
    if (dummy.empty()) {
        opened.Error = "Not enough memory to check passwords";
        return opened;
    }
    opened.Store.reset(new PgAccountStore(conninfo, std::move(conn), std::move(dummy), deadlineMs));
    return opened;
}

// A change not announced is still read by every running copy within a few seconds.
void PgAccountStore::Announce() {
    PgResult r;
    std::string error;
    Exec(std::string("NOTIFY ") + pgschema::kAccountsChannel, {}, r, error);
}

PgConnection* PgAccountStore::Connected(std::string& error) {
    if (m_conn && !m_conn->Connecting() && !Dropped(*m_conn)) return m_conn.get();
    if (!m_hung) {
        // A server that restarted answers at once. One that does not is not waited for again.
        m_conn = PgConnection::Connect(m_conninfo, error, 2, m_deadlineMs);
        if (!m_conn) {
            error = "the shared database cannot be reached (" + error + ")";
            m_hung = true;
        }
        return m_conn.get();
    }
    // After a hang a connection is carried on a step at each call, never waited for; one still
    // silent after a deadline and a few calls is begun anew.
    const auto now = std::chrono::steady_clock::now();
    if (!m_conn || !m_conn->Connecting() ||
        (++m_connectCalls > 3 && now - m_connectSince > std::chrono::milliseconds(m_deadlineMs))) {
        m_conn = PgConnection::Start(m_conninfo, error, m_deadlineMs);
        m_connectSince = now;
        m_connectCalls = 0;
        if (!m_conn) {
            error = "the shared database cannot be reached (" + error + ")";
            return nullptr;
        }
    }
    switch (m_conn->Advance()) {
        case PgConnection::Progress::Ready:
            m_hung = false;
            return m_conn.get();
        case PgConnection::Progress::Connecting:
            error = "the shared database has not answered yet";
            return nullptr;
        default:
            error = "the shared database cannot be reached (" + m_conn->Error() + ")";
            m_conn.reset();
            return nullptr;
    }
}

bool PgAccountStore::Writable(std::string& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        PgConnection* c = Connected(error);
        if (!c) {
            m_unanswered = true;
            return false;
        }
        if (pgschema::Known(*c, error)) return true;
        if (c->TimedOut()) {
            error = c->Error();
            m_hung = true;
            m_unanswered = true;
            m_conn.reset();
            break;
        }
        if (c->Good()) break;  // refused, or a newer schema; a dropped connection is made anew
    }
    if (!error.empty()) error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
    return false;
}

void PgAccountStore::Note(const Account& account, const std::string& hash) {
    Seen& seen = m_seen[AccountNameKey(account.Name)];
    seen.Known = account;
    if (!hash.empty()) seen.Hash = hash;
}

bool PgAccountStore::Exec(const std::string& sql, const std::vector<PgValue>& params, PgResult& result,
                          std::string& error, bool* repeated) {
    if (repeated) *repeated = false;
    m_unanswered = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        PgConnection* c = Connected(error);
        if (!c) {
            m_unanswered = true;
            return false;
        }
        result = c->Exec(sql, params);
        if (result.Ok()) return true;
        error = result.Error();
        if (c->TimedOut()) {
            // Asked again it would cost another deadline.
            error = c->Error();
            m_hung = true;
            m_unanswered = true;
            m_conn.reset();
            return false;
        }
        // Refused by the server: running it again would be refused again. A lock or statement
        // time-out is the database's own deadline passing.
        if (c->Good()) {
            m_unanswered = result.State() == "55P03" || result.State() == "57014";
            return false;
        }
        // The connection broke on the way: the statement may or may not have run. Each one given
        // here may run twice (reads, and writes whose callers can tell their own earlier run).
        if (repeated) *repeated = true;
    }
    return false;
}

bool PgAccountStore::AddAccount(const std::string& name, Role role, const std::string& password, int64_t now,
                                std::string& error) {
    if (!ValidAccountName(name)) {
        error = "An account name is 1 to 32 letters, digits, dots, dashes or underscores.";
        return false;
    }
    const std::string hash = HashPassword(password);
    if (hash.empty()) {
        error = "Not enough memory to hash the password.";
        return false;
    }
    if (!Writable(error)) return false;
    PgResult r;
    bool repeated = false;
    if (!Exec("INSERT INTO accounts(name, name_key, role, password_hash, created, credential_version)"
              " VALUES ($1,$2,$3,$4,$5,$6) ON CONFLICT (name_key) DO NOTHING",
              {name, AccountNameKey(name), std::string(RoleText(role)), hash, now, NewCredentialVersion()}, r,
              error, &repeated))
        return false;
    if (r.Changed() == 0) {
        // Run again after a break: the account there may be the one the first run made, which
        // alone has this hash (its salt is new).
        PgResult own;
        if (repeated &&
            Exec("SELECT 1 FROM accounts WHERE name_key=$1 AND password_hash=$2", {AccountNameKey(name), hash},
                 own, error) &&
            own.Rows() == 1)
            return true;
        error = "There is already an account named " + name + ".";
        return false;
    }
    Announce();
    return true;
}

bool PgAccountStore::RemoveAccount(const std::string& name, std::string& error) {
    error.clear();
    if (!Writable(error)) return false;
    PgResult r;
    bool repeated = false;
    // Its tokens go with it (ON DELETE CASCADE).
    if (!Exec("DELETE FROM accounts WHERE name_key=$1", {AccountNameKey(name)}, r, error, &repeated)) return false;
    const std::string key = AccountNameKey(name);
    m_seen.erase(key);
    std::erase_if(m_tokens, [&key](const auto& token) { return token.second == key; });
    if (r.Changed() == 0 && repeated) {
        error = "The connection to the shared database broke during the removal; there is no account named " +
                name + " now.";
        return false;
    }
    error.clear();
    if (r.Changed() > 0) Announce();
    return r.Changed() > 0;
}

std::vector<Account> PgAccountStore::Accounts() {
    std::vector<Account> out;
    ReadAccounts(out);
    return out;
}

bool PgAccountStore::ReadAccounts(std::vector<Account>& out) {
    out.clear();
    std::string error;
    PgResult r;
    if (!Exec(std::string("SELECT ") + kColumns + " FROM accounts ORDER BY name_key", {}, r, error)) {
        // While the database does not answer, the accounts last read stand in; the read still
        // counts as failed, so that nobody's session ends for it.
        if (m_unanswered)
            for (const auto& [key, seen] : m_seen) out.push_back(seen.Known);
        return false;
    }
    for (int i = 0; i < r.Rows(); ++i) out.push_back(AccountFrom(r, i));
    for (const Account& account : out) Note(account);
    return true;
}

std::optional<Account> PgAccountStore::FindAccount(const std::string& name) {
    std::string error;
    PgResult r;
    if (!Exec(std::string("SELECT ") + kColumns + " FROM accounts WHERE name_key=$1", {AccountNameKey(name)}, r,
              error)) {
        const auto seen = m_seen.find(AccountNameKey(name));
        if (!m_unanswered || seen == m_seen.end()) return std::nullopt;
        return seen->second.Known;
    }
    if (r.Rows() != 1) {
        m_seen.erase(AccountNameKey(name));
        return std::nullopt;
    }
    Note(AccountFrom(r, 0));
    return AccountFrom(r, 0);
}

std::optional<Account> PgAccountStore::Authenticate(const std::string& name, const std::string& password,
                                                    int64_t now) {
    std::string error;
    std::optional<Account> found;
    std::string hash = m_dummyHash;
    PgResult r;
    bool answered = false;
    if (Exec(std::string("SELECT ") + kColumns + ", password_hash FROM accounts WHERE name_key=$1",
             {AccountNameKey(name)}, r, error)) {
        answered = true;
        if (r.Rows() == 1) {
            found = AccountFrom(r, 0);
            hash = r.Text(0, 6);
            Note(*found, hash);
        }
    } else if (const auto seen = m_seen.find(AccountNameKey(name));
               m_unanswered && seen != m_seen.end() && !seen->second.Hash.empty()) {
        found = seen->second.Known;
        hash = seen->second.Hash;
    }
    const bool verified = VerifyPassword(hash, password);
    if (!found || !verified) return std::nullopt;
    // A login that cannot be noted still succeeds (and is not noted while the database is away,
    // nor in a schema this program does not know).
    PgResult noted;
    if (answered && Writable(error))
        Exec("UPDATE accounts SET last_login=$1 WHERE name_key=$2", {now, AccountNameKey(name)}, noted, error);
    found->LastLogin = now;
    return found;
}

std::string PgAccountStore::NewToken(const std::string& name, int64_t now, std::string& error) {
    unsigned char random[kTokenBytes];
    randombytes_buf(random, sizeof random);
    const std::string token = "tovi_" + Hex(random, sizeof random);
    const PgBytes hash{TokenHash(token)};
    if (!Writable(error)) return {};
    PgResult r;
    bool repeated = false;
    if (!Exec("INSERT INTO account_tokens(account_id, token_hash, created) SELECT id, $1, $2 FROM accounts WHERE "
              "name_key=$3 ON CONFLICT (token_hash) DO NOTHING",
              {hash, now, AccountNameKey(name)}, r, error, &repeated))
        return {};
    if (r.Changed() == 0) {
        // Run again after a break: the first run may have kept it (no other token has its hash).
        PgResult kept;
        if (repeated &&
            Exec("SELECT 1 FROM account_tokens t JOIN accounts a ON a.id = t.account_id WHERE t.token_hash=$1"
                 " AND a.name_key=$2",
                 {hash, AccountNameKey(name)}, kept, error) &&
            kept.Rows() == 1)
            return token;
        error = "There is no account named " + name + ".";
        return {};
    }
    Announce();
    return token;
}

std::optional<Account> PgAccountStore::AccountByToken(const std::string& token) {
    if (token.empty()) return std::nullopt;
    std::string error;
    PgResult r;
    const std::string hash = TokenHash(token);
    if (!Exec("SELECT a.name, a.role, a.created, coalesce(a.last_login, 0), a.id, a.credential_version FROM"
              " accounts a JOIN account_tokens t ON t.account_id = a.id WHERE t.token_hash=$1",
              {PgBytes{hash}}, r, error)) {
        const auto known = m_tokens.find(hash);
        if (!m_unanswered || known == m_tokens.end()) return std::nullopt;
        const auto seen = m_seen.find(known->second);
        if (seen == m_seen.end()) return std::nullopt;
        return seen->second.Known;
    }
    if (r.Rows() != 1) {
        m_tokens.erase(hash);
        return std::nullopt;
    }
    const Account account = AccountFrom(r, 0);
    Note(account);
    m_tokens[hash] = AccountNameKey(account.Name);
    return account;
}

}  // namespace tovi
