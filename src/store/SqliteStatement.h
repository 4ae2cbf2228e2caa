#pragma once
// A prepared SQLite statement that finalizes itself, with the bindings and columns the record's
// tables use: game texts as their bytes (blobs) or as UTF-8 text, times where 0 stands for none.
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "Windows1252.h"

namespace tovi {

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const char* sql) {
        m_ok = sqlite3_prepare_v2(db, sql, -1, &m_st, nullptr) == SQLITE_OK;
    }
    SqliteStatement(sqlite3* db, const std::string& sql) : SqliteStatement(db, sql.c_str()) {}
    ~SqliteStatement() { sqlite3_finalize(m_st); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    bool Ok() const { return m_ok; }
    sqlite3_stmt* operator*() const { return m_st; }

    void Text(int i, const std::string& bytes) {
        const std::string utf8 = Windows1252ToUtf8(bytes);
        sqlite3_bind_text64(m_st, i, utf8.data(), utf8.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    void Blob(int i, const std::string& bytes) {
        sqlite3_bind_blob64(m_st, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    }
    void Int(int i, int64_t v) { sqlite3_bind_int64(m_st, i, v); }
    void TimeOrNull(int i, int64_t v) {
        if (v == 0) {
            sqlite3_bind_null(m_st, i);
        } else {
            sqlite3_bind_int64(m_st, i, v);
        }
    }
    std::string Bytes(int c) const {
        const void* data = sqlite3_column_blob(m_st, c);
        const int size = sqlite3_column_bytes(m_st, c);
        return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
    }
    // Text columns hold UTF-8 and go back to the game's bytes.
    std::string Text1252(int c) const { return Utf8ToWindows1252(Bytes(c)); }
    int64_t Int(int c) const { return sqlite3_column_int64(m_st, c); }

private:
    sqlite3_stmt* m_st = nullptr;
    bool m_ok = false;
};

}  // namespace tovi
