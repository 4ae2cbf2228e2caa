#include "PgAccountStore.h"

#include <sodium.h>

#include "SqliteAccountStore.h"

namespace tovi {

namespace {

constexpr size_t kTokenBytes = 32;
constexpr const char* kColumns = "name, role, created, coalesce(last_login, 0)";

Account AccountFrom(const PgResult& r, int row) {
    Account a;
    a.Name = r.Text(row, 0);
    a.AccountRole = ParseRole(r.Text(row, 1)).value_or(Role::Viewer);
    a.Created = r.Int(row, 2);
    a.LastLogin = r.Int(row, 3);
    return a;
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
    if (m_conn && m_conn->Good()) return m_conn.get();
    m_conn = PgConnection::Connect(m_conninfo, error, 2);
    if (!m_conn) error = "the shared database cannot be reached (" + error + ")";
    return m_conn.get();
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
    PgConnection* c = Connected(error);
    if (!c) return false;
    PgResult r = c->Exec(
        "INSERT INTO accounts(name, name_key, role, password_hash, created) VALUES ($1,$2,$3,$4,$5)"
        " ON CONFLICT (name_key) DO NOTHING",
        {name, AccountNameKey(name), std::string(RoleText(role)), hash, now});
    if (!r.Ok()) {
        error = r.Error();
        return false;
    }
    if (r.Changed() == 0) {
        error = "There is already an account named " + name + ".";
        return false;
    }
    return true;
}

bool PgAccountStore::RemoveAccount(const std::string& name, std::string& error) {
    error.clear();
    PgConnection* c = Connected(error);
    if (!c) return false;
    // Its tokens go with it (ON DELETE CASCADE).
    PgResult r = c->Exec("DELETE FROM accounts WHERE name_key=$1", {AccountNameKey(name)});
    if (!r.Ok()) {
        error = r.Error();
        return false;
    }
    return r.Changed() > 0;
}

std::vector<Account> PgAccountStore::Accounts() {
    std::vector<Account> out;
    std::string error;
    PgConnection* c = Connected(error);
    if (!c) return out;
    PgResult r = c->Exec(std::string("SELECT ") + kColumns + " FROM accounts ORDER BY name_key");
    for (int i = 0; r.Ok() && i < r.Rows(); ++i) out.push_back(AccountFrom(r, i));
    return out;
}

std::optional<Account> PgAccountStore::FindAccount(const std::string& name) {
    std::string error;
    PgConnection* c = Connected(error);
    if (!c) return std::nullopt;
    PgResult r = c->Exec(std::string("SELECT ") + kColumns + " FROM accounts WHERE name_key=$1",
                         {AccountNameKey(name)});
    if (!r.Ok() || r.Rows() != 1) return std::nullopt;
    return AccountFrom(r, 0);
}

std::optional<Account> PgAccountStore::Authenticate(const std::string& name, const std::string& password,
                                                    int64_t now) {
    std::string error;
    PgConnection* c = Connected(error);
    std::optional<Account> found;
    std::string hash = m_dummyHash;
    if (c) {
        PgResult r =
            c->Exec(std::string("SELECT ") + kColumns + ", password_hash FROM accounts WHERE name_key=$1",
                    {AccountNameKey(name)});
        if (r.Ok() && r.Rows() == 1) {
            found = AccountFrom(r, 0);
            hash = r.Text(0, 4);
        }
    }
    const bool verified = VerifyPassword(hash, password);
    if (!found || !verified) return std::nullopt;
    // A login that cannot be noted still succeeds.
    c->Run("UPDATE accounts SET last_login=$1 WHERE name_key=$2", {now, AccountNameKey(name)});
    found->LastLogin = now;
    return found;
}

std::string PgAccountStore::NewToken(const std::string& name, int64_t now, std::string& error) {
    PgConnection* c = Connected(error);
    if (!c) return {};
    unsigned char random[kTokenBytes];
    randombytes_buf(random, sizeof random);
    const std::string token = "tovi_" + Hex(random, sizeof random);
    PgResult r = c->Exec(
        "INSERT INTO account_tokens(account_id, token_hash, created) SELECT id, $1, $2 FROM accounts WHERE "
        "name_key=$3",
        {PgBytes{TokenHash(token)}, now, AccountNameKey(name)});
    if (!r.Ok()) {
        error = r.Error();
        return {};
    }
    if (r.Changed() == 0) {
        error = "There is no account named " + name + ".";
        return {};
    }
    return token;
}

std::optional<Account> PgAccountStore::AccountByToken(const std::string& token) {
    if (token.empty()) return std::nullopt;
    std::string error;
    PgConnection* c = Connected(error);
    if (!c) return std::nullopt;
    PgResult r = c->Exec(
        "SELECT a.name, a.role, a.created, coalesce(a.last_login, 0) FROM accounts a JOIN account_tokens t"
        " ON t.account_id = a.id WHERE t.token_hash=$1",
        {PgBytes{TokenHash(token)}});
    if (!r.Ok() || r.Rows() != 1) return std::nullopt;
    return AccountFrom(r, 0);
}

}  // namespace tovi
