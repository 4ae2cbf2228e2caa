#include "SqliteNoticeQueue.h"

#include <sqlite3.h>

#include <algorithm>

#include "SqliteStatement.h"

namespace tovi {

namespace {

using Statement = SqliteStatement;

bool Read(const Statement& st, QueuedNotice& entry) {
    entry.seq = sqlite3_column_int64(*st, 0);
    entry.sink = st.Bytes(1);
    entry.notice.id = st.Bytes(2);
    entry.notice.createdMs = sqlite3_column_int64(*st, 4);
    entry.notice.title = st.Bytes(5);
    return EventFromKey(st.Bytes(3), entry.notice.event) && UnpackFields(st.Bytes(6), entry.notice.fields);
}

bool IsLock(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

}  // namespace

SqliteNoticeQueue::Opened SqliteNoticeQueue::Open(const std::string& path, Scheduler* retry) {
    Opened opened;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        opened.Error = "The notice queue in " + path + " cannot be opened (" +
                       (db ? sqlite3_errmsg(db) : "no memory") + ")";
        sqlite3_close_v2(db);
        return opened;
    }
    // No busy handler: a held lock answers at once and the write is tried again later. In WAL
    // mode a commit with synchronous=NORMAL is in the operating system's hands when it returns,
    // so it outlives the program's kill without an fsync on the event loop (a power cut may take
    // the last ones, as it may the history's). The history writer checkpoints, never this
    // connection's commit.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_wal_autocheckpoint(db, 0);
    {
        Statement check(db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='notice_queue'");
        if (!check.Ok() || sqlite3_step(*check) != SQLITE_ROW || sqlite3_column_int(*check, 0) != 1) {
            opened.Error = "The database " + path + " holds no notice queue";
            sqlite3_close_v2(db);
            return opened;
        }
    }
    std::unique_ptr<SqliteNoticeQueue> queue(new SqliteNoticeQueue(db, retry));
    if (std::string error; !queue->Load(error)) {
        opened.Error = "The notice queue in " + path + " cannot be read (" + error + ")";
        return opened;
    }
    opened.Queue = std::move(queue);
    return opened;
}

SqliteNoticeQueue::~SqliteNoticeQueue() {
    if (m_retry != 0 && m_scheduler) m_scheduler->Cancel(m_retry);
    // The program ends: what the lock held back may wait for it a while now.
    if (!m_unwritten.empty()) {
        sqlite3_busy_timeout(m_db, 2000);
        Write();
    }
    sqlite3_close_v2(m_db);
}

bool SqliteNoticeQueue::Load(std::string& error) {
    Statement st(m_db, "SELECT seq, sink, uid, event, created, title, fields FROM notice_queue ORDER BY seq");
    // AUTOINCREMENT's high-water mark: a seq once given is never given again.
    Statement last(m_db, "SELECT seq FROM sqlite_sequence WHERE name = 'notice_queue'");
    if (!st.Ok() || !last.Ok()) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(*st)) == SQLITE_ROW) {
        QueuedNotice entry;
        m_nextSeq = std::max<int64_t>(m_nextSeq, sqlite3_column_int64(*st, 0) + 1);
        if (Read(st, entry)) {
            m_entries.emplace(entry.seq, std::move(entry));
        } else {
            // A row no version of this program could have written: it would stop the sink for good.
            m_unwritten.push_back({false, std::move(entry)});
        }
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    if (sqlite3_step(*last) == SQLITE_ROW) m_nextSeq = std::max<int64_t>(m_nextSeq, sqlite3_column_int64(*last, 0) + 1);
    WriteOrRetry();
    return true;
}

SqliteNoticeQueue::Outcome SqliteNoticeQueue::Write() {
    if (m_unwritten.empty()) return Outcome::Written;
    const auto failed = [&](int rc) {
        m_why = sqlite3_errmsg(m_db);  // before the rollback answers its own
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return IsLock(rc) ? Outcome::Locked : Outcome::Failed;
    };
    int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return failed(rc);
    {
        Statement insert(m_db,
                         "INSERT INTO notice_queue(seq, sink, uid, event, created, title, fields)"
                         " VALUES (?,?,?,?,?,?,?)");
        Statement remove(m_db, "DELETE FROM notice_queue WHERE seq = ?");
        if (!insert.Ok() || !remove.Ok()) return failed(sqlite3_errcode(m_db));
        for (const Change& change : m_unwritten) {
            const QueuedNotice& e = change.entry;
            Statement& st = change.add ? insert : remove;
            sqlite3_reset(*st);
            st.Int(1, e.seq);
            if (change.add) {
                st.Blob(2, e.sink);
                st.Blob(3, e.notice.id);
                st.Blob(4, EventKey(e.notice.event));
                st.Int(5, e.notice.createdMs);
                st.Blob(6, e.notice.title);
                st.Blob(7, PackFields(e.notice.fields));
            }
            if ((rc = sqlite3_step(*st)) != SQLITE_DONE) return failed(rc);
        }
    }
    if ((rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) return failed(rc);
    m_unwritten.clear();
    return Outcome::Written;
}

void SqliteNoticeQueue::WriteOrRetry() {
    if (m_retry != 0) return;  // a retry is due: the change joins it, in order
    if (const Outcome outcome = Write(); outcome != Outcome::Written) RetryAfter(outcome);
}

void SqliteNoticeQueue::RetryAfter(Outcome outcome) {
    if (!m_scheduler || m_retry != 0) return;
    m_retry = m_scheduler->Schedule(outcome == Outcome::Locked ? kLockRetryMs : kFailureRetryMs, [this] {
        m_retry = 0;
        WriteOrRetry();
    });
}

bool SqliteNoticeQueue::Add(const Notice& notice, const std::vector<std::string>& sinks, std::string& error) {
    if (sinks.empty()) return true;
    const size_t before = m_unwritten.size();
    for (const std::string& sink : sinks) {
        QueuedNotice entry{m_nextSeq++, sink, notice};
        m_unwritten.push_back({true, entry});
        m_entries.emplace(entry.seq, std::move(entry));
    }
    if (m_retry != 0) return true;  // behind changes the lock holds back: written with them
    const Outcome outcome = Write();
    if (outcome == Outcome::Failed) {
        // Refused for good, not merely delayed: the notice is not queued, as the caller is told.
        error = "the notice could not be queued (" + m_why + ")";
        for (size_t i = before; i < m_unwritten.size(); ++i) m_entries.erase(m_unwritten[i].entry.seq);
        m_unwritten.resize(before);
        if (!m_unwritten.empty()) RetryAfter(outcome);
        return false;
    }
    if (outcome == Outcome::Locked) RetryAfter(outcome);
    return true;
}

std::optional<QueuedNotice> SqliteNoticeQueue::Next(const std::string& sink) {
    for (const auto& [seq, entry] : m_entries) {
        if (entry.sink == sink) return entry;
    }
    return std::nullopt;
}

bool SqliteNoticeQueue::Remove(int64_t seq) {
    const auto it = m_entries.find(seq);
    if (it == m_entries.end()) return false;
    m_unwritten.push_back({false, std::move(it->second)});
    m_entries.erase(it);
    WriteOrRetry();
    return true;
}

std::vector<QueuedNotice> SqliteNoticeQueue::RemoveOlderThan(int64_t createdBeforeMs) {
    std::vector<QueuedNotice> removed;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.notice.createdMs < createdBeforeMs) {
            removed.push_back(it->second);
            m_unwritten.push_back({false, std::move(it->second)});
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    if (!removed.empty()) WriteOrRetry();
    return removed;
}

}  // namespace tovi
