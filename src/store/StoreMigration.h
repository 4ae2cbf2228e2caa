#pragma once
// tovistats --migrate-store FROM TO [--server CODE] [--data-dir DIR]: copies a server's record
// from its embedded SQLite file into a shared PostgreSQL database, or back. FROM and TO are a
// file path or `postgres:` and a libpq connection string; exactly one of them is a database.
// The history goes under the server's code (--server, or servercode in the data folder's
// settings.ini); the ban list, the warnings and the accounts go along, none twice. Nothing is
// copied into a target that already holds history of that server: the copy is whole or nothing.
// Tables are read and written a piece at a time, so that a record of any size costs the same
// memory, and each table's progress is said as it goes.
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace tovi {

inline constexpr const char* kMigrateStoreOption = "--migrate-store";

// Rows read and written at a time.
inline constexpr size_t kMigratePiece = 1000;

bool WantsStoreMigration(const std::vector<std::string>& args);

// Answers the process's exit code: 0 done, 1 a store failed or refused, 2 the command line is
// wrong. `defaultFolder` is the data folder when --data-dir is not given.
int MigrateStore(const std::vector<std::string>& args, const std::string& defaultFolder, std::ostream& out,
                 std::ostream& err, size_t piece = kMigratePiece);

}  // namespace tovi
