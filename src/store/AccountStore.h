#pragma once
// The web panel's accounts: one per person, each with a role, a password kept only as an
// Argon2id hash, and API tokens kept only as hashes. Names are compared with letter case folded.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ActionKind.h"

namespace tovi {

// Ordered: each role can do what the roles below it can.
enum class Role { Viewer = 0, Moderator = 1, Admin = 2 };

const char* RoleText(Role role);

// Whether `role` may give orders of `kind`; a moderator's bans are bounded by `moderatorBanSeconds`
// and are never for good. Empty when allowed, else why not.
std::string RoleRefusal(Role role, ActionKind kind, int64_t seconds, int64_t moderatorBanSeconds);
std::optional<Role> ParseRole(std::string_view text);

struct Account {
    std::string Name;  // as given when added (ASCII)
    Role AccountRole = Role::Viewer;
    int64_t Created = 0;    // Unix seconds
    int64_t LastLogin = 0;  // 0: never
    // Who the account is: its row, and a stamp drawn anew whenever its password or role is set.
    // A name removed and added again is another account, even where the row's number is reused.
    int64_t Id = 0;
    int64_t CredentialVersion = 0;
    bool operator==(const Account&) const = default;
};

// Names are 1 to 32 of the letters, digits and ". _ -": they land in the audit log and in
// headers, so nothing that could be read as markup or a line break.
bool ValidAccountName(std::string_view name);
std::string AccountNameKey(std::string_view name);

class AccountStore {
public:
    virtual ~AccountStore() = default;

    // False, with `error` saying why, when the name is taken or invalid or the file refused.
    virtual bool AddAccount(const std::string& name, Role role, const std::string& password, int64_t now,
                            std::string& error) = 0;
    // False when there is no such account (error empty) or the file refused (error says why).
    virtual bool RemoveAccount(const std::string& name, std::string& error) = 0;
    virtual std::vector<Account> Accounts() = 0;
    // Every account; false when the store could not be read (then `out` tells nothing).
    virtual bool ReadAccounts(std::vector<Account>& out) = 0;
    // The account with this name (letter case ignored), as it is now.
    virtual std::optional<Account> FindAccount(const std::string& name) = 0;

    // The account when the password is its own; nothing otherwise. An unknown name costs the same
    // as a wrong password, so that the answer's time tells nothing. A success notes the login.
    virtual std::optional<Account> Authenticate(const std::string& name, const std::string& password,
                                                int64_t now) = 0;

    // A new API token for the account, answered once and kept only as a hash; empty with `error`
    // when there is no such account or the file refused.
    virtual std::string NewToken(const std::string& name, int64_t now, std::string& error) = 0;
    virtual std::optional<Account> AccountByToken(const std::string& token) = 0;
};

}  // namespace tovi
