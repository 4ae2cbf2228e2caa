#include "SqliteBanStore.h"

#include <sqlite3.h>

#include <algorithm>

#include "SqliteStatement.h"
#include "Windows1252.h"

namespace tovi {

namespace {

using Statement = SqliteStatement;

bool IsLock(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

}  // namespace

void BindBanRow(SqliteStatement& ban, const BanEntry& e) {
    ban.Int(1, e.Id);
    ban.Text(2, e.Name);
    ban.Text(3, BanNameKey(e.Name));
    ban.Blob(4, e.Name);
    ban.Int(5, e.ExactCase ? 1 : 0);
    ban.Text(6, e.Reason);
    ban.Text(7, e.IssuedBy);
    ban.Int(8, e.IssuedAt);
    ban.TimeOrNull(9, e.ExpiresAt);
    ban.Text(10, e.Notes);
    ban.TimeOrNull(11, e.LiftedAt);
    ban.Text(12, e.LiftedBy);
    ban.Text(13, e.LiftReason);
}

void BindWarningRow(SqliteStatement& warning, const PlayerWarning& w) {
    warning.Int(1, w.Id);
    warning.Text(2, w.Name);
    warning.Text(3, BanNameKey(w.Name));
    warning.Blob(4, w.Name);
    warning.Int(5, w.Time);
    warning.Text(6, w.IssuedBy);
    warning.Text(7, w.Text);
}

SqliteBanStore::Opened SqliteBanStore::Open(const std::string& path, Scheduler* retry) {
    Opened opened;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        opened.Error =
            "The ban list in " + path + " cannot be opened (" + (db ? sqlite3_errmsg(db) : "no memory") + ")";
        sqlite3_close_v2(db);
        return opened;
    }
    // No busy handler: a held lock answers at once and the change is written on a retry. A
    // commit with synchronous=NORMAL in WAL mode outlives the program's kill without an fsync on
    // the event loop (a power cut may take the last changes); the history writer checkpoints.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_wal_autocheckpoint(db, 0);
    {
        Statement check(db,
                        "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('bans','warnings')");
        if (!check.Ok() || sqlite3_step(*check) != SQLITE_ROW || sqlite3_column_int(*check, 0) != 2) {
            opened.Error = "The database " + path + " holds no ban list";
            sqlite3_close_v2(db);
            return opened;
        }
    }
    opened.Store.reset(new SqliteBanStore(db, retry));
    return opened;
}

SqliteBanStore::~SqliteBanStore() {
    if (m_retry != 0 && m_scheduler) m_scheduler->Cancel(m_retry);
    // The program ends: what the lock held back may wait for it a while now.
    if (Unwritten() > 0) {
        sqlite3_busy_timeout(m_db, 2000);
        Write();
    }
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
    // The changes the file has not taken yet, over what it holds: their ids are past its own.
    for (const BanEntry& e : m_bans) {
        const auto same = std::find_if(bans.begin(), bans.end(), [&](const BanEntry& b2) { return b2.Id == e.Id; });
        if (same != bans.end()) {
            *same = e;
        } else {
            bans.push_back(e);
        }
    }
    warnings.insert(warnings.end(), m_warnings.begin(), m_warnings.end());
    return true;
}

int64_t SqliteBanStore::NextId(const char* table, int64_t& lastGiven) {
    Statement st(m_db, std::string("SELECT coalesce(max(id), 0) FROM ") + table);
    const int64_t inFile = st.Ok() && sqlite3_step(*st) == SQLITE_ROW ? st.Int(0) : 0;
    lastGiven = std::max(lastGiven, inFile) + 1;
    return lastGiven;
}

bool SqliteBanStore::InFile(int64_t banId) {
    if (std::any_of(m_bans.begin(), m_bans.end(), [&](const BanEntry& e) { return e.Id == banId; })) return true;
    Statement st(m_db, "SELECT 1 FROM bans WHERE id = ?");
    if (!st.Ok()) return false;
    st.Int(1, banId);
    return sqlite3_step(*st) == SQLITE_ROW;
}

SqliteBanStore::Outcome SqliteBanStore::Write() {
    if (Unwritten() == 0) return Outcome::Written;
    const auto failed = [&](int rc) {
        m_why = sqlite3_errmsg(m_db);  // before the rollback answers its own
        if (!sqlite3_get_autocommit(m_db)) Exec("ROLLBACK");
        return IsLock(rc) ? Outcome::Locked : Outcome::Failed;
    };
    int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return failed(rc);
    {
        Statement ban(m_db,
                      "INSERT OR REPLACE INTO bans(id, name, name_key, name_raw, exact_case, reason, issued_by,"
                      " issued_at, expires_at, notes, lifted_at, lifted_by, lift_reason)"
                      " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)");
        Statement warning(m_db,
                          "INSERT OR REPLACE INTO warnings(id, name, name_key, name_raw, time, issued_by, text)"
                          " VALUES (?,?,?,?,?,?,?)");
        if (!ban.Ok() || !warning.Ok()) return failed(sqlite3_errcode(m_db));
        for (const BanEntry& e : m_bans) {
            sqlite3_reset(*ban);
            BindBanRow(ban, e);
            if ((rc = sqlite3_step(*ban)) != SQLITE_DONE) return failed(rc);
        }
        for (const PlayerWarning& w : m_warnings) {
            sqlite3_reset(*warning);
            BindWarningRow(warning, w);
            if ((rc = sqlite3_step(*warning)) != SQLITE_DONE) return failed(rc);
        }
    }
    if ((rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) return failed(rc);
    m_bans.clear();
    m_warnings.clear();
    return Outcome::Written;
}

SqliteBanStore::Outcome SqliteBanStore::WriteOrRetry() {
    if (m_retry != 0) return Outcome::Locked;  // behind changes the lock holds back: written with them
    const Outcome outcome = Write();
    if (outcome == Outcome::Locked) RetryAfter(outcome);
    return outcome;
}

void SqliteBanStore::RetryAfter(Outcome outcome) {
    if (!m_scheduler || m_retry != 0) return;
    m_retry = m_scheduler->Schedule(outcome == Outcome::Locked ? kLockRetryMs : kFailureRetryMs, [this] {
        m_retry = 0;
        if (const Outcome again = Write(); again != Outcome::Written) RetryAfter(again);
    });
}

bool SqliteBanStore::Save(std::vector<BanEntry*> entries, std::string& error) {
    const size_t before = m_bans.size();
    std::vector<int64_t> ids;
    for (BanEntry* e : entries) {
        if (e->Id != 0 && !InFile(e->Id)) {
            error = "ban " + std::to_string(e->Id) + " is no longer in the record";
            m_bans.resize(before);
            return false;
        }
        ids.push_back(e->Id != 0 ? e->Id : NextId("bans", m_lastBan));
        m_bans.push_back(*e);
        m_bans.back().Id = ids.back();
    }
    if (WriteOrRetry() == Outcome::Failed) {
        // Refused for good, not merely delayed: nothing changes, as the caller is told.
        error = m_why;
        m_bans.resize(before);
        if (Unwritten() > 0) RetryAfter(Outcome::Failed);
        return false;
    }
    // Ids only once the whole change is kept (or held for the lock alone).
    for (size_t i = 0; i < entries.size(); ++i) entries[i]->Id = ids[i];
    return true;
}

bool SqliteBanStore::AddWarning(PlayerWarning& warning, std::string& error) {
    PlayerWarning kept = warning;
    kept.Id = NextId("warnings", m_lastWarning);
    m_warnings.push_back(kept);
    if (WriteOrRetry() == Outcome::Failed) {
        error = m_why;
        m_warnings.pop_back();
        if (Unwritten() > 0) RetryAfter(Outcome::Failed);
        return false;
    }
    warning.Id = kept.Id;
    return true;
}

}  // namespace tovi
