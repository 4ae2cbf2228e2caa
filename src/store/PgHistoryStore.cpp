#include "PgHistoryStore.h"

#include <poll.h>
#include <unistd.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <chrono>
#include <cstring>
#include <random>
#include <utility>

#include "PgSchema.h"
#include "HistoryRowSql.h"
#include "Windows1252.h"
#include "WriteReport.h"

namespace tovi {

namespace {

constexpr const char* kInsertMatch =
    "INSERT INTO matches(server, id, started, server_name, map_name, map_file, game_type)"
    " VALUES ($1,$2,$3,$4,$5,$6,$7) ON CONFLICT DO NOTHING";
constexpr const char* kEndMatch =
    "UPDATE matches SET ended=$1, result=$2, players_at_end=$3, stats_written=$4, stats_refused=$5"
    " WHERE server=$6 AND id=$7";
constexpr const char* kUploaded =
    "UPDATE matches SET upload_time=$1, upload_outcome='uploaded' WHERE server=$2 AND id IN (SELECT id FROM"
    " matches WHERE server=$2 AND stats_written=1 AND upload_outcome IS NULL ORDER BY id LIMIT $3)";
constexpr const char* kCloseStints =
    "UPDATE stints SET left_at=$1 WHERE server=$2 AND match_id=$3 AND left_at IS NULL";
constexpr const char* kInsertStint =
    "INSERT INTO stints(server, match_id, name, name_key, slot, team, joined) VALUES ($1,$2,$3,$4,$5,$6,$7)";
constexpr const char* kEndStint =
    "UPDATE stints SET left_at=$1 WHERE server=$2 AND match_id=$3 AND name=$4 AND left_at IS NULL";
constexpr const char* kInsertStat =
    "INSERT INTO player_stats(server, match_id, name, team, stat, value) VALUES ($1,$2,$3,$4,$5,$6)";
constexpr const char* kInsertChat =
    "INSERT INTO chat(server, time, match_id, sent, player, message, player_raw, message_raw, words)"
    " VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9)";
constexpr const char* kInsertAdmin =
    "INSERT INTO admin_actions(server, time, who, action, target, reason, detail, outcome, why)"
    " VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9)";
constexpr const char* kInsertEvent =
    "INSERT INTO server_events(server, time, kind, detail) VALUES ($1,$2,$3,$4)";
// With the copy that recorded the match, whose uploads mark only its own.
constexpr const char* kInsertMatchOwned =
    "INSERT INTO matches(server, id, started, server_name, map_name, map_file, game_type, copy)"
    " VALUES ($1,$2,$3,$4,$5,$6,$7,$8) ON CONFLICT DO NOTHING";
constexpr const char* kUploadedOwned =
    "UPDATE matches SET upload_time=$1, upload_outcome='uploaded' WHERE server=$2 AND id IN (SELECT id FROM"
    " matches WHERE server=$2 AND stats_written=1 AND upload_outcome IS NULL AND (copy=$4 OR copy IS NULL)"
    " ORDER BY id LIMIT $3)";
constexpr const char* kSavedLater =
    "UPDATE matches SET stats_written=1, stats_refused=NULL WHERE server=$1 AND id IN (SELECT id FROM matches"
    " WHERE server=$1 AND stats_written=0 AND stats_refused=$2 ORDER BY id LIMIT $3)";
constexpr const char* kSavedLaterOwned =
    "UPDATE matches SET stats_written=1, stats_refused=NULL WHERE server=$1 AND id IN (SELECT id FROM matches"
    " WHERE server=$1 AND stats_written=0 AND stats_refused=$2 AND (copy=$4 OR copy IS NULL)"
    " ORDER BY id LIMIT $3)";
constexpr const char* kClaim = "SELECT tovi_claim($1, $2, $3, $4, $5)";
// As in the embedded file: the newest line sent at that time with that text, not yet seen.
constexpr const char* kReadBack =
    "UPDATE chat SET read_back_at=$1 WHERE id = (SELECT id FROM chat WHERE server=$2 AND time=$3 AND sent=1 AND"
    " message_raw=$4 AND read_back_at IS NULL ORDER BY id DESC LIMIT 1)";

// The statements a batch may hold, by their place here in the outbox. Only ever added to.
constexpr const char* kStatements[] = {kInsertMatch, kEndMatch,    kUploaded,    kCloseStints,      kInsertStint,
                                       kEndStint,    kInsertStat,  kInsertChat,  kInsertAdmin,      kInsertEvent,
                                       kInsertMatchOwned, kUploadedOwned, kSavedLater, kSavedLaterOwned,
                                       kReadBack};

// Where each of those statements takes the match's number, -1 where it takes none.
constexpr int kMatchPlace[] = {1, 6, -1, 2, 1, 2, 1, 2, -1, -1, 1, -1, -1, -1, -1};
static_assert(std::size(kMatchPlace) == std::size(kStatements));

bool InsertsMatch(const char* sql) {
    return sql == kInsertMatch || sql == kInsertMatchOwned;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "?";
    return name;
}

int MatchPlace(const char* sql) {
    for (size_t i = 0; i < std::size(kStatements); ++i)
        if (kStatements[i] == sql) return kMatchPlace[i];
    return -1;
}

constexpr const char* kNextMatchKey = "next_match_id";
constexpr const char* kCopyKey = "copy";

// The batch keys of the outbox's runs, in the order they were written; a run's keys pruned are
// summed up in its newest one gone, which stands for all before it.
constexpr const char* kChain = "SELECT 1 / count(*) FROM store_batches WHERE server=$1 AND instance=$2 AND batch=$3";
constexpr const char* kChainOrMark =
    "SELECT 1 / ((SELECT count(*) FROM store_batches WHERE server=$1 AND instance=$2 AND batch=$3) +"
    " (SELECT count(*) FROM store_batch_marks WHERE server=$1 AND instance=$2 AND upto >= $3))";
constexpr const char* kMarked =
    "SELECT 1 / (CASE WHEN EXISTS (SELECT 1 FROM store_batch_marks WHERE server=$1 AND instance=$2 AND"
    " upto >= $3) THEN 0 ELSE 1 END)";
// One step of pruning, by whichever copy gets to it (the others pass: no copy waits for another
// here, so that a batch carrying a step never fails for a lock), over every server's keys.
constexpr const char* kPruneKeysSql =
    "WITH step AS (SELECT pg_try_advisory_xact_lock($1::bigint) AS mine),"
    " old AS (SELECT server, instance, batch FROM store_batches WHERE (SELECT mine FROM step)"
    " AND at < now() - make_interval(days => $2::int) ORDER BY at LIMIT $3 FOR UPDATE SKIP LOCKED),"
    " gone AS (DELETE FROM store_batches b USING old WHERE b.server = old.server AND"
    " b.instance = old.instance AND b.batch = old.batch RETURNING b.server, b.instance, b.batch)"
    " INSERT INTO store_batch_marks(server, instance, upto) SELECT server, instance, max(batch) FROM gone"
    " GROUP BY server, instance ORDER BY server, instance ON CONFLICT (server, instance)"
    " DO UPDATE SET upto = greatest(store_batch_marks.upto, excluded.upto)";
constexpr int64_t kPruneLock = 0x746f7662;  // "tovb"; the schema's lock is another
constexpr const char* kDivisionByZero = "22012";

void PutNumber(std::string& out, uint64_t n, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
}

// A batch's writes as bytes: per write its statement's place and its values, each a tag (null,
// number, text, bytes) and what it holds.
std::string Encode(const std::vector<std::pair<const char*, const std::vector<PgValue>*>>& writes) {
    std::string out;
    for (const auto& [sql, values] : writes) {
        uint8_t place = 0;
        while (place < std::size(kStatements) && kStatements[place] != sql) ++place;
        out += static_cast<char>(place);
        out += static_cast<char>(values->size());
        for (const PgValue& v : *values) {
            if (std::holds_alternative<std::nullptr_t>(v)) {
                out += '\0';
            } else if (auto* n = std::get_if<int64_t>(&v)) {
                out += '\1';
                PutNumber(out, static_cast<uint64_t>(*n), 8);
            } else {
                const std::string& bytes = std::holds_alternative<std::string>(v)
                                               ? std::get<std::string>(v)
                                               : std::get<PgBytes>(v).Bytes;
                out += std::holds_alternative<std::string>(v) ? '\2' : '\3';
                PutNumber(out, bytes.size(), 4);
                out += bytes;
            }
        }
    }
    return out;
}

// The writes back; false when the bytes are not such a batch.
template <typename Write>
bool Decode(const std::string& in, std::vector<Write>& writes) {
    size_t at = 0;
    auto number = [&](int bytes, uint64_t& n) {
        if (in.size() - at < static_cast<size_t>(bytes)) return false;
        n = 0;
        for (int i = 0; i < bytes; ++i)
            n |= uint64_t{static_cast<unsigned char>(in[at + static_cast<size_t>(i)])} << (8 * i);
        at += static_cast<size_t>(bytes);
        return true;
    };
    while (at < in.size()) {
        if (in.size() - at < 2) return false;
        const auto place = static_cast<unsigned char>(in[at]);
        const auto count = static_cast<unsigned char>(in[at + 1]);
        at += 2;
        if (place >= std::size(kStatements)) return false;
        Write write{kStatements[place], {}};
        for (int i = 0; i < count; ++i) {
            if (at >= in.size()) return false;
            const char tag = in[at++];
            uint64_t n = 0;
            if (tag == 0) {
                write.Values.emplace_back(nullptr);
            } else if (tag == 1) {
                if (!number(8, n)) return false;
                write.Values.emplace_back(static_cast<int64_t>(n));
            } else if (tag == 2 || tag == 3) {
                if (!number(4, n) || in.size() - at < n) return false;
                std::string bytes = in.substr(at, n);
                at += n;
                if (tag == 2)
                    write.Values.emplace_back(std::move(bytes));
                else
                    write.Values.emplace_back(PgBytes{std::move(bytes)});
            } else {
                return false;
            }
        }
        writes.push_back(std::move(write));
    }
    return true;
}

std::string ToUtf8(const std::string& bytes) {
    return Windows1252ToUtf8(bytes);
}

// A letter or digit of Windows-1252: what a word of chat is made of.
bool WordByte(unsigned char b) {
    if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) return true;
    if (b >= 0xC0) return b != 0xD7 && b != 0xF7;
    switch (b) {
        case 0x8A:
        case 0x8C:
        case 0x8E:
        case 0x9A:
        case 0x9C:
        case 0x9E:
        case 0x9F:
        case 0xAA:
        case 0xB2:
        case 0xB3:
        case 0xB5:
        case 0xB9:
        case 0xBA:
        case 0xBC:
        case 0xBD:
        case 0xBE:
            return true;
        default:
            return false;
    }
}

std::vector<std::string> Words(const std::string& text1252) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text1252) {
        if (WordByte(static_cast<unsigned char>(c))) {
            word += BaseLetter1252(c);
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

}  // namespace

std::string PgHistoryStore::ChatWords(const std::string& text1252) {
    std::string out = " ";
    for (const std::string& word : Words(text1252)) out += ToUtf8(word) + " ";
    return out;
}

PgHistoryStore::Opened PgHistoryStore::Open(const std::string& conninfo, const std::string& server, LogFn log,
                                            int schemaVersion, const std::string& outbox, int deadlineMs,
                                            size_t window) {
    Opened opened;
    std::string error;
    // With an outbox nothing is lost while the database is away, at start too: the rows wait
    // there, the connection is made without waiting for it, and the database is set up once it
    // answers. Without one, the database must answer now.
    std::unique_ptr<PgConnection> conn;
    if (outbox.empty()) {
        conn = PgConnection::Connect(conninfo, error, 5, deadlineMs);
        if (!conn) {
            opened.Error = "The shared database cannot be reached (" + error + "): no history is kept.";
            return opened;
        }
    }
    std::unique_ptr<PgHistoryStore> store(
        new PgHistoryStore(std::move(conn), conninfo, server, std::move(log), schemaVersion, deadlineMs, window));
    if (!outbox.empty() && !store->OpenOutbox(outbox, error)) {
        opened.Error = "The history waiting for the shared database in " + outbox + " cannot be kept (" +
                       error + "): no history is kept.";
        return opened;
    }
    store->LoadCopy();
    // A database that answers and refuses is said at once.
    if (store->m_conn && !store->SetUp(error)) {
        opened.Error = error;
        return opened;
    }
    // What waited from the last run goes first.
    store->Flush();
    opened.Store = std::move(store);
    return opened;
}

// The database's schema brought forward, this server known to it, and the matches numbered after
// the database's newest of this server. Once per run, when the database first answers.
bool PgHistoryStore::SetUp(std::string& error) {
    PgConnection& c = *m_conn;
    if (!pgschema::Migrate(c, m_schema, error)) {
        error = "The shared database cannot keep the history: " + error + ".";
        return false;
    }
    if (m_schema >= 5 &&
        !c.Run("INSERT INTO servers(code) VALUES ($1) ON CONFLICT DO NOTHING", {m_server})) {
        error = "The shared database refused this server (" + c.Error() + ").";
        return false;
    }
    PgResult last = c.Exec("SELECT coalesce(max(id), 0) FROM matches WHERE server=$1", {m_server});
    if (!last.Ok()) {
        error = "The shared database's history cannot be read (" + last.Error() + ").";
        return false;
    }
    if (last.Int(0, 0) >= m_nextMatchId) {
        m_nextMatchId = last.Int(0, 0) + 1;
        SaveNextMatchId();
    }
    m_setUp = true;
    return true;
}

// Reads the outbox's batches after `cursor`, in order, `limit` at most (-1: all), each decoded;
// `cursor` follows the rows read. A row that is no batch of ours is passed over: it stays for a
// look. `read` counts the rows, so that fewer than asked means the end.
bool PgHistoryStore::ReadOutbox(int64_t& cursor, int64_t limit, size_t& read,
                                const std::function<void(int64_t seq, Batch&)>& each) {
    read = 0;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_outbox,
                           "SELECT seq, instance, batch, rows FROM shared_outbox WHERE seq > ? ORDER BY seq LIMIT ?",
                           -1, &st, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_int64(st, 1, cursor);
    sqlite3_bind_int64(st, 2, limit);
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ++read;
        Batch batch;
        batch.OutboxSeq = sqlite3_column_int64(st, 0);
        batch.Instance = sqlite3_column_int64(st, 1);
        batch.Key = sqlite3_column_int64(st, 2);
        const void* data = sqlite3_column_blob(st, 3);
        const std::string rows(data ? static_cast<const char*>(data) : "",
                               static_cast<size_t>(sqlite3_column_bytes(st, 3)));
        cursor = batch.OutboxSeq;
        if (Decode(rows, batch.Writes)) each(batch.OutboxSeq, batch);
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

bool PgHistoryStore::OpenOutbox(const std::string& file, std::string& error) {
    if (sqlite3_open_v2(file.c_str(), &m_outbox, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = m_outbox ? sqlite3_errmsg(m_outbox) : "out of memory";
        return false;
    }
    sqlite3_busy_timeout(m_outbox, 2000);
    // One pass over what waits: the first batches into memory; of the others only the rows they
    // hold and the matches they number, so that a long outbox costs no more memory than a short one.
    int64_t cursor = 0;
    size_t read = 0;
    const bool ok = ReadOutbox(cursor, -1, read, [&](int64_t seq, Batch& batch) {
        for (const Write& write : batch.Writes) {
            if (InsertsMatch(write.Sql))
                m_nextMatchId = std::max(m_nextMatchId, std::get<int64_t>(write.Values[1]) + 1);
        }
        if (!m_moreOnDisk && m_unsent.size() < m_window) {
            m_unsent.push_back(std::move(batch));
            m_readTo = seq;
        } else {
            m_moreOnDisk = true;
            m_diskRows += batch.Writes.size();
        }
    });
    if (!m_moreOnDisk) m_readTo = cursor;
    if (!ok) {
        error = sqlite3_errmsg(m_outbox);
        return false;
    }
    sqlite3_stmt* st = nullptr;
    // The number the last run went to, and the file's own matches (from before the record moved
    // to the shared database): the database, should it be away, numbers after those as well.
    for (const char* sql : {"SELECT value - 1 FROM shared_state WHERE name = 'next_match_id'",
                            "SELECT coalesce(max(id), 0) FROM matches"}) {
        if (sqlite3_prepare_v2(m_outbox, sql, -1, &st, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(m_outbox);
            return false;
        }
        if (sqlite3_step(st) == SQLITE_ROW)
            m_nextMatchId = std::max<int64_t>(m_nextMatchId, sqlite3_column_int64(st, 0) + 1);
        sqlite3_finalize(st);
    }
    return true;
}

// The copy's number lives with its outbox, so that a restart (a kill too) is the same copy to the
// lease; a number of its own is drawn the first time.
void PgHistoryStore::LoadCopy() {
    m_copy = m_instance;
    if (!m_outbox) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_outbox, "SELECT value FROM shared_state WHERE name = ?", -1, &st, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(st, 1, kCopyKey, -1, SQLITE_STATIC);
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int64(st, 0) != 0) m_copy = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    if (m_copy != m_instance) return;
    if (sqlite3_prepare_v2(m_outbox, "INSERT OR REPLACE INTO shared_state(name, value) VALUES (?, ?)", -1, &st,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, kCopyKey, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 2, m_copy);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

void PgHistoryStore::SaveNextMatchId() {
    if (!m_outbox) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_outbox, "INSERT OR REPLACE INTO shared_state(name, value) VALUES (?, ?)", -1,
                           &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, kNextMatchKey, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 2, m_nextMatchId);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

// The batch into the outbox before it is sent: from here on it survives the program.
void PgHistoryStore::Keep(Batch& batch) {
    if (!m_outbox) return;
    const std::string rows = Encoded(batch);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_outbox, "INSERT INTO shared_outbox(instance, batch, rows) VALUES (?,?,?)", -1,
                           &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(st, 1, batch.Instance);
        sqlite3_bind_int64(st, 2, batch.Key);
        sqlite3_bind_blob64(st, 3, rows.data(), rows.size(), SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_DONE) batch.OutboxSeq = sqlite3_last_insert_rowid(m_outbox);
    }
    sqlite3_finalize(st);
    // A local disk that refuses leaves the batch in memory only, as without an outbox.
}

std::string PgHistoryStore::Encoded(const Batch& batch) {
    std::vector<std::pair<const char*, const std::vector<PgValue>*>> writes;
    for (const Write& write : batch.Writes) writes.emplace_back(write.Sql, &write.Values);
    return Encode(writes);
}

// Confirmed by the database: out of the outbox. Should the program stop before this, the batch
// is sent again at the next start, and the database knows its key.
void PgHistoryStore::Sent(const Batch& batch) {
    if (!m_outbox || batch.OutboxSeq == 0) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_outbox, "DELETE FROM shared_outbox WHERE seq = ?", -1, &st, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_int64(st, 1, batch.OutboxSeq);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

PgHistoryStore::PgHistoryStore(std::unique_ptr<PgConnection> conn, std::string conninfo, std::string server,
                               LogFn log, int schemaVersion, int deadlineMs, size_t window)
    : HistoryReads("strpos", "id"),
      m_conn(std::move(conn)),
      m_conninfo(std::move(conninfo)),
      m_server(std::move(server)),
      m_log(std::move(log)),
      m_window(std::max<size_t>(window, 1)),
      m_deadlineMs(deadlineMs) {
    m_schema = schemaVersion;
    // Batches are keyed by this run and their number: another run, or another copy with the same
    // server code, never takes a key of ours for its own.
    std::random_device random;
    m_instance = static_cast<int64_t>((uint64_t{random()} << 31) ^ random()) & 0x3FFFFFFFFFFFFFFF;
    m_copy = m_instance;
    m_host = HostName();
    m_pid = static_cast<int64_t>(getpid());
}

PgHistoryStore::~PgHistoryStore() {
    // What was sent is answered for, so that the next start need not send it again. With an
    // outbox, what stays unanswered waits there and goes again (keyed) at the next start: a
    // database that hangs holds the program's end only briefly.
    Flush();
    Drain(std::min(m_outbox ? kEndWaitMs : kWaitMs, m_deadlineMs));
    Release();
    sqlite3_close_v2(m_outbox);
}

size_t PgHistoryStore::Rows(const std::deque<Batch>& batches) {
    size_t rows = 0;
    for (const Batch& batch : batches) rows += batch.Writes.size();
    return rows;
}

size_t PgHistoryStore::Pending() const {
    return m_pending.size() + Rows(m_unsent) + Rows(m_tail) + m_diskRows;
}

// Tops the batches in memory up from the outbox, a piece at a time once half of them went; the
// batches the outbox refused come once none waits there.
void PgHistoryStore::Refill() {
    if (!m_outbox) return;
    if (m_moreOnDisk && m_unsent.size() <= m_window / 2) {
        const size_t want = m_window - m_unsent.size();
        size_t read = 0;
        const bool ok = ReadOutbox(m_readTo, static_cast<int64_t>(want), read, [&](int64_t, Batch& batch) {
            m_diskRows -= std::min(m_diskRows, batch.Writes.size());
            m_unsent.push_back(std::move(batch));
        });
        if (ok && read < want) {
            m_moreOnDisk = false;
            m_diskRows = 0;
        }
        // A read that failed is tried again at the next flush, from where it stopped.
    }
    if (m_moreOnDisk) return;
    while (!m_tail.empty()) {
        m_unsent.push_back(std::move(m_tail.front()));
        m_tail.pop_front();
    }
}

void PgHistoryStore::Queue(const char* sql, std::vector<PgValue> values) {
    m_pending.push_back({sql, std::move(values)});
}

// Whether the connection stands. One being made is carried on as far as it goes without waiting
// (`wait`: a few seconds at most, for the operator); one silent for kConnectFlushes flushes is
// given up. While the database is away a new one is begun every kReconnectFlushes flushes.
bool PgHistoryStore::Connected(bool wait) {
    if (m_conn && !m_conn->Connecting() && m_conn->Good()) return true;
    if (!m_conn || !m_conn->Connecting()) {
        m_conn.reset();
        if (m_retryIn > 0) {
            --m_retryIn;
            return false;
        }
        std::string error;
        m_conn = PgConnection::Start(m_conninfo, error, m_deadlineMs);
        m_connectFlushes = 0;
        if (!m_conn) return Away(error);
    }
    const auto progress = wait ? m_conn->Finish(std::min(kWaitMs, m_deadlineMs)) : m_conn->Advance();
    if (progress == PgConnection::Progress::Ready) return true;
    if (progress == PgConnection::Progress::Connecting && !wait && ++m_connectFlushes < kConnectFlushes) {
        if (!m_away) m_why = "the shared database has not answered yet";
        return false;
    }
    return Away(progress == PgConnection::Progress::Failed ? m_conn->Error()
                                                           : "the shared database did not answer");
}

bool PgHistoryStore::Away(const std::string& why) {
    m_conn.reset();
    m_away = true;
    m_why = why;
    m_retryIn = kReconnectFlushes;
    return false;
}

bool PgHistoryStore::Ready(bool wait) {
    if (!Connected(wait)) return false;
    if (m_setUp) {
        m_away = false;
        return true;
    }
    std::string why;
    if (!SetUp(why)) return Away(why);  // refused (a newer schema, no rights): asked again now and then
    m_away = false;
    return true;
}

int PgHistoryStore::Socket() const {
    return m_conn ? m_conn->Socket() : -1;
}

bool PgHistoryStore::WantsWrite() const {
    return m_conn && m_conn->Connecting() && m_conn->WantsWrite();
}

// A match's number must be new to the database. The program numbers on from what it knew; should
// the database hold that number already for this server (the program started while the database
// was away, and its file knew less than the database), the match and every row that waits for it
// take the next number free instead, in the outbox too, before anything of it is written. The
// database says so itself (a guard before the match's row fails its batch), with its newest number.
void PgHistoryStore::Renumber(int64_t id, int64_t last) {
    const int64_t fresh = std::max(last + 1, m_nextMatchId);
    m_nextMatchId = fresh + 1;
    SaveNextMatchId();
    if (m_matchId == id) m_matchId = fresh;
    Renumbered(m_pending, id, fresh);
    if (m_outbox) sqlite3_exec(m_outbox, "BEGIN", nullptr, nullptr, nullptr);
    for (Batch& batch : m_unsent) {
        if (Renumbered(batch.Writes, id, fresh)) Rewrite(batch);
    }
    for (Batch& batch : m_tail) Renumbered(batch.Writes, id, fresh);
    if (m_moreOnDisk) RenumberOnDisk(id, fresh);
    if (m_outbox) sqlite3_exec(m_outbox, "COMMIT", nullptr, nullptr, nullptr);
    if (m_log)
        m_log("Match " + std::to_string(id) + " is kept as match " + std::to_string(fresh) +
              ": the shared database had that number already for this server");
}

bool PgHistoryStore::Renumbered(std::vector<Write>& writes, int64_t id, int64_t fresh) {
    bool changed = false;
    for (Write& write : writes) {
        const int place = MatchPlace(write.Sql);
        if (place >= 0 && std::get<int64_t>(write.Values[static_cast<size_t>(place)]) == id) {
            write.Values[static_cast<size_t>(place)] = fresh;
            changed = true;
        }
    }
    return changed;
}

void PgHistoryStore::Rewrite(const Batch& batch) {
    sqlite3_stmt* st = nullptr;
    if (m_outbox && batch.OutboxSeq != 0 &&
        sqlite3_prepare_v2(m_outbox, "UPDATE shared_outbox SET rows = ? WHERE seq = ?", -1, &st, nullptr) ==
            SQLITE_OK) {
        const std::string rows = Encoded(batch);
        sqlite3_bind_blob64(st, 1, rows.data(), rows.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 2, batch.OutboxSeq);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

// The batches that wait on disk only, renumbered there a piece at a time.
void PgHistoryStore::RenumberOnDisk(int64_t id, int64_t fresh) {
    int64_t cursor = m_readTo;
    size_t read = m_window;
    std::vector<Batch> changed;
    while (read == m_window) {
        changed.clear();
        if (!ReadOutbox(cursor, static_cast<int64_t>(m_window), read, [&](int64_t, Batch& batch) {
                if (Renumbered(batch.Writes, id, fresh)) changed.push_back(std::move(batch));
            }))
            return;
        for (const Batch& batch : changed) Rewrite(batch);
    }
}

// Sends the batches that wait, each as a transaction of its own in the connection's pipeline (its
// statements up to a Sync), without waiting for an answer: the answers are taken at later
// flushes. A batch counts as written only once the database answered its Sync with every
// statement through, that is, committed. Its key, written in the same transaction, makes a
// batch sent again after a lost answer fail at once (it is known); and each batch sent behind
// another whose answer is not in yet first checks that the other's key is there, so that a
// batch that failed takes every one behind it along and they all go again, in order.
bool PgHistoryStore::SendWaiting(std::string& why) {
    PgConnection& c = *m_conn;
    Refill();
    // While another copy holds the code's lease, it is asked for only now and then.
    if (m_resend || m_sent >= m_unsent.size() || m_sent >= kMaxInFlight || m_leaseRetryIn > 0) return true;
    const bool marks = m_schema >= pgschema::kBatchMarksVersion;
    if (!c.StartPipeline()) {
        why = c.Error();
        return false;
    }
    if (InFlight() == 0) m_answerBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_deadlineMs);
    for (; m_sent < m_unsent.size() && m_sent < kMaxInFlight; ++m_sent) {
        Batch& batch = m_unsent[m_sent];
        batch.Steps.clear();
        batch.Seen = 0;
        batch.Committed = batch.Known = batch.Clash = batch.Behind = batch.Refused = false;
        batch.Max = 0;
        batch.Error.clear();
        auto send = [&](Step step, const char* sql, const std::vector<PgValue>& values) {
            batch.Steps.push_back(step);
            return c.Send(sql, values);
        };
        bool ok = true;
        // The code's lease first: a batch of a copy that does not hold it is not written.
        if (m_schema >= pgschema::kLeaseSchema) {
            ok = send({Role::Lease, 0}, kClaim, {m_server, m_copy, m_host, m_pid, int64_t{kLeaseStaleS}});
            m_lastClaim = std::chrono::steady_clock::now();
        }
        if (m_sent > 0) {
            const Batch& before = m_unsent[m_sent - 1];
            ok = send({Role::Chain, 0}, marks ? kChainOrMark : kChain, {m_server, before.Instance, before.Key});
        }
        ok =
            ok && send({Role::Key, 0}, "INSERT INTO store_batches(server, instance, batch) VALUES ($1,$2,$3)",
                       {m_server, batch.Instance, batch.Key});
        // A batch whose key went with its run's older keys was written, however long it waited.
        // Looked at after the key is in: a key being pruned meanwhile holds the insert until its
        // mark is there to see.
        if (marks) ok = ok && send({Role::Mark, 0}, kMarked, {m_server, batch.Instance, batch.Key});
        // Keys well before this one are answered for: their batches left the outbox long ago. (A
        // few are kept: a power cut may take the outbox's last changes with it.)
        ok = ok && send({}, "DELETE FROM store_batches WHERE server=$1 AND instance=$2 AND batch < $3 - 1000",
                        {m_server, batch.Instance, batch.Key});
        if (marks && m_sends++ % kPruneEveryBatches == 0)
            ok = ok && send({}, kPruneKeysSql, {kPruneLock, int64_t{kBatchKeyDays}, int64_t{kPruneKeys}});
        for (const Write& write : batch.Writes) {
            if (InsertsMatch(write.Sql)) {
                const int64_t id = std::get<int64_t>(write.Values[1]);
                ok = ok && send({Role::Max, 0}, "SELECT coalesce(max(id), 0) FROM matches WHERE server=$1",
                                {m_server});
                ok = ok && send({Role::Guard, id},
                                "SELECT 1 / (CASE WHEN $2::bigint > (SELECT coalesce(max(id), 0) FROM matches"
                                " WHERE server=$1) THEN 1 ELSE 0 END)",
                                {m_server, id});
            }
            ok = ok && send({}, write.Sql, write.Values);
        }
        ok = ok && c.SendSync();
        if (!ok) {
            why = c.Error();
            return false;
        }
    }
    if (c.SendOut() < 0) {
        why = c.Error();
        return false;
    }
    return true;
}

// Takes the answers that are in, without waiting.
bool PgHistoryStore::TakeResults(std::string& why) {
    if (InFlight() == 0) return true;
    PgConnection& c = *m_conn;
    if (c.SendOut() < 0 || !c.Receive()) {
        why = c.Error();
        return false;
    }
    PgResult result;
    int nulls = 0;
    while (InFlight() > 0 && nulls < 2 && c.NextResult(result)) {
        // A statement's results end with a null one; two in a row: nothing more is in.
        if (result.Null()) {
            ++nulls;
            continue;
        }
        nulls = 0;
        m_answerBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_deadlineMs);
        Batch& batch = m_unsent[m_results];
        if (!result.SyncPoint()) {
            Take(batch, result);
            continue;
        }
        ++m_results;
        // The statements up to a Sync are one transaction, committed there when every one of them
        // went through (else rolled back): the Sync's answer is the commit's.
        batch.Committed = batch.Seen == batch.Steps.size();
        if (batch.Committed) Leased(true, {});
        if (batch.Committed || batch.Known) continue;
        m_resend = true;
        if (batch.Refused) {
            Leased(false, batch.Holder);
        } else if (batch.Clash) {
            Renumber(batch.Steps[batch.Seen].Match, batch.Max);
        } else if (!batch.Behind && m_sendError.empty()) {
            m_sendError = batch.Error.empty() ? "the database did not take the batch" : batch.Error;
        }
    }
    // Written, in order, from the first on.
    while (m_results > 0 && (m_unsent.front().Committed || m_unsent.front().Known)) {
        m_written = true;
        Sent(m_unsent.front());
        m_unsent.pop_front();
        --m_sent;
        --m_results;
    }
    if (m_resend && m_results == m_sent) {
        // Every answer is in: what was not written goes again, renumbered where it had to be.
        m_sent = m_results = 0;
        m_resend = false;
    }
    if (!c.Good()) {
        why = c.Error();
        return false;
    }
    return true;
}

// One statement's result for a batch sent.
void PgHistoryStore::Take(Batch& batch, const PgResult& result) {
    if (batch.Seen >= batch.Steps.size()) return;
    const Step& step = batch.Steps[batch.Seen];
    if (result.Ok()) {
        if (step.What == Role::Max) batch.Max = result.Int(0, 0);
        ++batch.Seen;
        return;
    }
    if (result.Skipped()) return;  // after the one that failed: Seen stays on that one
    if (step.What == Role::Lease && result.State() == "TV001") {
        batch.Refused = true;
        batch.Holder = result.Message();
    } else if ((step.What == Role::Key && result.State() == "23505") ||
               (step.What == Role::Mark && result.State() == kDivisionByZero)) {
        batch.Known = true;  // written before; the answer to its commit was lost
    } else if (step.What == Role::Guard) {
        batch.Clash = true;
    } else if (step.What == Role::Chain) {
        batch.Behind = true;  // the batch before it was not written: no failure of its own
    } else if (batch.Error.empty()) {
        batch.Error = result.Error();
    }
}

// The connection broke: what was sent goes again on the next one (the keys make that safe).
void PgHistoryStore::Broke() {
    m_conn.reset();
    m_sent = m_results = 0;
    m_resend = false;
}

bool PgHistoryStore::Drain(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string why;
    m_sendError.clear();
    while (m_conn && InFlight() > 0) {
        if (!TakeResults(why)) {
            Broke();
            Report(true, why);
            return false;
        }
        // Batches renumbered go again at once (one that failed otherwise waits for the next flush).
        if (InFlight() == 0 && m_sendError.empty() && !SendWaiting(why)) {
            Broke();
            Report(true, why);
            return false;
        }
        if (InFlight() == 0) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) return false;
        pollfd ready{};
        ready.fd = m_conn->Socket();
        ready.events = POLLIN;
        poll(&ready, 1, static_cast<int>(left));
    }
    if (!m_sendError.empty()) Report(true, m_sendError);
    if (m_resend) return false;
    return !m_conn || m_conn->EndPipeline();
}

void PgHistoryStore::Flush() {
    if (m_leaseRetryIn > 0) --m_leaseRetryIn;
    // The lease's heartbeat: with nothing to write for a while, an empty batch carries it (once
    // the copy wrote something: a store opened only to read claims nothing).
    const bool heartbeat = m_pending.empty() && m_unsent.empty() && !m_moreOnDisk && m_tail.empty() && m_setUp &&
                           m_heldElsewhere.empty() &&
                           m_schema >= pgschema::kLeaseSchema &&
                           m_lastClaim != std::chrono::steady_clock::time_point{} &&
                           std::chrono::steady_clock::now() - m_lastClaim > std::chrono::seconds(kHeartbeatS);
    if (!m_pending.empty() || heartbeat) {
        Batch batch;
        batch.Instance = m_instance;
        batch.Key = m_nextBatch++;
        batch.Writes = std::move(m_pending);
        m_pending.clear();
        // Behind batches the outbox refused, a batch stays in memory with them.
        if (m_tail.empty()) Keep(batch);
        if (batch.OutboxSeq != 0 && (m_moreOnDisk || m_unsent.size() >= m_window)) {
            // Behind others that wait on disk, it waits there too, and is read in its turn.
            m_moreOnDisk = true;
            m_diskRows += batch.Writes.size();
        } else if (batch.OutboxSeq == 0 && (m_moreOnDisk || !m_tail.empty())) {
            m_tail.push_back(std::move(batch));
        } else {
            if (batch.OutboxSeq != 0) m_readTo = batch.OutboxSeq;
            m_unsent.push_back(std::move(batch));
        }
        // A database away for long costs no more memory than this (the outbox keeps it all).
        for (size_t rows = Pending(); !m_outbox && m_sent == 0 && rows > kMaxPending; --rows) {
            Batch& oldest = m_unsent.front();
            if (!oldest.Writes.empty()) {  // a heartbeat's batch is empty
                oldest.Writes.erase(oldest.Writes.begin());
                ++m_dropped;
            }
            if (oldest.Writes.empty()) m_unsent.pop_front();
        }
    }
    Refill();
    if (m_unsent.empty() && m_setUp && InFlight() == 0) return;
    // A first answer merely awaited is no failure yet.
    if (!Ready()) {
        if (!m_unsent.empty() && m_away) Report(true, m_why);
        return;
    }
    std::string why;
    m_sendError.clear();
    m_written = false;
    // A connection the database closed is found out by reading from it, before anything is sent.
    if (!m_conn->Receive() || !m_conn->Good()) {
        why = m_conn->Error();
        Broke();
        return Report(true, why);
    }
    if (!TakeResults(why) || !SendWaiting(why) || !CatchUp(why)) {
        // A connection the database dropped is found out only by using it; a new one is begun at
        // the next flush.
        Broke();
        return Report(true, why);
    }
    // A database that hangs keeps its connection open and never answers: past the deadline it
    // counts as away, and what was sent goes again on a new connection (the keys make that safe).
    if (InFlight() > 0 && std::chrono::steady_clock::now() > m_answerBy) {
        Broke();
        Away(PgConnection::NoAnswerText(m_deadlineMs));
        return Report(true, m_why);
    }
    if (!m_sendError.empty()) return Report(true, m_sendError);
    if (m_written || m_unsent.empty()) Report(false, {});
}

// Only when behind: a flush with its one batch does not wait for the answer.
bool PgHistoryStore::CatchUp(std::string& why) {
    if (m_sent >= m_unsent.size() && !m_moreOnDisk && m_tail.empty()) return true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_catchUpBudgetMs);
    while (!m_resend && m_sendError.empty() && InFlight() > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) break;
        pollfd ready{m_conn->Socket(), POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left)) <= 0) break;
        if (!TakeResults(why) || !SendWaiting(why)) return false;
    }
    return true;
}

