#pragma once
// The accounts in the record's database (tables accounts and account_tokens, which the record's
// schema brings), on a connection of their own: each change is written at once. The same file
// also keeps a mirror of a shared database's accounts (shared_accounts, shared_account_tokens),
// read the same way and written whole, as that database last answered (but for the logins noted).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AccountStore.h"

struct sqlite3;

namespace tovi {

// Every account of a store with the hashes it keeps: what a mirror holds.
struct AccountSnapshot {
    struct Entry {
        Account Known;
        std::string PasswordHash;
        bool operator==(const Entry&) const = default;
    };
    struct Token {
        int64_t Id = 0, AccountId = 0, Created = 0;
        std::string Hash;
        bool operator==(const Token&) const = default;
    };
    std::vector<Entry> Accounts;
    std::vector<Token> Tokens;
    bool operator==(const AccountSnapshot&) const = default;
};

class SqliteAccountStore final : public AccountStore {
public:
    struct Opened {
        std::unique_ptr<SqliteAccountStore> Store;  // null when the accounts cannot be read
        std::string Error;
    };
    enum class Tables { Own, SharedMirror };
    // The database must already hold the record's schema (SqliteHistoryStore::Open makes it).
    static Opened Open(const std::string& path, Tables tables = Tables::Own);

    // The mirror made exactly `snapshot` of the database `source` describes, in one transaction
    // (its ids are the shared database's).
    bool Replace(const AccountSnapshot& snapshot, const std::string& source, std::string& error);
    // The description of the database the mirror was read from; empty when none.
    std::string Source();
    // Every account with its hashes, as kept here; false when the file could not be read.
    bool ReadSnapshot(AccountSnapshot& out);
    ~SqliteAccountStore() override;
    SqliteAccountStore(const SqliteAccountStore&) = delete;
    SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

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
    SqliteAccountStore(sqlite3* db, std::string dummyHash, Tables tables);
    sqlite3* m_db;
    std::string m_accounts, m_tokens;  // the tables' names
    // Verified against when the name is unknown, so that such a login costs as much as any.
    std::string m_dummyHash;
};

// Which accounts a running program's panel checks, noted in its record's file as it opens them:
// `Store` is empty for the file's own, else the shared database's description (StoreDescription).
struct PanelAccountsNote {
    std::string Store;
    int64_t Process = 0;
};
bool NotePanelAccounts(const std::string& path, const PanelAccountsNote& note);
// Nothing when no panel noted any (or the file cannot be read).
std::optional<PanelAccountsNote> ReadPanelAccounts(const std::string& path);

// Argon2id with libsodium's interactive limits; empty when hashing failed (out of memory).
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& hash, const std::string& password);
// The stored form of an API token: its BLAKE2b hash.
std::string TokenHash(const std::string& token);
// A fresh credential stamp: random, positive, exact in a JSON number.
int64_t NewCredentialVersion();

}  // namespace tovi
