#include "SqliteNoticeQueue.h"

#include <sqlite3.h>

#include "SqliteStatement.h"

namespace tovi {

namespace {

using Statement = SqliteStatement;

constexpr const char* kColumns = "SELECT seq, sink, uid, event, created, title, fields FROM notice_queue";

bool Read(const Statement& st, QueuedNotice& entry) {
    entry.seq = sqlite3_column_int64(*st, 0);
    entry.sink = st.Bytes(1);
    entry.notice.id = st.Bytes(2);
    entry.notice.createdMs = sqlite3_column_int64(*st, 4);
    entry.notice.title = st.Bytes(5);
    return EventFromKey(st.Bytes(3), entry.notice.event) && UnpackFields(st.Bytes(6), entry.notice.fields);
}

}  // namespace

SqliteNoticeQueue::Opened SqliteNoticeQueue::Open(const std::string& path) {
    Opened opened;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        opened.Error = "The notice queue in " + path + " cannot be opened (" +
                       (db ? sqlite3_errmsg(db) : "no memory") + ")";
        sqlite3_close_v2(db);
        return opened;
    }
    sqlite3_busy_timeout(db, 2000);
    Statement check(db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='notice_queue'");
    if (!check.Ok() || sqlite3_step(*check) != SQLITE_ROW || sqlite3_column_int(*check, 0) != 1) {
        opened.Error = "The database " + path + " holds no notice queue";
        sqlite3_close_v2(db);
        return opened;
    }
    opened.Queue.reset(new SqliteNoticeQueue(db));
    return opened;
}

SqliteNoticeQueue::~SqliteNoticeQueue() {
    sqlite3_close_v2(m_db);
}

bool SqliteNoticeQueue::Add(const Notice& notice, const std::vector<std::string>& sinks, std::string& error) {
    if (sinks.empty()) return true;
    auto fail = [&] {
        error = std::string("the notice could not be queued (") + sqlite3_errmsg(m_db) + ")";
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    };
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
    {
        Statement st(
            m_db, "INSERT INTO notice_queue(sink, uid, event, created, title, fields) VALUES (?,?,?,?,?,?)");
        if (!st.Ok()) return fail();
        const std::string fields = PackFields(notice.fields);
        for (const std::string& sink : sinks) {
            sqlite3_reset(*st);
            st.Blob(1, sink);
            st.Blob(2, notice.id);
            st.Blob(3, EventKey(notice.event));
            st.Int(4, notice.createdMs);
            st.Blob(5, notice.title);
            st.Blob(6, fields);
            if (sqlite3_step(*st) != SQLITE_DONE) return fail();
        }
    }
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
    return true;
}

std::optional<QueuedNotice> SqliteNoticeQueue::Next(const std::string& sink) {
    Statement st(m_db, (std::string(kColumns) + " WHERE sink = ? ORDER BY seq LIMIT 1").c_str());
    if (!st.Ok()) return std::nullopt;
    st.Blob(1, sink);
    while (sqlite3_step(*st) == SQLITE_ROW) {
        QueuedNotice entry;
        if (Read(st, entry)) return entry;
        // A row no version of this program could have written: it would stop the sink for good.
        Remove(entry.seq);
        sqlite3_reset(*st);
    }
    return std::nullopt;
}

bool SqliteNoticeQueue::Remove(int64_t seq) {
    Statement st(m_db, "DELETE FROM notice_queue WHERE seq = ?");
    if (!st.Ok()) return false;
    st.Int(1, seq);
    return sqlite3_step(*st) == SQLITE_DONE;
}

std::vector<QueuedNotice> SqliteNoticeQueue::RemoveOlderThan(int64_t createdBeforeMs) {
    std::vector<QueuedNotice> removed;
    {
        Statement st(m_db, (std::string(kColumns) + " WHERE created < ? ORDER BY seq").c_str());
        if (!st.Ok()) return removed;
        st.Int(1, createdBeforeMs);
        while (sqlite3_step(*st) == SQLITE_ROW) {
            QueuedNotice entry;
            Read(st, entry);
            removed.push_back(std::move(entry));
        }
    }
    Statement del(m_db, "DELETE FROM notice_queue WHERE created < ?");
    if (!del.Ok()) return {};
    del.Int(1, createdBeforeMs);
    if (sqlite3_step(*del) != SQLITE_DONE) return {};
    return removed;
}

size_t SqliteNoticeQueue::Size() {
    Statement st(m_db, "SELECT count(*) FROM notice_queue");
    if (!st.Ok() || sqlite3_step(*st) != SQLITE_ROW) return 0;
    return static_cast<size_t>(sqlite3_column_int64(*st, 0));
}

}  // namespace tovi