// Said once when writing starts to fail, and once when it works again.
// Whether this copy's batches are taken under the server code's lease; `holder` (its process and
// host) when another live copy holds it.
void PgHistoryStore::Leased(bool held, const std::string& holder) {
    if (held) {
        m_leaseHeld = true;
        if (!m_heldElsewhere.empty() && m_log)
            m_log("This copy keeps the history of server code " + m_server +
                  " in the shared database again: the other copy stopped");
        m_heldElsewhere.clear();
        return;
    }
    m_leaseHeld = false;
    m_leaseRetryIn = kLeaseRetryFlushes;
    // The other copy's words come from the database: one short line.
    std::string line = holder.substr(0, 200);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    const size_t space = line.find(' ');
    const std::string who = space == std::string::npos
                                ? line
                                : "on " + line.substr(space + 1) + ", process " + line.substr(0, space);
    if (who == m_heldElsewhere) return;
    m_heldElsewhere = who;
    if (m_log)
        m_log("Another copy of Tovi stats (" + who + ") keeps the history of server code " + m_server +
              " in the shared database: this copy's history waits in its own file until that copy stops."
              " Give each game server a code of its own");
}

// A copy that ends gives its lease back, so that another may take the code at once.
void PgHistoryStore::Release() {
    if (!m_leaseHeld || !m_conn || !m_conn->Good() || InFlight() > 0 || !m_conn->EndPipeline()) return;
    m_conn->SetDeadlineMs(std::min(kEndWaitMs, m_deadlineMs));
    m_conn->Run("DELETE FROM server_leases WHERE server=$1 AND copy=$2", {m_server, m_copy});
}

