#pragma once
// Where the record lives, as settings.ini says: `[store] postgres=` names a shared PostgreSQL
// database by its libpq connection string; empty (the default), the embedded SQLite file
// tovistats.db in the data folder. History rows in a shared database carry the server's code
// (`[server] servercode=`).
//
// A connection string may carry a password: it never goes into a log line, the record or a
// browser whole. What may be said of a store is StoreDescription's; texts that may quote one
// (a driver's error) pass through WithoutPasswords first.
#include <filesystem>
#include <string>

namespace tovi {

struct StoreChoice {
    std::string Postgres;    // connection string; empty: the embedded file
    std::string ServerCode;  // this server's code, for its history rows
    bool Shared() const { return !Postgres.empty(); }
};

// The longest connection string settings.ini keeps.
inline constexpr size_t kMaxConninfoBytes = 1023;

StoreChoice ReadStoreChoice(const std::filesystem::path& dataFolder);

// Why a connection string cannot be used ("" when it can, or when it is empty): it cannot be
// read, or this build has no PostgreSQL; when `saving`, also a dbname that is itself a connection
// string. Says nothing of the string itself.
std::string ConninfoProblem(const std::string& conninfo, bool saving = false);
// The store in words fit for a log line or the audit log: the local file, or the shared
// database's name and host. Never a password.
std::string StoreDescription(const std::string& conninfo);
// `text` with every password the connection string carries masked wherever it appears (in a
// connection string hidden in its dbname too), and any password written out as a setting or in a
// URI's user part.
std::string WithoutPasswords(std::string text, const std::string& conninfo);

}  // namespace tovi
