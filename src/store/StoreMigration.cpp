#include "StoreMigration.h"

#include <algorithm>
#include <filesystem>

#if defined(TOVI_STORE_POSTGRES)
#include <sqlite3.h>

#include <functional>
#include <limits>
#include <utility>

#include "PgConnection.h"
#include "PgHistoryStore.h"
#include "PgSchema.h"
#include "SqliteHistoryStore.h"
#include "StoreChoice.h"
#endif

namespace tovi {

bool WantsStoreMigration(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& arg) { return arg == kMigrateStoreOption; });
}

#if defined(TOVI_STORE_POSTGRES)
namespace {

constexpr const char* kPostgresPrefix = "postgres:";

// A table's columns as both engines keep them: 'I' a number, 'T' a text, 'B' bytes.
struct Table {
    const char* Name;
    std::vector<std::pair<const char*, char>> Columns;
    bool History;  // one server's rows (the server column in the shared database)
    const char* Order;
};

const std::vector<Table>& Tables() {
    static const std::vector<Table> tables = {
        {"matches",
         {{"id", 'I'},
          {"started", 'I'},
          {"ended", 'I'},
          {"server_name", 'T'},
          {"map_name", 'T'},
          {"map_file", 'T'},
          {"game_type", 'T'},
          {"result", 'T'},
          {"players_at_end", 'I'},
          {"stats_written", 'I'},
          {"stats_refused", 'T'},
          {"upload_time", 'I'},
          {"upload_outcome", 'T'}},
         true,
         "id"},
        {"stints",
         {{"match_id", 'I'},
          {"name", 'T'},
          {"name_key", 'T'},
          {"slot", 'I'},
          {"team", 'I'},
          {"joined", 'I'},
          {"left_at", 'I'}},
         true,
         "id"},
        {"player_stats",
         {{"match_id", 'I'}, {"name", 'T'}, {"team", 'I'}, {"stat", 'T'}, {"value", 'I'}},
         true,
         ""},
        {"chat",
         {{"time", 'I'},
          {"match_id", 'I'},
          {"sent", 'I'},
          {"player", 'T'},
          {"message", 'T'},
          {"player_raw", 'B'},
          {"message_raw", 'B'},
          {"read_back_at", 'I'}},
         true,
         "id"},
        {"admin_actions",
         {{"time", 'I'},
          {"who", 'T'},
          {"action", 'T'},
          {"target", 'T'},
          {"reason", 'T'},
          {"detail", 'T'},
          {"outcome", 'T'},
          {"why", 'T'}},
         true,
         "id"},
        {"server_events", {{"time", 'I'}, {"kind", 'T'}, {"detail", 'T'}}, true, "id"},
    };
    return tables;
}

constexpr const char* kBanColumns =
    "name, name_key, name_raw, exact_case, reason, issued_by, issued_at, expires_at,"
    " notes, lifted_at, lifted_by, lift_reason";
constexpr const char kBanKinds[] = "TTBITTIITITT";
constexpr const char* kWarningColumns = "name, name_key, name_raw, time, issued_by, text";
constexpr const char kWarningKinds[] = "TTBITT";
constexpr const char* kAccountColumns = "name, name_key, role, password_hash, created, last_login";
constexpr const char kAccountKinds[] = "TTTTII";

using Row = std::vector<PgValue>;

// A statement's parameters as SQLite takes them; a null stays unbound.
void Bind(sqlite3_stmt* st, const Row& values) {
    int i = 1;
    for (const PgValue& v : values) {
        if (auto* n = std::get_if<int64_t>(&v)) {
            sqlite3_bind_int64(st, i, *n);
        } else if (auto* s = std::get_if<std::string>(&v)) {
            sqlite3_bind_text64(st, i, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        } else if (auto* b = std::get_if<PgBytes>(&v)) {
            sqlite3_bind_blob64(st, i, b->Bytes.data(), b->Bytes.size(), SQLITE_TRANSIENT);
        }
        ++i;
    }
}

// The embedded file, read and written with plain statements.
class SqliteFile {
public:
    explicit SqliteFile(sqlite3* db) : m_db(db) {}
    ~SqliteFile() { sqlite3_close_v2(m_db); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;
    std::string Error() const { return sqlite3_errmsg(m_db); }

    // Each row of a query as it is read, nothing of the table held; false when the query failed
    // or `row` answered false.
    bool Each(const std::string& sql, const std::function<bool(Row&)>& row) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return false;
        int rc = SQLITE_ROW;
        bool going = true;
        while (going && (rc = sqlite3_step(st)) == SQLITE_ROW) {
            Row values;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const void* data = sqlite3_column_blob(st, c);
                std::string bytes(data ? static_cast<const char*>(data) : "",
                                  static_cast<size_t>(sqlite3_column_bytes(st, c)));
                switch (sqlite3_column_type(st, c)) {
                    case SQLITE_NULL:
                        values.emplace_back(nullptr);
                        break;
                    case SQLITE_INTEGER:
                        values.emplace_back(static_cast<int64_t>(sqlite3_column_int64(st, c)));
                        break;
                    case SQLITE_BLOB:
                        values.emplace_back(PgBytes{std::move(bytes)});
                        break;
                    default:
                        values.emplace_back(std::move(bytes));
                        break;
                }
            }
            going = row(values);
        }
        sqlite3_finalize(st);
        return going && rc == SQLITE_DONE;
    }
    // A query's one number; -1 when it failed.
    int64_t Count(const std::string& sql) {
        int64_t n = -1;
        const bool ok = Each(sql, [&](Row& row) {
            if (auto* count = std::get_if<int64_t>(&row[0])) n = *count;
            return true;
        });
        return ok ? n : -1;
    }
    bool Run(const std::string& sql, const Row& values = {}) {
        Insert statement(*this, sql);
        return statement.Run(values);
    }

    // One statement prepared once and run for row after row.
    class Insert {
    public:
        Insert(SqliteFile& file, const std::string& sql) {
            if (sqlite3_prepare_v2(file.m_db, sql.c_str(), -1, &m_st, nullptr) != SQLITE_OK) m_st = nullptr;
        }
        ~Insert() { sqlite3_finalize(m_st); }
        Insert(const Insert&) = delete;
        Insert& operator=(const Insert&) = delete;
        bool Run(const Row& values) {
            if (!m_st) return false;
            Bind(m_st, values);
            const int rc = sqlite3_step(m_st);
            sqlite3_reset(m_st);
            sqlite3_clear_bindings(m_st);
            return rc == SQLITE_DONE || rc == SQLITE_ROW;
        }

    private:
        sqlite3_stmt* m_st = nullptr;
    };

private:
    sqlite3* m_db;
};

// A PostgreSQL row in the kinds given, from column `first` on: texts and numbers as they are,
// bytes unescaped.
Row FromPg(const PgResult& r, int row, const std::string& kinds, int first = 0) {
    Row out;
    for (int k = 0; k < static_cast<int>(kinds.size()); ++k) {
        const int c = first + k;
        if (r.IsNull(row, c))
            out.emplace_back(nullptr);
        else if (kinds[static_cast<size_t>(k)] == 'I')
            out.emplace_back(r.Int(row, c));
        else if (kinds[static_cast<size_t>(k)] == 'B')
            out.emplace_back(PgBytes{r.Bytes(row, c)});
        else
            out.emplace_back(r.Text(row, c));
    }
    return out;
}

std::string Placeholders(size_t count, size_t first = 1) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += (i ? ",$" : "$") + std::to_string(first + i);
    return out;
}