void PgHistoryStore::Report(bool failing, const std::string& why) {
    ReportWrites(m_log, m_failing, m_dropped, failing,
                 "History could not be written to the shared database (" + why +
                     "): it is kept and written once the database answers");
}

void PgHistoryStore::MatchStarted(const MatchStart& m) {
    m_matchId = m_nextMatchId++;
    SaveNextMatchId();
    m_matchUnderWay = true;
    std::vector<PgValue> values = {m_server,          m_matchId,           m.Time, ToUtf8(m.ServerName),
                                   ToUtf8(m.MapName), ToUtf8(m.MapFile), ToUtf8(m.GameType)};
    if (m_schema < pgschema::kLeaseSchema) return Queue(kInsertMatch, std::move(values));
    values.emplace_back(m_copy);
    Queue(kInsertMatchOwned, std::move(values));
}

void PgHistoryStore::MatchEnded(const MatchEnd& m) {
    if (m_matchId == 0) return;
    m_matchUnderWay = false;
    Queue(kEndMatch,
          {m.Time, m.Result.empty() ? PgValue(nullptr) : PgValue(ToUtf8(m.Result)), int64_t{m.PlayersAtEnd},
           int64_t{m.StatsWritten ? 1 : 0},
           m.StatsRefused.empty() ? PgValue(nullptr) : PgValue(ToUtf8(m.StatsRefused)), m_server, m_matchId});
    Queue(kCloseStints, {m.Time, m_server, m_matchId});
}

