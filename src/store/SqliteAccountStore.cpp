#include "SqliteAccountStore.h"

#include <sodium.h>
#include <sqlite3.h>

#include "SqliteStatement.h"

namespace tovi {

namespace {

constexpr size_t kTokenBytes = 32;
constexpr const char* kColumns = "name, role, created, coalesce(last_login, 0), id, credential_version";

Account AccountFrom(const SqliteStatement& st) {
    Account a;
    a.Name = st.Bytes(0);
    a.AccountRole = ParseRole(st.Bytes(1)).value_or(Role::Viewer);
    a.Created = st.Int(2);
    a.LastLogin = st.Int(3);
    a.Id = st.Int(4);
    a.CredentialVersion = st.Int(5);
    return a;
}

std::string Hex(const unsigned char* data, size_t size) {
    std::string out(size * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), data, size);
    out.pop_back();
    return out;
}

}  // namespace

std::string HashPassword(const std::string& password) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return {};
    }
    return hash;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
    // The stored string must end inside the buffer libsodium reads.
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string TokenHash(const std::string& token) {
    unsigned char out[crypto_generichash_BYTES];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                       nullptr, 0);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

int64_t NewCredentialVersion() {
    uint64_t stamp = 0;
    randombytes_buf(&stamp, sizeof stamp);
    return static_cast<int64_t>(stamp & ((uint64_t{1} << 53) - 1)) + 1;
}

SqliteAccountStore::SqliteAccountStore(sqlite3* db, std::string dummyHash, Tables tables)
    : m_db(db),
      m_accounts(tables == Tables::Own ? "accounts" : "shared_accounts"),
      m_tokens(tables == Tables::Own ? "account_tokens" : "shared_account_tokens"),
      m_dummyHash(std::move(dummyHash)) {}

SqliteAccountStore::Opened SqliteAccountStore::Open(const std::string& path, Tables tables) {
    Opened opened;
    if (sodium_init() < 0) {
        opened.Error = "The password library could not start";
        return opened;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        opened.Error =
            "The accounts in " + path + " cannot be opened (" + (db ? sqlite3_errmsg(db) : "no memory") + ")";
        sqlite3_close_v2(db);
        return opened;
    }
    sqlite3_busy_timeout(db, 2000);
    SqliteStatement check(db, tables == Tables::Own
                                  ? "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN "
                                    "('accounts','account_tokens')"
                                  : "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN "
                                    "('shared_accounts','shared_account_tokens')");
    if (!check.Ok() || sqlite3_step(*check) != SQLITE_ROW || sqlite3_column_int(*check, 0) != 2) {
        opened.Error = "The database " + path + " holds no accounts";
        sqlite3_close_v2(db);
        return opened;
    }
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    std::string dummy = HashPassword(Hex(random, sizeof random));
    if (dummy.empty()) {
        opened.Error = "Not enough memory to check passwords";
        sqlite3_close_v2(db);
        return opened;
    }
    opened.Store.reset(new SqliteAccountStore(db, std::move(dummy), tables));
    return opened;
}

SqliteAccountStore::~SqliteAccountStore() {
    sqlite3_close_v2(m_db);
}