std::string Names(const Table& t) {
    std::string out;
    for (const auto& [name, kind] : t.Columns) out += std::string(out.empty() ? "" : ", ") + name;
    return out;
}

std::string Kinds(const Table& t) {
    std::string out;
    for (const auto& [name, kind] : t.Columns) out += kind;
    return out;
}

// "($1,$2),($3,$4)": `rows` rows of `columns` values for one INSERT.
std::string Tuples(size_t rows, size_t columns) {
    std::string out;
    for (size_t r = 0; r < rows; ++r) out += (r ? ",(" : "(") + Placeholders(columns, 1 + r * columns) + ")";
    return out;
}

// PostgreSQL takes at most this many parameters in a statement.
constexpr size_t kMaxParameters = 65535;
// A table's progress is said every this many rows, and at its end.
constexpr int64_t kProgressRows = 100000;

// Says how far the copy of a table got, as it goes.
class Progress {
public:
    Progress(std::ostream& out, std::string table, int64_t total)
        : m_out(out), m_table(std::move(table)), m_total(total) {}
    void Add(size_t rows) {
        m_done += static_cast<int64_t>(rows);
        if (m_done / kProgressRows == (m_done - static_cast<int64_t>(rows)) / kProgressRows || m_done >= m_total)
            return;
        m_out << m_table << ": " << m_done << " of " << m_total << " rows copied\n" << std::flush;
    }
    size_t End() {
        m_out << m_table << ": " << m_done << " rows copied\n" << std::flush;
        return static_cast<size_t>(m_done);
    }

private:
    std::ostream& m_out;
    std::string m_table;
    int64_t m_total;
    int64_t m_done = 0;
};

