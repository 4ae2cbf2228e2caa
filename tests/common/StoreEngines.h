#pragma once
// The engines the store suites run against, each on a store of its own: an embedded SQLite file
// in a private folder, and a new database in a throw-away PostgreSQL cluster. The suites are
// value-parameterised over these, so that every engine passes the same cases.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "Fakes.h"
#include "HistoryStore.h"
#include "SqliteBanStore.h"
#include "SqliteHistoryStore.h"
#if defined(TOVI_ACCOUNTS)
#include "SqliteAccountStore.h"
#endif
#if defined(TOVI_STORE_POSTGRES) && defined(TOVI_ACCOUNTS)
#include "PgAccountStore.h"
#endif
#if defined(TOVI_STORE_POSTGRES)
#include "PgBanStore.h"
#include "PgCluster.h"
#include "PgHistoryStore.h"
#endif

namespace tovi::testing {

enum class Engine { Sqlite, Postgres };

inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::Sqlite ? "Sqlite" : "Postgres";
}

inline std::vector<Engine> Engines() {
#if defined(TOVI_STORE_POSTGRES)
    return {Engine::Sqlite, Engine::Postgres};
#else
    return {Engine::Sqlite};
#endif
}

// A plain query on a SQLite file, the way another reader sees it: each row's columns joined by '|'.
inline Strings Rows(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    Strings rows;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                std::string row;
                for (int c = 0; c < sqlite3_column_count(st); ++c) {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                    row += (c ? "|" : "") + std::string(text ? text : "");
                }
                rows.push_back(row);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

// A query's first value as a number, -1 for none.
inline int64_t FirstNumber(const Strings& rows) {
    return rows.empty() || rows[0].empty() ? -1 : std::stoll(rows[0]);
}

inline int64_t Count(const fs::path& file, const std::string& sql) {
    return FirstNumber(Rows(file, sql));
}

// One store's place: the file or the database, and plain queries on it the way another reader
// sees it (each row's columns joined by '|').
class StorePlace {
public:
    explicit StorePlace(Engine engine) : m_engine(engine) {
#if defined(TOVI_STORE_POSTGRES)
        if (engine == Engine::Postgres) {
            PgCluster& cluster = SharedPgCluster();
            if (!cluster.Ok()) ADD_FAILURE() << "no PostgreSQL for the tests: " << cluster.Error();
            m_conninfo = cluster.NewDatabase();
        }
#endif
    }
    Engine Kind() const {
        return m_engine;
    }
    const fs::path& File() const {
        return m_file;
    }
    const std::string& Conninfo() const {
        return m_conninfo;
    }

    // `version` 0: the engine's newest schema.
    std::unique_ptr<HistoryStore> Open(std::function<void(const std::string&)> log = {}, int version = 0) {
#if defined(TOVI_STORE_POSTGRES)
        if (m_engine == Engine::Postgres) {
            auto opened = PgHistoryStore::Open(m_conninfo, "srv-1", std::move(log),
                                               version ? version : PgHistoryStore::kSchemaVersion);
            EXPECT_TRUE(opened.Store) << opened.Error;
            return std::move(opened.Store);
        }
#endif
        auto opened = SqliteHistoryStore::Open(m_file.string(), std::move(log),
                                               version ? version : SqliteHistoryStore::kSchemaVersion);
        EXPECT_TRUE(opened.Store) << opened.Error;
        return std::move(opened.Store);
    }
    // The ban list's store, or null with `error`.
    std::unique_ptr<BanStore> OpenBans(std::string& error) {
#if defined(TOVI_STORE_POSTGRES)
        if (m_engine == Engine::Postgres) {
            auto opened = PgBanStore::Open(m_conninfo);
            error = opened.Error;
            return std::move(opened.Store);
        }
#endif
        auto opened = SqliteBanStore::Open(m_file.string());
        error = opened.Error;
        return std::move(opened.Store);
    }

#if defined(TOVI_ACCOUNTS)
    std::unique_ptr<AccountStore> OpenAccounts(std::string& error) {
#if defined(TOVI_STORE_POSTGRES)
        if (m_engine == Engine::Postgres) {
            auto opened = PgAccountStore::Open(m_conninfo);
            error = opened.Error;
            return std::move(opened.Store);
        }
#endif
        auto opened = SqliteAccountStore::Open(m_file.string());
        error = opened.Error;
        return std::move(opened.Store);
    }
#endif
    // Where the program finds this store: its data folder's settings.ini names a shared database.
    void WriteSettings() const {
        if (m_engine == Engine::Postgres)
            WriteBytes(m_folder / "settings.ini", "[store]\r\npostgres=" + m_conninfo + "\r\n");
    }
    fs::path DataFolder() const {
        return m_folder.Path();
    }

    // What the store's writes have reached the disk or the server.
    static void Written(HistoryStore& store) {
        if (auto* sqlite = dynamic_cast<SqliteHistoryStore*>(&store)) return sqlite->Drain();
        store.Flush();
#if defined(TOVI_STORE_POSTGRES)
        // The answers to what was sent are taken at later flushes; here they are waited for.
        if (auto* pg = dynamic_cast<PgHistoryStore*>(&store)) {
            EXPECT_TRUE(pg->Drain());
        }
#endif
    }

    Strings Rows(const std::string& sql) const {
        Strings rows;
#if defined(TOVI_STORE_POSTGRES)
        if (m_engine == Engine::Postgres) {
            std::string error;
            auto conn = PgConnection::Connect(m_conninfo, error);
            if (!conn) return rows;
            PgResult r = conn->Exec(sql);
            EXPECT_TRUE(r.Ok()) << sql << ": " << r.Error();
            for (int i = 0; i < r.Rows(); ++i) {
                std::string row;
                for (int c = 0; c < r.Columns(); ++c) row += (c ? "|" : "") + r.Text(i, c);
                rows.push_back(row);
            }
            return rows;
        }
#endif
        return tovi::testing::Rows(m_file, sql);
    }
    int64_t Count(const std::string& sql) const {
        return FirstNumber(Rows(sql));
    }

private:
    Engine m_engine;
    TempFolder m_folder;
    fs::path m_file = m_folder / "tovistats.db";
    std::string m_conninfo;
};

}  // namespace tovi::testing