void PgHistoryStore::StatsUploaded(int64_t time, int matches) {
    if (m_schema < pgschema::kLeaseSchema) return Queue(kUploaded, {time, m_server, int64_t{matches}});
    Queue(kUploadedOwned, {time, m_server, int64_t{matches}, m_copy});
}

void PgHistoryStore::StatsSavedLater(int matches) {
    if (m_schema < pgschema::kLeaseSchema)
        return Queue(kSavedLater, {m_server, std::string(kStatsKeptInMemory), int64_t{matches}});
    Queue(kSavedLaterOwned, {m_server, std::string(kStatsKeptInMemory), int64_t{matches}, m_copy});
}

void PgHistoryStore::PlayerJoined(int64_t time, const std::string& name, int slot, int team) {
    Queue(kInsertStint, {m_server, m_matchId, ToUtf8(name), ToUtf8(LowerCase1252(name)), int64_t{slot},
                         int64_t{team}, time});
}

void PgHistoryStore::PlayerLeft(int64_t time, const std::string& name) {
    Queue(kEndStint, {time, m_server, m_matchId, ToUtf8(name)});
}

void PgHistoryStore::PlayerStats(const std::string& name, int team, const std::vector<PlayerStat>& stats) {
    for (const PlayerStat& s : stats)
        Queue(kInsertStat, {m_server, m_matchId, ToUtf8(name), int64_t{team}, ToUtf8(s.Name), s.Value});
}