int ToPostgres(SqliteFile& from, PgConnection& to, const std::string& server, size_t piece, std::ostream& out,
               std::ostream& err) {
    auto failed = [&](const std::string& why) {
        err << "Nothing was copied: " << why << "\n";
        to.ExecScript("ROLLBACK");
        return 1;
    };
    if (!to.Run("BEGIN")) return failed(to.Error());
    PgResult held = to.Exec(
        "SELECT (SELECT count(*) FROM matches WHERE server=$1) + (SELECT count(*) FROM chat"
        " WHERE server=$1) + (SELECT count(*) FROM server_events WHERE server=$1)",
        {server});
    if (!held.Ok()) return failed(held.Error());
    if (held.Int(0, 0) > 0) return failed("the database already holds history of server " + server + ".");
    if (!to.Run("INSERT INTO servers(code) VALUES ($1) ON CONFLICT DO NOTHING", {server}))
        return failed(to.Error());
    size_t copied = 0;
    std::string why;
    for (const Table& t : Tables()) {
        const std::string order = *t.Order ? t.Order : "rowid";
        const bool chat = std::string(t.Name) == "chat";
        const size_t columns = t.Columns.size() + (chat ? 2 : 1);
        // Rows go in pieces, each one INSERT of many rows, all in the one transaction.
        const size_t perInsert = std::clamp<size_t>(piece, 1, kMaxParameters / columns);
        const std::string into = "INSERT INTO " + std::string(t.Name) + "(server, " + Names(t) +
                                 (chat ? ", words" : "") + ") VALUES ";
        const std::string full = into + Tuples(perInsert, columns);
        Progress progress(out, t.Name, from.Count(std::string("SELECT count(*) FROM ") + t.Name));
        std::vector<PgValue> values;
        size_t rows = 0;
        auto send = [&] {
            if (rows == 0) return true;
            if (!to.Run(rows == perInsert ? full : into + Tuples(rows, columns), values)) {
                why = std::string(t.Name) + ": " + to.Error();
                return false;
            }
            progress.Add(rows);
            values.clear();
            rows = 0;
            return true;
        };
        const bool ok =
            from.Each("SELECT " + Names(t) + " FROM " + t.Name + " ORDER BY " + order,
                      [&](Row& row) {
                          values.emplace_back(server);
                          std::string words;
                          if (chat) {
                              const auto* message = std::get_if<PgBytes>(&row[6]);
                              words = PgHistoryStore::ChatWords(message ? message->Bytes : std::string());
                          }
                          for (PgValue& v : row) values.push_back(std::move(v));
                          if (chat) values.emplace_back(std::move(words));
                          return ++rows < perInsert || send();
                      }) &&
            send();
        if (!ok) return failed(why.empty() ? from.Error() : why);
        copied += progress.End();
    }
    // The community's lists: what the database holds already stays, and is not added twice.
    size_t bans = 0, warnings = 0, accountsCopied = 0;
    auto each = [&](const std::string& sql, const std::function<bool(Row&)>& row) {
        if (from.Each(sql, row)) return true;
        if (why.empty()) why = from.Error();
        return false;
    };
    const bool lists =
        each(std::string("SELECT ") + kBanColumns + " FROM bans ORDER BY id",
             [&](Row& ban) {
                 ++bans;
                 if (to.Run(std::string("INSERT INTO bans(") + kBanColumns + ") SELECT " + Placeholders(12) +
                                " WHERE NOT EXISTS (SELECT 1 FROM bans WHERE name_raw = $3 AND issued_at = $7 AND"
                                " reason IS NOT DISTINCT FROM $5)",
                            ban))
                     return true;
                 why = "bans: " + to.Error();
                 return false;
             }) &&
        each(std::string("SELECT ") + kWarningColumns + " FROM warnings ORDER BY id",
             [&](Row& warning) {
                 ++warnings;
                 if (to.Run(std::string("INSERT INTO warnings(") + kWarningColumns + ") SELECT " +
                                Placeholders(6) +
                                " WHERE NOT EXISTS (SELECT 1 FROM warnings WHERE name_raw = $3 AND time = $4 AND"
                                " text IS NOT DISTINCT FROM $6)",
                            warning))
                     return true;
                 why = "warnings: " + to.Error();
                 return false;
             }) &&
        each(std::string("SELECT ") + kAccountColumns + " FROM accounts ORDER BY id",
             [&](Row& account) {
                 PgResult r = to.Exec(std::string("INSERT INTO accounts(") + kAccountColumns + ") VALUES (" +
                                          Placeholders(6) + ") ON CONFLICT (name_key) DO NOTHING",
                                      account);
                 if (!r.Ok()) {
                     why = "accounts: " + r.Error();
                     return false;
                 }
                 if (r.Changed() == 0) {
                     err << "The account " << std::get<std::string>(account[0])
                         << " is in the database already: kept as it is there.\n";
                 } else {
                     ++accountsCopied;
                 }
                 return true;
             }) &&
        // Tokens of the accounts copied, found by the account's name.
        each(
            "SELECT a.name_key, t.token_hash, t.created FROM account_tokens t JOIN accounts a ON a.id = t.account_id"
            " ORDER BY t.id",
            [&](Row& token) {
                if (to.Run("INSERT INTO account_tokens(account_id, token_hash, created) SELECT id, $2, $3 FROM"
                           " accounts WHERE name_key = $1 AND NOT EXISTS (SELECT 1 FROM account_tokens WHERE"
                           " token_hash = $2)",
                           token))
                    return true;
                why = "tokens: " + to.Error();
                return false;
            });
    if (!lists) return failed(why);
    if (!to.Run("COMMIT")) return failed(to.Error());
    out << "Copied " << copied << " history rows of server " << server << ", " << bans << " bans, " << warnings
        << " warnings and " << accountsCopied << " accounts.\n";
    return 0;
}

