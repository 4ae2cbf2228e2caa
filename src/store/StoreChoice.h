#pragma once
// Where the record lives, as settings.ini says: `[store] postgres=` names a shared PostgreSQL
// database by its libpq connection string; empty (the default), the embedded SQLite file
// tovistats.db in the data folder. History rows in a shared database carry the server's code
// (`[server] servercode=`).
#include <filesystem>
#include <string>

namespace tovi {

struct StoreChoice {
    std::string Postgres;    // connection string; empty: the embedded file
    std::string ServerCode;  // this server's code, for its history rows
    bool Shared() const { return !Postgres.empty(); }
};

StoreChoice ReadStoreChoice(const std::filesystem::path& dataFolder);

}  // namespace tovi
