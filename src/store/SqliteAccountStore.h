#pragma once
// The accounts in the record's database (tables accounts and account_tokens, which the record's
// schema brings), on a connection of their own: each change is written at once.
#include <memory>
#include <string>

#include "AccountStore.h"

struct sqlite3;

namespace tovi {

class SqliteAccountStore final : public AccountStore {
public:
    struct Opened {
        std::unique_ptr<SqliteAccountStore> Store;  // null when the accounts cannot be read
        std::string Error;
    };
    // The database must already hold the record's schema (SqliteHistoryStore::Open makes it).
    static Opened Open(const std::string& path);
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
    SqliteAccountStore(sqlite3* db, std::string dummyHash) : m_db(db), m_dummyHash(std::move(dummyHash)) {}
    sqlite3* m_db;
    // Verified against when the name is unknown, so that such a login costs as much as any.
    std::string m_dummyHash;
};

// Argon2id with libsodium's interactive limits; empty when hashing failed (out of memory).
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& hash, const std::string& password);
// The stored form of an API token: its BLAKE2b hash.
std::string TokenHash(const std::string& token);
// A fresh credential stamp: random, positive, exact in a JSON number.
int64_t NewCredentialVersion();

}  // namespace tovi