bool SqliteAccountStore::AddAccount(const std::string& name, Role role, const std::string& password,
                                    int64_t now, std::string& error) {
    if (!ValidAccountName(name)) {
        error = "An account name is 1 to 32 letters, digits, dots, dashes or underscores.";
        return false;
    }
    const std::string hash = HashPassword(password);
    if (hash.empty()) {
        error = "Not enough memory to hash the password.";
        return false;
    }
    SqliteStatement st(m_db, "INSERT INTO " + m_accounts +
                                 "(name, name_key, role, password_hash, created, credential_version) VALUES "
                                 "(?,?,?,?,?,?)");
    if (!st.Ok()) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    st.Text(1, name);
    st.Text(2, AccountNameKey(name));
    st.Text(3, RoleText(role));
    st.Text(4, hash);
    st.Int(5, now);
    st.Int(6, NewCredentialVersion());
    const int rc = sqlite3_step(*st);
    if (rc == SQLITE_CONSTRAINT) {
        error = "There is already an account named " + name + ".";
        return false;
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

bool SqliteAccountStore::RemoveAccount(const std::string& name, std::string& error) {
    error.clear();
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    SqliteStatement tokens(m_db, "DELETE FROM " + m_tokens + " WHERE account_id IN (SELECT id FROM " + m_accounts +
                                     " WHERE name_key=?)");
    SqliteStatement account(m_db, "DELETE FROM " + m_accounts + " WHERE name_key=?");
    bool ok = tokens.Ok() && account.Ok();
    if (ok) {
        tokens.Text(1, AccountNameKey(name));
        account.Text(1, AccountNameKey(name));
        ok = sqlite3_step(*tokens) == SQLITE_DONE && sqlite3_step(*account) == SQLITE_DONE;
    }
    const bool found = ok && sqlite3_changes(m_db) > 0;
    if (!ok || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return found;
}

std::vector<Account> SqliteAccountStore::Accounts() {
    std::vector<Account> out;
    ReadAccounts(out);
    return out;
}

bool SqliteAccountStore::ReadAccounts(std::vector<Account>& out) {
    out.clear();
    SqliteStatement st(m_db, std::string("SELECT ") + kColumns + " FROM " + m_accounts + " ORDER BY name_key");
    if (!st.Ok()) return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) out.push_back(AccountFrom(st));
    return rc == SQLITE_DONE;
}

std::optional<Account> SqliteAccountStore::FindAccount(const std::string& name) {
    SqliteStatement st(m_db, std::string("SELECT ") + kColumns + " FROM " + m_accounts + " WHERE name_key=?");
    if (!st.Ok()) return std::nullopt;
    st.Text(1, AccountNameKey(name));
    if (sqlite3_step(*st) != SQLITE_ROW) return std::nullopt;
    return AccountFrom(st);
}

std::optional<Account> SqliteAccountStore::Authenticate(const std::string& name, const std::string& password,
                                                        int64_t now) {
    SqliteStatement st(m_db,
                       std::string("SELECT ") + kColumns + ", password_hash FROM " + m_accounts + " WHERE name_key=?");
    std::optional<Account> found;
    std::string hash = m_dummyHash;
    if (st.Ok()) {
        st.Text(1, AccountNameKey(name));
        if (sqlite3_step(*st) == SQLITE_ROW) {
            found = AccountFrom(st);
            hash = st.Bytes(6);
        }
    }
    const bool verified = VerifyPassword(hash, password);
    if (!found || !verified) return std::nullopt;
    SqliteStatement login(m_db, "UPDATE " + m_accounts + " SET last_login=? WHERE name_key=?");
    if (login.Ok()) {
        login.Int(1, now);
        login.Text(2, AccountNameKey(name));
        sqlite3_step(*login);  // a login that cannot be noted still succeeds
    }
    found->LastLogin = now;
    return found;
}

std::string SqliteAccountStore::NewToken(const std::string& name, int64_t now, std::string& error) {
    unsigned char random[kTokenBytes];
    randombytes_buf(random, sizeof random);
    const std::string token = "tovi_" + Hex(random, sizeof random);
    SqliteStatement st(m_db, "INSERT INTO " + m_tokens + "(account_id, token_hash, created) SELECT id, ?, ? FROM " +
                                 m_accounts + " WHERE name_key=?");
    if (!st.Ok()) {
        error = sqlite3_errmsg(m_db);
        return {};
    }
    st.Blob(1, TokenHash(token));
    st.Int(2, now);
    st.Text(3, AccountNameKey(name));
    if (sqlite3_step(*st) != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return {};
    }
    if (sqlite3_changes(m_db) == 0) {
        error = "There is no account named " + name + ".";
        return {};
    }
    return token;
}

std::optional<Account> SqliteAccountStore::AccountByToken(const std::string& token) {
    if (token.empty()) return std::nullopt;
    SqliteStatement st(m_db,
                       "SELECT a.name, a.role, a.created, coalesce(a.last_login, 0), a.id, a.credential_version FROM " +
                           m_accounts + " a JOIN " + m_tokens + " t ON t.account_id = a.id WHERE t.token_hash=?");
    if (!st.Ok()) return std::nullopt;
    st.Blob(1, TokenHash(token));
    if (sqlite3_step(*st) != SQLITE_ROW) return std::nullopt;
    return AccountFrom(st);
}

bool SqliteAccountStore::Replace(const AccountSnapshot& snapshot, const std::string& source,
                                 std::string& error) {
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    bool ok = sqlite3_exec(m_db, ("DELETE FROM " + m_tokens + "; DELETE FROM " + m_accounts).c_str(), nullptr,
                           nullptr, nullptr) == SQLITE_OK;
    SqliteStatement account(m_db, "INSERT INTO " + m_accounts +
                                      "(id, name, name_key, role, password_hash, created, last_login,"
                                      " credential_version) VALUES (?,?,?,?,?,?,?,?)");
    SqliteStatement token(m_db, "INSERT INTO " + m_tokens + "(id, account_id, token_hash, created) VALUES (?,?,?,?)");
    SqliteStatement from(m_db, "INSERT INTO shared_accounts_source(description) VALUES (?)");
    ok = ok && account.Ok() && token.Ok() && from.Ok() &&
         sqlite3_exec(m_db, "DELETE FROM shared_accounts_source", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) {
        from.Text(1, source);
        ok = sqlite3_step(*from) == SQLITE_DONE;
    }
    for (const AccountSnapshot::Entry& e : snapshot.Accounts) {
        if (!ok) break;
        sqlite3_reset(*account);
        account.Int(1, e.Known.Id);
        account.Text(2, e.Known.Name);
        account.Text(3, AccountNameKey(e.Known.Name));
        account.Text(4, RoleText(e.Known.AccountRole));
        account.Text(5, e.PasswordHash);
        account.Int(6, e.Known.Created);
        account.Int(7, e.Known.LastLogin);
        account.Int(8, e.Known.CredentialVersion);
        ok = sqlite3_step(*account) == SQLITE_DONE;
    }
    for (const AccountSnapshot::Token& t : snapshot.Tokens) {
        if (!ok) break;
        sqlite3_reset(*token);
        token.Int(1, t.Id);
        token.Int(2, t.AccountId);
        token.Blob(3, t.Hash);
        token.Int(4, t.Created);
        ok = sqlite3_step(*token) == SQLITE_DONE;
    }
    if (!ok || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

std::string SqliteAccountStore::Source() {
    SqliteStatement st(m_db, "SELECT description FROM shared_accounts_source");
    return st.Ok() && sqlite3_step(*st) == SQLITE_ROW ? st.Bytes(0) : std::string();
}

bool SqliteAccountStore::ReadSnapshot(AccountSnapshot& out) {
    out = {};
    SqliteStatement accounts(m_db, std::string("SELECT ") + kColumns + ", password_hash FROM " + m_accounts +
                                       " ORDER BY id");
    SqliteStatement tokens(m_db, "SELECT id, account_id, token_hash, created FROM " + m_tokens + " ORDER BY id");
    if (!accounts.Ok() || !tokens.Ok()) return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(*accounts)) == SQLITE_ROW) out.Accounts.push_back({AccountFrom(accounts), accounts.Bytes(6)});
    if (rc != SQLITE_DONE) return false;
    while ((rc = sqlite3_step(*tokens)) == SQLITE_ROW)
        out.Tokens.push_back({tokens.Int(0), tokens.Int(1), tokens.Int(3), tokens.Bytes(2)});
    return rc == SQLITE_DONE;
}

bool NotePanelAccounts(const std::string& path, const PanelAccountsNote& note) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, 2000);
        ok = sqlite3_exec(db, "BEGIN IMMEDIATE; DELETE FROM panel_accounts", nullptr, nullptr, nullptr) == SQLITE_OK;
        SqliteStatement insert(db, "INSERT INTO panel_accounts(store, process) VALUES (?, ?)");
        ok = ok && insert.Ok();
        if (ok) {
            insert.Text(1, note.Store);
            insert.Int(2, note.Process);
            ok = sqlite3_step(*insert) == SQLITE_DONE;
        }
        ok = sqlite3_exec(db, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    }
    sqlite3_close_v2(db);
    return ok;
}

std::optional<PanelAccountsNote> ReadPanelAccounts(const std::string& path) {
    sqlite3* db = nullptr;
    std::optional<PanelAccountsNote> note;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        SqliteStatement st(db, "SELECT store, process FROM panel_accounts");
        if (st.Ok() && sqlite3_step(*st) == SQLITE_ROW) note = PanelAccountsNote{st.Bytes(0), st.Int(1)};
    }
    sqlite3_close_v2(db);
    return note;
}

}  // namespace tovi