void PgHistoryStore::ChatRead(int64_t time, const std::string& sender, const std::string& message) {
    Queue(kInsertChat, {m_server, time, m_matchId, int64_t{0}, ToUtf8(sender), ToUtf8(message),
                        PgBytes{sender}, PgBytes{message}, ChatWords(message)});
}

void PgHistoryStore::ChatSent(int64_t time, const std::string& target, const std::string& message) {
    Queue(kInsertChat, {m_server, time, m_matchId, int64_t{1}, ToUtf8(target), ToUtf8(message),
                        PgBytes{target}, PgBytes{message}, ChatWords(message)});
}

void PgHistoryStore::ChatReadBack(int64_t sentAt, const std::string& message, int64_t seenAt) {
    if (m_schema >= kSeenSchema) Queue(kReadBack, {seenAt, m_server, sentAt, PgBytes{message}});
}

void PgHistoryStore::AdminActionDone(const AdminAction& a) {
    Queue(kInsertAdmin,
          {m_server, a.Time, ToUtf8(a.Who), std::string(ActionName(a.Action)), ToUtf8(a.Target), ToUtf8(a.Reason),
           ToUtf8(a.Detail), std::string(OutcomeText(a.Result)), ToUtf8(a.Why)});
}

void PgHistoryStore::ServerEvent(int64_t time, const std::string& kind, const std::string& detail) {
    Queue(kInsertEvent, {m_server, time, ToUtf8(kind), ToUtf8(detail)});
}

