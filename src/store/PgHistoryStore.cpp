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

// The statements a batch may hold, by their place here in the outbox. Only ever added to.
constexpr const char* kStatements[] = {kInsertMatch, kEndMatch,    kUploaded,    kCloseStints,      kInsertStint,
                                       kEndStint,    kInsertStat,  kInsertChat,  kInsertAdmin,      kInsertEvent,
                                       kInsertMatchOwned, kUploadedOwned, kSavedLater, kSavedLaterOwned};

// Where each of those statements takes the match's number, -1 where it takes none.
constexpr int kMatchPlace[] = {1, 6, -1, 2, 1, 2, 1, 2, -1, -1, 1, -1, -1, -1};
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

std::string From(const PgResult& r, int row, int column) {
    return Utf8ToWindows1252(r.Text(row, column));
}

Outcome OutcomeFromText(const std::string& text) {
    if (text == "refused") return Outcome::Refused;
    if (text == "skipped") return Outcome::Skipped;
    return Outcome::Sent;
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
    if (!pgschema::Migrate(c, m_schemaVersion, error)) {
        error = "The shared database cannot keep the history: " + error + ".";
        return false;
    }
    if (m_schemaVersion >= 5 &&
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
    : m_conn(std::move(conn)),
      m_conninfo(std::move(conninfo)),
      m_server(std::move(server)),
      m_log(std::move(log)),
      m_window(std::max<size_t>(window, 1)),
      m_schemaVersion(schemaVersion),
      m_deadlineMs(deadlineMs) {
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
    const bool marks = m_schemaVersion >= pgschema::kBatchMarksVersion;
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
        if (m_schemaVersion >= pgschema::kLeaseSchema) {
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
                           m_schemaVersion >= pgschema::kLeaseSchema &&
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
    if (m_schemaVersion < pgschema::kLeaseSchema) return Queue(kInsertMatch, std::move(values));
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
    if (m_schemaVersion < pgschema::kLeaseSchema) return Queue(kUploaded, {time, m_server, int64_t{matches}});
    Queue(kUploadedOwned, {time, m_server, int64_t{matches}, m_copy});
}

void PgHistoryStore::StatsSavedLater(int matches) {
    if (m_schemaVersion < pgschema::kLeaseSchema)
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

void PgHistoryStore::AdminActionDone(const AdminAction& a) {
    Queue(kInsertAdmin,
          {m_server, a.Time, ToUtf8(a.Who), std::string(ActionName(a.Action)), ToUtf8(a.Target), ToUtf8(a.Reason),
           ToUtf8(a.Detail), std::string(OutcomeText(a.Result)), ToUtf8(a.Why)});
}

void PgHistoryStore::ServerEvent(int64_t time, const std::string& kind, const std::string& detail) {
    Queue(kInsertEvent, {m_server, time, ToUtf8(kind), ToUtf8(detail)});
}

namespace {

// How a row of each kind reads, in Search and in the export alike: the columns (kind, time,
// player, text, detail, match, left at), the table and the column of the row's time.
struct KindSql {
    const char* Columns;
    const char* Table;
    const char* Time;
};

KindSql RowsOf(HistoryKind kind) {
    switch (kind) {
        case HistoryKind::Chat:
            return {
                "'chat', time, player_raw, message_raw, CASE sent WHEN 1 THEN 'sent' ELSE 'read' END, "
                "match_id, NULL",
                "chat", "time"};
        case HistoryKind::Players:
            return {rowsql::kPlayers, "stints", "joined"};
        case HistoryKind::Admin:
            return {rowsql::kAdmin, "admin_actions", "time"};
        case HistoryKind::Matches:
            return {rowsql::kMatches, "matches", "started"};
        case HistoryKind::Events:
            break;
    }
    return {rowsql::kEvents, "server_events", "time"};
}

// Chat keeps the game's own bytes; other texts are UTF-8.
HistoryRow RowOf(const PgResult& r, int i, bool chat) {
    std::optional<int64_t> leftAt;
    if (!r.IsNull(i, 6)) leftAt = r.Int(i, 6);
    return {r.Text(i, 0),
            r.Int(i, 1),
            chat ? r.Bytes(i, 2) : From(r, i, 2),
            chat ? r.Bytes(i, 3) : From(r, i, 3),
            From(r, i, 4),
            r.Int(i, 5),
            leftAt};
}

}  // namespace

// The operator's reads wait a few seconds at most for a connection being made (a silent host
// cannot hold them longer: see the connection's settings), and find what is still waiting too.
bool PgHistoryStore::ReadyToRead() {
    Ready(true);
    Flush();
    return Drain(std::min(kWaitMs, m_deadlineMs)) && m_setUp && m_conn && m_conn->Good();
}

std::vector<HistoryRow> PgHistoryStore::Search(const HistoryQuery& q) {
    std::vector<HistoryRow> rows;
    m_readError.clear();
    if (q.Limit <= 0) return rows;
    if (!ReadyToRead()) {
        m_readError = m_why.empty() ? std::string("the shared database did not answer in time") : m_why;
        return rows;
    }
    const std::string text = ToUtf8(LowerCase1252(q.Text)), player = ToUtf8(LowerCase1252(q.Player));
    std::vector<PgValue> params = {q.Server.empty() ? m_server : q.Server};
    auto param = [&](PgValue value) {
        params.push_back(std::move(value));
        return "$" + std::to_string(params.size());
    };
    std::string conditions = "server = $1";
    auto when = [&](const std::string& condition) { conditions += " AND " + condition; };
    // Part of any of these columns, letter case ignored; the text is only ever a parameter.
    auto textIn = [&](std::initializer_list<const char*> columns) {
        const std::string p = param(text);
        std::string any;
        for (const char* column : columns)
            any +=
                std::string(any.empty() ? "(" : " OR ") + "strpos(tovi_fold(" + column + "), " + p + ") > 0";
        when(any + ")");
    };
    auto timeIn = [&](const char* column) {
        if (q.From != 0) when(std::string(column) + " >= " + param(q.From));
        if (q.To != 0) when(std::string(column) + " < " + param(q.To));
    };

    const bool keyed = m_schemaVersion >= pgschema::kKeyedSchema;
    // A time window: the rows between the first key at its start and the last before its end, as
    // the time index finds them (rows are kept in the order they came), read newest first by key.
    // False when the window holds none.
    auto window = [&](const char* table) {
        if (keyed && (q.From != 0 || q.To != 0)) {
            const std::string t = table;
            auto one = [&](const std::string& sql, int64_t bound) -> std::optional<int64_t> {
                PgResult r = m_conn->Exec(sql, {params[0], bound});
                if (!r.Ok()) m_readError = r.Error();
                if (!r.Ok() || r.Rows() == 0) return std::nullopt;
                return r.Int(0, 0);
            };
            int64_t lo = 0, hi = INT64_MAX;
            if (q.From != 0) {
                auto id = one("SELECT id FROM " + t + " WHERE server = $1 AND time >= $2 ORDER BY time, id LIMIT 1",
                              q.From);
                if (!id) return false;
                lo = *id;
            }
            if (q.To != 0) {
                auto id = one(
                    "SELECT id FROM " + t + " WHERE server = $1 AND time < $2 ORDER BY time DESC, id DESC LIMIT 1",
                    q.To);
                if (!id) return false;
                hi = *id;
            }
            if (lo > hi) return false;
            when("id BETWEEN " + param(lo) + " AND " + param(hi));
        }
        timeIn("time");
        return true;
    };
    // The folded names in `column` that hold the part of a name typed, each found once through
    // the names' index. Few of them: their rows are read through that index; many: the rows are
    // read newest first and each name is checked. False when none does.
    constexpr size_t kFewNames = 64;
    auto names = [&](const char* table, const char* column) {
        if (!keyed) {
            when(std::string("strpos(tovi_fold(") + (column == std::string("player_key") ? "player" : "target") +
                 "), " + param(player) + ") > 0");
            return true;
        }
        const std::string c = column, t = table;
        PgResult r = m_conn->Exec(
            "WITH RECURSIVE k(key) AS (SELECT (SELECT " + c + " FROM " + t + " WHERE server = $1 AND " + c +
                " IS NOT NULL ORDER BY " + c + " LIMIT 1) UNION ALL SELECT (SELECT " + c + " FROM " + t +
                " WHERE server = $1 AND " + c + " > k.key ORDER BY " + c + " LIMIT 1) FROM k WHERE k.key IS NOT NULL)"
                " SELECT key FROM k WHERE key IS NOT NULL AND strpos(key, $2) > 0",
            {params[0], player});
        if (!r.Ok()) {
            m_readError = r.Error();
            return false;
        }
        if (r.Rows() == 0) return false;
        if (static_cast<size_t>(r.Rows()) > kFewNames) {
            when("strpos(" + c + ", " + param(player) + ") > 0");
            return true;
        }
        std::string in = c + " IN (";
        for (int i = 0; i < r.Rows(); ++i) in += (i ? "," : "") + param(r.Text(i, 0));
        when(in + ")");
        return true;
    };

    std::string sql;
    switch (q.Kind) {
        case HistoryKind::Chat: {
            if (!window("chat")) return rows;
            if (!player.empty() && !names("chat", "player_key")) return rows;  // he said nothing
            // Each word typed begins a word said; a single letter is a word of its own.
            for (const std::string& word : Words(q.Text)) {
                const std::string key = " " + ToUtf8(word) + (word.size() > 1 ? "" : " ");
                when("strpos(words, " + param(key) + ") > 0");
            }
            sql = std::string("SELECT ") + RowsOf(q.Kind).Columns + " FROM chat WHERE " + conditions +
                  " ORDER BY id DESC LIMIT ";
            break;
        }
        case HistoryKind::Players:
            timeIn("joined");
            if (!text.empty()) when("strpos(name_key, " + param(text) + ") > 0");
            if (!player.empty()) when("strpos(name_key, " + param(player) + ") > 0");
            sql = std::string("SELECT ") + RowsOf(q.Kind).Columns + " FROM stints WHERE " + conditions +
                  " ORDER BY id DESC LIMIT ";
            break;
        case HistoryKind::Admin:
            if (!window("admin_actions")) return rows;
            if (!text.empty() && keyed && text.find('\x01') == std::string::npos)
                when("strpos(folded, " + param(text) + ") > 0");
            else if (!text.empty())
                textIn({"who", "action", "target", "reason", "detail", "outcome", "why"});
            if (!player.empty() && !names("admin_actions", "target_key")) return rows;
            sql = std::string("SELECT ") + RowsOf(q.Kind).Columns + rowsql::kAdminFields +
                  " FROM admin_actions WHERE " + conditions + " ORDER BY id DESC LIMIT ";
            break;
        case HistoryKind::Matches:
            timeIn("started");
            if (!text.empty())
                textIn({"server_name", "map_name", "map_file", "game_type", "result", "stats_refused"});
            if (!player.empty())
                when(
                    "EXISTS (SELECT 1 FROM stints s WHERE s.server = matches.server AND s.match_id = "
                    "matches.id"
                    " AND strpos(s.name_key, " +
                    param(player) + ") > 0)");
            sql = std::string("SELECT ") + RowsOf(q.Kind).Columns + " FROM matches WHERE " + conditions +
                  " ORDER BY id DESC LIMIT ";
            break;
        case HistoryKind::Events:
            if (!player.empty()) return rows;  // no event names a player
            if (!window("server_events")) return rows;
            if (!q.EventKind.empty()) when("kind = " + param(q.EventKind));
            if (!text.empty() && keyed && text.find('\x01') == std::string::npos) {
                // The folded kind, its separator, then the folded detail: of one kind, the detail alone.
                when(q.EventKind.empty() ? "strpos(folded, " + param(text) + ") > 0"
                                         : "strpos(substr(folded, char_length(kind) + 2), " + param(text) + ") > 0");
            } else if (!text.empty()) {
                if (q.EventKind.empty()) {
                    textIn({"kind", "detail"});
                } else {
                    textIn({"detail"});
                }
            }
            sql = std::string("SELECT ") + RowsOf(q.Kind).Columns + " FROM server_events WHERE " +
                  conditions + " ORDER BY id DESC LIMIT ";
            break;
    }
    sql += param(int64_t{q.Limit});
    PgResult r = m_conn->Exec(sql, params);
    if (!r.Ok()) {
        m_readError = r.Error();
        return rows;
    }
    for (int i = 0; i < r.Rows(); ++i) {
        rows.push_back(rowsql::Worded(RowOf(r, i, q.Kind == HistoryKind::Chat)));
        if (q.Kind != HistoryKind::Admin) continue;
        AdminAction& a = rows.back().Action.emplace();
        a.Time = rows.back().Time;
        a.Target = rows.back().Player;
        a.Who = From(r, i, 7);
        a.Action = ActionNamed(r.Text(i, 8));
        a.Reason = From(r, i, 9);
        a.Detail = From(r, i, 10);
        a.Result = OutcomeFromText(r.Text(i, 11));
        a.Why = From(r, i, 12);
    }
    return rows;
}

bool PgHistoryStore::ReadOldestFirst(HistoryKind kind, int64_t from, int64_t& after, int piece,
                                     std::vector<HistoryRow>& rows, std::string& error) {
    rows.clear();
    if (!ReadyToRead()) {
        error = m_why;
        return false;
    }
    // By key, each piece a query of its own: no cursor stays open on the shared database.
    const KindSql k = RowsOf(kind);
    const std::string sql = std::string("SELECT ") + k.Columns + ", id FROM " + k.Table +
                            " WHERE server = $1 AND id > $2 AND ($3::bigint = 0 OR " + k.Time +
                            " >= $3::bigint) ORDER BY id LIMIT $4";
    PgResult r = m_conn->Exec(sql, {m_server, after, from, int64_t{std::max(piece, 0)}});
    if (!r.Ok()) {
        error = r.Error();
        return false;
    }
    for (int i = 0; i < r.Rows(); ++i) {
        rows.push_back(rowsql::Worded(RowOf(r, i, kind == HistoryKind::Chat)));
        after = r.Int(i, 7);
    }
    return true;
}

PlayerHistory PgHistoryStore::PlayerRecord(const std::string& name) {
    PlayerHistory record;
    m_readError.clear();
    if (!ReadyToRead()) {
        m_readError = m_why.empty() ? std::string("the shared database did not answer in time") : m_why;
        return record;
    }
    const std::string key = ToUtf8(LowerCase1252(name));
    auto each = [&](const char* sql, std::vector<PgValue> params, auto&& row) {
        if (!m_readError.empty()) return;
        PgResult r = m_conn->Exec(sql, params);
        if (!r.Ok()) m_readError = r.Error();
        for (int i = 0; r.Ok() && i < r.Rows(); ++i) row(r, i);
    };
    each("SELECT name FROM stints WHERE server=$1 AND name_key=$2 GROUP BY name ORDER BY max(id) DESC",
         {m_server, key}, [&](const PgResult& r, int i) { record.Names.push_back(From(r, i, 0)); });
    each(
        "SELECT s.name, s.slot, s.team, s.joined, coalesce(s.left_at, 0), s.match_id, m.map_name FROM stints "
        "s"
        " LEFT JOIN matches m ON m.server = s.server AND m.id = s.match_id WHERE s.server=$1 AND "
        "s.name_key=$2"
        " ORDER BY s.id DESC",
        {m_server, key}, [&](const PgResult& r, int i) {
            record.Stints.push_back({From(r, i, 0), static_cast<int>(r.Int(i, 1)),
                                     static_cast<int>(r.Int(i, 2)), r.Int(i, 3), r.Int(i, 4), r.Int(i, 5),
                                     From(r, i, 6)});
        });
    each(
        "SELECT id, started, coalesce(ended, 0), server_name, map_name, game_type, result FROM matches"
        " WHERE server=$1 AND id IN (SELECT match_id FROM stints WHERE server=$1 AND name_key=$2) ORDER BY "
        "id DESC",
        {m_server, key}, [&](const PgResult& r, int i) {
            PlayerMatch m;
            m.Match = r.Int(i, 0);
            m.Started = r.Int(i, 1);
            m.Ended = r.Int(i, 2);
            m.ServerName = From(r, i, 3);
            m.MapName = From(r, i, 4);
            m.GameType = From(r, i, 5);
            m.Result = From(r, i, 6);
            record.Matches.push_back(std::move(m));
        });
    for (PlayerMatch& m : record.Matches) {
        each(
            "SELECT team, stat, value FROM player_stats WHERE server=$1 AND match_id=$2 AND "
            "tovi_fold(name)=$3"
            " ORDER BY id",
            {m_server, m.Match, key}, [&](const PgResult& r, int i) {
                m.Team = static_cast<int>(r.Int(i, 0));
                m.Stats.push_back({From(r, i, 1), r.Int(i, 2)});
            });
    }
    each(
        m_schemaVersion >= pgschema::kKeyedSchema
            ? "SELECT time, who, action, target, reason, detail, outcome, why FROM admin_actions"
              " WHERE server=$1 AND target_key=$2 ORDER BY id DESC"
            : "SELECT time, who, action, target, reason, detail, outcome, why FROM admin_actions"
              " WHERE server=$1 AND tovi_fold(target)=$2 ORDER BY id DESC",
        {m_server, key}, [&](const PgResult& r, int i) {
            record.Actions.push_back({r.Int(i, 0), From(r, i, 1), ActionNamed(r.Text(i, 2)), From(r, i, 3), From(r, i, 4),
                                      From(r, i, 5), OutcomeFromText(r.Text(i, 6)), From(r, i, 7)});
        });
    return record;
}

int PgHistoryStore::ForgetBefore(int64_t time, int maxRows) {
    // Housekeeping on a timer: it never waits for a connection.
    Flush();
    if (maxRows <= 0 || m_failing || !Ready() || InFlight() > 0 || !m_conn->EndPipeline()) return 0;
    PgConnection& c = *m_conn;
    int64_t budget = maxRows;
    int64_t gone = 0;
    // One bounded DELETE (its last parameter the budget); answers false when it failed.
    auto remove = [&](const char* sql, std::vector<PgValue> params, bool bounded = true) {
        if (budget <= 0) return true;
        if (bounded) params.push_back(budget);
        PgResult r = c.Exec(sql, params);
        if (!r.Ok()) return false;
        gone += r.Changed();
        budget -= r.Changed();
        return true;
    };
    if (!c.Run("BEGIN")) return 0;
    // As in the embedded file: a match goes once it ended before the time, after its stints and
    // statistics; the match under way and the newest stay.
    PgResult old = c.Exec(
        "SELECT id FROM matches WHERE server=$1 AND coalesce(ended, started) < $2 AND id <> $3"
        " AND id < (SELECT max(id) FROM matches WHERE server=$1) ORDER BY id LIMIT $4",
        {m_server, time, m_matchId, budget});
    bool ok = old.Ok();
    for (int i = 0; ok && i < old.Rows() && budget > 0; ++i) {
        const int64_t id = old.Int(i, 0);
        ok = remove(
                 "DELETE FROM player_stats WHERE id IN (SELECT id FROM player_stats WHERE server=$1 AND"
                 " match_id=$2 LIMIT $3)",
                 {m_server, id}) &&
             remove(
                 "DELETE FROM stints WHERE id IN (SELECT id FROM stints WHERE server=$1 AND match_id=$2 "
                 "LIMIT $3)",
                 {m_server, id});
        if (ok && budget > 0)
            ok = remove("DELETE FROM matches WHERE server=$1 AND id=$2", {m_server, id}, false);
    }
    ok = ok && remove(
                   "DELETE FROM stints WHERE id IN (SELECT id FROM stints WHERE server=$1 AND match_id=0 AND"
                   " coalesce(left_at, joined) < $2 LIMIT $3)",
                   {m_server, time});
    // Only the oldest rows are looked at, in the order they came.
    ok = ok && remove(
                   "DELETE FROM chat WHERE id IN (SELECT id FROM (SELECT id, time FROM chat WHERE server=$1"
                   " ORDER BY id LIMIT $3) o WHERE time < $2)",
                   {m_server, time});
    ok = ok && remove(
                   "DELETE FROM admin_actions WHERE id IN (SELECT id FROM (SELECT id, time FROM admin_actions"
                   " WHERE server=$1 ORDER BY id LIMIT $3) o WHERE time < $2)",
                   {m_server, time});
    ok = ok && remove(
                   "DELETE FROM server_events WHERE id IN (SELECT id FROM (SELECT id, time FROM server_events"
                   " WHERE server=$1 ORDER BY id LIMIT $3) o WHERE time < $2)",
                   {m_server, time});
    if (!ok || !c.Run("COMMIT")) {
        if (c.Good()) c.ExecScript("ROLLBACK");
        return 0;
    }
    return static_cast<int>(gone);
}

HistorySize PgHistoryStore::Size() {
    HistorySize size;
    m_readError.clear();
    if (!ReadyToRead()) {
        m_readError = m_why.empty() ? std::string("the shared database did not answer in time") : m_why;
        return size;
    }
    PgResult r = m_conn->Exec(
        m_schemaVersion >= pgschema::kKeyedSchema
            ? "SELECT pg_database_size(current_database()),"
              " coalesce((SELECT n FROM row_counts WHERE server=$1 AND name='matches'), 0),"
              " coalesce((SELECT n FROM row_counts WHERE server=$1 AND name='stints'), 0),"
              " coalesce((SELECT n FROM row_counts WHERE server=$1 AND name='chat'), 0),"
              " coalesce((SELECT n FROM row_counts WHERE server=$1 AND name='admin_actions'), 0),"
              " coalesce((SELECT n FROM row_counts WHERE server=$1 AND name='server_events'), 0)"
            : "SELECT pg_database_size(current_database()), (SELECT count(*) FROM matches WHERE server=$1),"
              " (SELECT count(*) FROM stints WHERE server=$1), (SELECT count(*) FROM chat WHERE server=$1),"
              " (SELECT count(*) FROM admin_actions WHERE server=$1), (SELECT count(*) FROM server_events WHERE "
              "server=$1)",
        {m_server});
    if (!r.Ok()) m_readError = r.Error();
    if (r.Ok() && r.Rows() == 1) {
        size.Bytes = r.Int(0, 0);
        size.Matches = r.Int(0, 1);
        size.Stints = r.Int(0, 2);
        size.Chat = r.Int(0, 3);
        size.AdminActions = r.Int(0, 4);
        size.Events = r.Int(0, 5);
    }
    return size;
}

PlayerActivity PgHistoryStore::Activity(int64_t from, const std::string& server) {
    PlayerActivity activity;
    // Never waits for a connection; answers for the batches sent, a moment at most.
    if (!m_setUp || !m_conn || m_conn->Connecting() || !m_conn->Good() || !Drain(std::min(kWaitMs, m_deadlineMs))) return activity;
    const bool own = server.empty() || server == m_server;
    const std::string code = own ? m_server : server;
    PgResult first = m_conn->Exec(
        "SELECT coalesce(max(id), 0) FROM matches WHERE server=$1 AND started <= $2", {code, from});
    if (!first.Ok()) return activity;
    const int64_t firstId = first.Int(0, 0);
    PgResult matches = m_conn->Exec(
        "SELECT id, started, coalesce(ended, 0) FROM matches WHERE server=$1 AND id >= $2 ORDER BY id",
        {code, firstId});
    for (int i = 0; matches.Ok() && i < matches.Rows(); ++i) {
        const int64_t id = matches.Int(i, 0), ended = matches.Int(i, 2);
        // Another server's match is under way, as far as its rows tell, when it is its newest and
        // has no end yet.
        const bool underWay = own ? id == m_matchId && m_matchUnderWay && ended == 0
                                  : i + 1 == matches.Rows() && ended == 0;
        activity.Matches.push_back({id, matches.Int(i, 1), ended, underWay});
    }
    PgResult stints = m_conn->Exec(
        "SELECT match_id, joined, coalesce(left_at, 0) FROM stints WHERE server=$1 AND match_id >= $2"
        " AND (left_at IS NULL OR left_at > $3)",
        {code, firstId, from});
    for (int i = 0; stints.Ok() && i < stints.Rows(); ++i)
        activity.Stints.push_back({stints.Int(i, 0), stints.Int(i, 1), stints.Int(i, 2)});
    return activity;
}

std::string PgHistoryStore::ServerName(const std::string& server) {
    if (!ReadyToRead()) return {};
    PgResult r = m_conn->Exec("SELECT server_name FROM matches WHERE server=$1 ORDER BY id DESC LIMIT 1",
                              {server.empty() ? m_server : server});
    return r.Ok() && r.Rows() > 0 ? From(r, 0, 0) : std::string();
}

std::vector<std::string> PgHistoryStore::Servers() {
    std::vector<std::string> codes;
    if (!ReadyToRead()) return codes;
    PgResult r = m_conn->Exec("SELECT code FROM servers ORDER BY code");
    for (int i = 0; r.Ok() && i < r.Rows(); ++i) codes.push_back(r.Text(i, 0));
    return codes;
}

}  // namespace tovi
