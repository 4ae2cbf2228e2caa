#include "SqliteBanStore.h"

#include <sqlite3.h>

#include "SqliteStatement.h"
#include "Windows1252.h"

namespace tovi {

namespace {

using Statement = SqliteStatement;

}  // namespace

SqliteBanStore::Opened SqliteBanStore::Open(const std::string& path) {
    Opened opened;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        opened.Error =
            "The ban list in " + path + " cannot be opened (" + (db ? sqlite3_errmsg(db) : "no memory") + ")";
        sqlite3_close_v2(db);
        return opened;
    }
    // The poll's writes on the record's own connection are short; the list waits for them.
    sqlite3_busy_timeout(db, 2000);
    Statement check(db,
                    "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('bans','warnings')");
    if (!check.Ok() || sqlite3_step(*check) != SQLITE_ROW || sqlite3_column_int(*check, 0) != 2) {
        opened.Error = "The database " + path + " holds no ban list";
        sqlite3_close_v2(db);
        return opened;
    }
    opened.Store.reset(new SqliteBanStore(db));
    return opened;
}

SqliteBanStore::~SqliteBanStore() {
    sqlite3_close_v2(m_db);
}

bool SqliteBanStore::Exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteBanStore::Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings,
                          std::string& error) {
    Statement b(m_db,
                "SELECT id, name_raw, exact_case, reason, issued_by, issued_at, expires_at, notes, "
                "lifted_at, lifted_by,"
                " lift_reason FROM bans ORDER BY id");
    Statement w(m_db, "SELECT id, name_raw, time, issued_by, text FROM warnings ORDER BY id");
    if (!b.Ok() || !w.Ok()) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(*b)) == SQLITE_ROW) {
        BanEntry e;
        e.Id = b.Int(0);
        e.Name = b.Bytes(1);
        e.ExactCase = b.Int(2) != 0;
        e.Reason = b.Text1252(3);
        e.IssuedBy = b.Text1252(4);
        e.IssuedAt = b.Int(5);
        e.ExpiresAt = b.Int(6);
        e.Notes = b.Text1252(7);
        e.LiftedAt = b.Int(8);
        e.LiftedBy = b.Text1252(9);
        e.LiftReason = b.Text1252(10);
        bans.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    while ((rc = sqlite3_step(*w)) == SQLITE_ROW)
        warnings.push_back({w.Int(0), w.Bytes(1), w.Int(2), w.Text1252(3), w.Text1252(4)});
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

bool SqliteBanStore::Save(std::vector<BanEntry*> entries, std::string& error) {
    if (!Exec("BEGIN IMMEDIATE")) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    Statement insert(
        m_db,
        "INSERT INTO bans(name, name_key, name_raw, exact_case, reason, issued_by, issued_at, expires_at,"
        " notes, lifted_at, lifted_by, lift_reason) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12)");
    Statement update(
        m_db,
        "UPDATE bans SET name=?1, name_key=?2, name_raw=?3, exact_case=?4, reason=?5, issued_by=?6,"
        " issued_at=?7, expires_at=?8, notes=?9, lifted_at=?10, lifted_by=?11, lift_reason=?12 WHERE id=?13");
    bool ok = insert.Ok() && update.Ok();
    std::vector<int64_t> ids;
    for (BanEntry* e : entries) {
        if (!ok) break;
        Statement& st = e->Id == 0 ? insert : update;
        sqlite3_reset(*st);
        st.Text(1, e->Name);
        st.Text(2, BanNameKey(e->Name));
        st.Blob(3, e->Name);
        st.Int(4, e->ExactCase ? 1 : 0);
        st.Text(5, e->Reason);
        st.Text(6, e->IssuedBy);
        st.Int(7, e->IssuedAt);
        st.TimeOrNull(8, e->ExpiresAt);
        st.Text(9, e->Notes);
        st.TimeOrNull(10, e->LiftedAt);
        st.Text(11, e->LiftedBy);
        st.Text(12, e->LiftReason);
        if (e->Id != 0) st.Int(13, e->Id);
        ok = sqlite3_step(*st) == SQLITE_DONE && (e->Id == 0 || sqlite3_changes(m_db) == 1);
        ids.push_back(e->Id == 0 ? sqlite3_last_insert_rowid(m_db) : e->Id);
    }
    if (!ok || !Exec("COMMIT")) {
        error = sqlite3_errmsg(m_db);
        Exec("ROLLBACK");
        return false;
    }
    // Ids only once the whole change is kept.
    for (size_t i = 0; i < entries.size(); ++i) entries[i]->Id = ids[i];
    return true;
}

bool SqliteBanStore::AddWarning(PlayerWarning& warning, std::string& error) {
    Statement st(
        m_db, "INSERT INTO warnings(name, name_key, name_raw, time, issued_by, text) VALUES (?,?,?,?,?,?)");
    if (st.Ok()) {
        st.Text(1, warning.Name);
        st.Text(2, BanNameKey(warning.Name));
        st.Blob(3, warning.Name);
        st.Int(4, warning.Time);
        st.Text(5, warning.IssuedBy);
        st.Text(6, warning.Text);
        if (sqlite3_step(*st) == SQLITE_DONE) {
            warning.Id = sqlite3_last_insert_rowid(m_db);
            return true;
        }
    }
    error = sqlite3_errmsg(m_db);
    return false;
}

}  // namespace tovi