namespace {

class PgRow final : public SqlRow {
public:
    PgRow(const PgResult& result, int row) : m_result(result), m_row(row) {}
    bool IsNull(int c) const override { return m_result.IsNull(m_row, c); }
    int64_t Int(int c) const override { return m_result.Int(m_row, c); }
    std::string Text(int c) const override { return m_result.Text(m_row, c); }
    std::string Bytes(int c) const override { return m_result.Bytes(m_row, c); }

private:
    const PgResult& m_result;
    int m_row;
};

}  // namespace

bool PgHistoryStore::Query(const std::string& sql, const SqlValues& values, const EachRow& row, int64_t* changed) {
    if (!m_conn) {
        m_queryError = "the shared database is away";
        return false;
    }
    // `?` becomes $1, $2, ... in order: no statement of the reads holds a `?` of its own.
    std::string text;
    int n = 0;
    for (char c : sql) text += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
    std::vector<PgValue> params;
    for (const SqlValue& v : values) {
        if (auto* i = std::get_if<int64_t>(&v)) {
            params.emplace_back(*i);
        } else if (auto* s = std::get_if<std::string>(&v)) {
            params.emplace_back(*s);
        } else if (auto* b = std::get_if<SqlBytes>(&v)) {
            params.emplace_back(PgBytes{b->Bytes});
        } else {
            params.emplace_back(nullptr);
        }
    }
    PgResult r = m_conn->Exec(text, params);
    if (!r.Ok()) {
        m_queryError = r.Error();
        return false;
    }
    for (int i = 0; row && i < r.Rows(); ++i) row(PgRow(r, i));
    if (changed) *changed = r.Changed();
    return true;
}