int ToSqlite(PgConnection& from, SqliteFile& to, const std::string& server, size_t piece, std::ostream& out,
             std::ostream& err) {
    auto failed = [&](const std::string& why) {
        err << "Nothing was copied: " << why << "\n";
        to.Run("ROLLBACK");
        return 1;
    };
    if (!to.Run("BEGIN IMMEDIATE")) return failed(to.Error());
    const int64_t held = to.Count(
        "SELECT (SELECT count(*) FROM matches) + (SELECT count(*) FROM chat) + (SELECT count(*) FROM"
        " server_events) + (SELECT count(*) FROM bans) + (SELECT count(*) FROM accounts)");
    if (held < 0) return failed(to.Error());
    if (held > 0) return failed("the file holds a record already.");
    // One snapshot of the database for everything read, each table read a piece at a time by its id.
    if (!from.Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")) return failed(from.Error());
    size_t copied = 0;
    auto copy = [&](const std::string& table, const std::string& columns, bool ofServer, const std::string& kinds,
                    const std::string& insert) {
        const std::string where = ofServer ? " WHERE server = $1 AND id > $2" : " WHERE id > $1";
        auto params = [&](std::vector<PgValue> more) {
            if (ofServer) more.insert(more.begin(), server);
            return more;
        };
        PgResult total = from.Exec("SELECT count(*) FROM " + table + (ofServer ? " WHERE server = $1" : ""),
                                   params({}));
        if (!total.Ok()) {
            failed(total.Error());
            return false;
        }
        Progress progress(out, table, total.Int(0, 0));
        SqliteFile::Insert into(to, insert);
        const std::string select = "SELECT id, " + columns + " FROM " + table + where + " ORDER BY id LIMIT " +
                                   (ofServer ? "$3" : "$2");
        int64_t after = std::numeric_limits<int64_t>::min();
        for (;;) {
            PgResult r = from.Exec(select, params({after, static_cast<int64_t>(piece)}));
            if (!r.Ok()) {
                failed(table + ": " + r.Error());
                return false;
            }
            for (int i = 0; i < r.Rows(); ++i) {
                if (!into.Run(FromPg(r, i, kinds, 1))) {
                    failed(table + ": " + to.Error());
                    return false;
                }
                after = r.Int(i, 0);
            }
            progress.Add(static_cast<size_t>(r.Rows()));
            if (static_cast<size_t>(r.Rows()) < piece) break;
        }
        copied += progress.End();
        return true;
    };
    for (const Table& t : Tables()) {
        // The names the database keeps folded come along, as the file keeps them too.
        const std::string name = t.Name;
        const std::string key = name == "chat" ? "player_key" : name == "admin_actions" ? "target_key" : "";
        const std::string names = Names(t) + (key.empty() ? "" : ", " + key);
        if (!copy(name, names, true, Kinds(t) + (key.empty() ? "" : "T"),
                  "INSERT INTO " + name + "(" + names + ") VALUES (" +
                      Placeholders(t.Columns.size() + (key.empty() ? 0 : 1)) + ")"))
            return 1;
    }
    const size_t history = copied;
    if (!copy("bans", std::string("id, ") + kBanColumns, false, std::string("I") + kBanKinds,
              std::string("INSERT INTO bans(id, ") + kBanColumns + ") VALUES (" + Placeholders(13) + ")") ||
        !copy("warnings", std::string("id, ") + kWarningColumns, false, std::string("I") + kWarningKinds,
              std::string("INSERT INTO warnings(id, ") + kWarningColumns + ") VALUES (" + Placeholders(7) + ")") ||
        !copy("accounts", std::string("id, ") + kAccountColumns, false, std::string("I") + kAccountKinds,
              std::string("INSERT INTO accounts(id, ") + kAccountColumns + ") VALUES (" + Placeholders(7) + ")") ||
        !copy("account_tokens", "account_id, token_hash, created", false, "IBI",
              "INSERT INTO account_tokens(account_id, token_hash, created) VALUES (?,?,?)"))
        return 1;
    from.ExecScript("COMMIT");
    if (!to.Run("COMMIT")) return failed(to.Error());
    out << "Copied " << history << " history rows of server " << server << " and " << copied - history
        << " rows of the ban list and the accounts.\n";
    return 0;
}

}  // namespace
#endif

