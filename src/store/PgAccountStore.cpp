#include "PgAccountStore.h"

#include <sodium.h>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <poll.h>
#endif

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

PgAccountStore::Opened PgAccountStore::Open(const std::string& conninfo) {
    Opened opened;
    if (sodium_init() < 0) {
        opened.Error = "The password library could not start";
        return opened;
    }
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error);
    if (!conn) {
        opened.Error = "The shared database cannot be reached (" + error + ")";
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
    opened.Store.reset(new PgAccountStore(conninfo, std::move(conn), std::move(dummy)));
    return opened;
}

PgConnection* PgAccountStore::Connected(std::string& error) {
    if (m_conn && !Dropped(*m_conn)) return m_conn.get();
    m_conn = PgConnection::Connect(m_conninfo, error, 2);
    if (!m_conn) error = "the shared database cannot be reached (" + error + ")";
    return m_conn.get();
}

bool PgAccountStore::Exec(const std::string& sql, const std::vector<PgValue>& params, PgResult& result,
                          std::string& error, bool* repeated) {
    if (repeated) *repeated = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        PgConnection* c = Connected(error);
        if (!c) return false;
        result = c->Exec(sql, params);
        if (result.Ok()) return true;
        error = result.Error();
        // Refused by the server: running it again would be refused again.
        if (c->Good()) return false;
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
    return true;
}

bool PgAccountStore::RemoveAccount(const std::string& name, std::string& error) {
    error.clear();
    PgResult r;
    bool repeated = false;
    // Its tokens go with it (ON DELETE CASCADE).
    if (!Exec("DELETE FROM accounts WHERE name_key=$1", {AccountNameKey(name)}, r, error, &repeated)) return false;
    if (r.Changed() == 0 && repeated) {
        error = "The connection to the shared database broke during the removal; there is no account named " +
                name + " now.";
        return false;
    }
    error.clear();
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
    if (!Exec(std::string("SELECT ") + kColumns + " FROM accounts ORDER BY name_key", {}, r, error))
        return false;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(AccountFrom(r, i));
    return true;
}

std::optional<Account> PgAccountStore::FindAccount(const std::string& name) {
    std::string error;
    PgResult r;
    if (!Exec(std::string("SELECT ") + kColumns + " FROM accounts WHERE name_key=$1", {AccountNameKey(name)}, r,
              error) ||
        r.Rows() != 1)
        return std::nullopt;
    return AccountFrom(r, 0);
}

std::optional<Account> PgAccountStore::Authenticate(const std::string& name, const std::string& password,
                                                    int64_t now) {
    std::string error;
    std::optional<Account> found;
    std::string hash = m_dummyHash;
    PgResult r;
    if (Exec(std::string("SELECT ") + kColumns + ", password_hash FROM accounts WHERE name_key=$1",
             {AccountNameKey(name)}, r, error) &&
        r.Rows() == 1) {
        found = AccountFrom(r, 0);
        hash = r.Text(0, 6);
    }
    const bool verified = VerifyPassword(hash, password);
    if (!found || !verified) return std::nullopt;
    // A login that cannot be noted still succeeds.
    PgResult noted;
    Exec("UPDATE accounts SET last_login=$1 WHERE name_key=$2", {now, AccountNameKey(name)}, noted, error);
    found->LastLogin = now;
    return found;
}

std::string PgAccountStore::NewToken(const std::string& name, int64_t now, std::string& error) {
    unsigned char random[kTokenBytes];
    randombytes_buf(random, sizeof random);
    const std::string token = "tovi_" + Hex(random, sizeof random);
    const PgBytes hash{TokenHash(token)};
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
    return token;
}

std::optional<Account> PgAccountStore::AccountByToken(const std::string& token) {
    if (token.empty()) return std::nullopt;
    std::string error;
    PgResult r;
    if (!Exec("SELECT a.name, a.role, a.created, coalesce(a.last_login, 0), a.id, a.credential_version FROM"
              " accounts a JOIN account_tokens t ON t.account_id = a.id WHERE t.token_hash=$1",
              {PgBytes{TokenHash(token)}}, r, error) ||
        r.Rows() != 1)
        return std::nullopt;
    return AccountFrom(r, 0);
}

}  // namespace tovi