bool PgHistoryStore::ReadyFor(Purpose purpose, std::string& why) {
    switch (purpose) {
        case Purpose::Read:
            // A few seconds at most for a connection being made (a silent host cannot hold them
            // longer: see the connection's settings); what is still waiting is found too.
            Ready(true);
            Flush();
            if (Drain(std::min(kWaitMs, m_deadlineMs)) && m_setUp && m_conn && m_conn->Good()) return true;
            why = m_why.empty() ? std::string("the shared database did not answer in time") : m_why;
            return false;
        case Purpose::Chart:
            // Never waits for a connection; answers for the batches sent, a moment at most.
            return m_setUp && m_conn && !m_conn->Connecting() && m_conn->Good() &&
                   Drain(std::min(kWaitMs, m_deadlineMs));
        case Purpose::Upkeep:
            // Housekeeping on a timer: it never waits for a connection.
            Flush();
            return !m_failing && Ready() && InFlight() == 0 && m_conn->EndPipeline() && m_conn->Run("BEGIN");
    }
    return false;
}

bool PgHistoryStore::EndUpkeep(bool commit) {
    if (commit && m_conn && m_conn->Run("COMMIT")) return true;
    if (m_conn && m_conn->Good()) m_conn->ExecScript("ROLLBACK");
    return false;
}