int MigrateStore(const std::vector<std::string>& args, const std::string& defaultFolder, std::ostream& out,
                 std::ostream& err, size_t piece) {
    std::vector<std::string> places;
    std::string server, folder = defaultFolder;
    const char* usage =
        "Usage: tovistats --migrate-store FROM TO [--server CODE] [--data-dir DIR], FROM and TO a"
        " file or postgres:CONNINFO\n";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == kMigrateStoreOption) {
            if (i + 2 >= args.size()) {
                err << kMigrateStoreOption << " needs where from and where to. " << usage;
                return 2;
            }
            places = {args[i + 1], args[i + 2]};
            i += 2;
        } else if ((arg == "--server" || arg == "--data-dir") && i + 1 < args.size()) {
            (arg == "--server" ? server : folder) = args[++i];
        } else {
            err << "Unknown argument " << arg << ". " << usage;
            return 2;
        }
    }
    if (places.empty()) {
        err << kMigrateStoreOption << " needs where from and where to. " << usage;
        return 2;
    }
#if defined(TOVI_STORE_POSTGRES)
    const bool fromPg = places[0].starts_with(kPostgresPrefix), toPg = places[1].starts_with(kPostgresPrefix);
    if (fromPg == toPg) {
        err << "One of FROM and TO is a file and the other postgres:CONNINFO. " << usage;
        return 2;
    }
    if (server.empty())
        server =
            ReadStoreChoice(std::filesystem::path(std::u8string(folder.begin(), folder.end()))).ServerCode;
    if (server.empty()) {
        err << "The history needs the server's code: give --server CODE, or set servercode in "
               "settings.ini.\n";
        return 2;
    }
    const std::string conninfo = (fromPg ? places[0] : places[1]).substr(std::string(kPostgresPrefix).size());
    const std::string file = fromPg ? places[1] : places[0];
    if (!fromPg && !std::filesystem::exists(std::filesystem::path(std::u8string(file.begin(), file.end())))) {
        err << "There is no record " << file << ".\n";
        return 1;
    }
    {
        // The file at this version's schema (a new one for a copy back), as the program opens it.
        auto record = SqliteHistoryStore::Open(file, {});
        if (!record.Store) {
            err << record.Error << "\n";
            return 1;
        }
    }
    std::string error;
    auto conn = PgConnection::Connect(conninfo, error, 5, PgConnection::kCommandDeadlineMs);
    if (!conn) {
        err << "The database cannot be reached (" << error << ").\n";
        return 1;
    }
    if (!fromPg && !pgschema::Migrate(*conn, pgschema::kSchemaVersion, error)) {
        err << "The database cannot keep the record: " << error << ".\n";
        return 1;
    }
    if (fromPg && pgschema::Version(*conn, error) != pgschema::kSchemaVersion) {
        err << "The database holds no record of this version of Tovi stats"
            << (error.empty() ? "" : " (" + error + ")") << ".\n";
        return 1;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        err << "The record " << file << " cannot be opened (" << (db ? sqlite3_errmsg(db) : "no memory")
            << ").\n";
        sqlite3_close_v2(db);
        return 1;
    }
    SqliteFile local(db);
    sqlite3_busy_timeout(db, 2000);
    piece = std::max<size_t>(piece, 1);
    return fromPg ? ToSqlite(*conn, local, server, piece, out, err) : ToPostgres(local, *conn, server, piece, out, err);
#else
    (void)out;
    (void)piece;
    err << "This build of Tovi stats has no PostgreSQL support.\n";
    return 1;
#endif
}

}  // namespace tovi