// The texts an admin action or an event is searched by are kept folded in one column (schema 11
// on), joined by a byte no typed text holds.
std::string PgHistoryStore::AnyHolds(std::initializer_list<const char*> columns, const std::string& foldedColumn,
                                     const std::string& folded1252, SqlValues& values) const {
    const std::string text = ToUtf8(folded1252);
    if (Keyed() && !foldedColumn.empty() && text.find('\x01') == std::string::npos) {
        values.emplace_back(text);
        return Holds(foldedColumn);
    }
    std::string any;
    for (const char* column : columns) {
        any += std::string(any.empty() ? "(" : " OR ") + Holds(std::string("tovi_fold(") + column + ")");
        values.emplace_back(text);
    }
    return any + ")";
}

// Each word typed begins a word said; a single letter is a word of its own. From the words index
// on, the words are one text search query over the words kept (letters and digits only, so no
// word holds the query language's quotes or operators): a rare word is found through the index
// rather than by reading every line newest first. The lines of a few senders named are fewer than
// those of a common word: their index leads, and each line's words are looked at as they are.
std::string PgHistoryStore::ChatSql(const ChatPlan& p) {
    std::string query;
    for (const std::string& word : Words(p.Query.Text)) {
        if (m_schema < pgschema::kWordsSchema || !p.Names.empty()) {
            p.Where.Add("strpos(c.words, ?) > 0", {" " + ToUtf8(word) + (word.size() > 1 ? "" : " ")});
            continue;
        }
        query += (query.empty() ? "'" : " & '") + ToUtf8(word) + (word.size() > 1 ? "':*" : "'");
    }
    if (!query.empty()) p.Where.Add(std::string(pgschema::kChatWords) + " @@ CAST(? AS tsquery)", {query});
    return p.Columns + " FROM chat c" + p.Where.Clause() + " ORDER BY c.id DESC LIMIT ?";
}

int64_t PgHistoryStore::Bytes() {
    int64_t bytes = 0;
    Query("SELECT pg_database_size(current_database())", {}, [&](const SqlRow& r) { bytes = r.Int(0); }, nullptr);
    return bytes;
}

}  // namespace tovi
