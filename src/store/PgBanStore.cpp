#include "PgBanStore.h"

#include <sqlite3.h>

#include "PgSchema.h"
#include "SqliteBanStore.h"
#include "SqliteStatement.h"
#include "Windows1252.h"

#include <algorithm>

namespace tovi {

namespace {

std::string ToUtf8(const std::string& bytes) {
    return Windows1252ToUtf8(bytes);
}

PgValue TimeOrNull(int64_t time) {
    return time == 0 ? PgValue(nullptr) : PgValue(time);
}

// How long a change the operator makes waits for a connection being made.
constexpr int kWaitMs = 5000;

// Both lists, read in one snapshot.
constexpr const char* kReadBegin = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
constexpr const char* kReadBans =
    "SELECT id, name_raw, exact_case, reason, issued_by, issued_at, coalesce(expires_at, 0), notes,"
    " coalesce(lifted_at, 0), lifted_by, lift_reason FROM bans ORDER BY id";
constexpr const char* kReadWarnings = "SELECT id, name_raw, time, issued_by, text FROM warnings ORDER BY id";

}  // namespace

PgBanStore::Opened PgBanStore::Open(const std::string& conninfo, const std::string& cache, int deadlineMs) {
    Opened opened;
    std::string error;
    if (!cache.empty()) {
        opened.Store.reset(new PgBanStore(conninfo, nullptr, cache, deadlineMs));
        opened.Store->Connected(error, false);
        return opened;
    }
    auto conn = PgConnection::Connect(conninfo, error, 5, deadlineMs);
    if (!conn) {
        opened.Error = "The shared database cannot be reached (" + error + ")";
        return opened;
    }
    {
        PgResult check =
            conn->Exec("SELECT to_regclass('bans') IS NOT NULL AND to_regclass('warnings') IS NOT NULL");
        if (!check.Ok() || check.Text(0, 0) != "t") {
            opened.Error = "The shared database holds no ban list";
            return opened;
        }
    }
    if (!pgschema::Known(*conn, error)) {
        error[0] = 'T';
        opened.Error = error;
        return opened;
    }
    opened.Store.reset(new PgBanStore(conninfo, std::move(conn), cache, deadlineMs));
    return opened;
}

bool PgBanStore::LoadCache(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings,
                           std::string& error) {
    auto local = SqliteBanStore::Open(m_cache);
    if (!local.Store) {
        error += "; " + local.Error;
        return false;
    }
    return local.Store->Load(bans, warnings, error);
}

// The whole list as read, in place of what the cache held (`whole`), or the entries just written
// added to it, in one transaction.
void PgBanStore::SaveCache(const std::vector<BanEntry>& bans, const std::vector<PlayerWarning>& warnings,
                           bool whole) {
    if (m_cache.empty()) return;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(m_cache.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return;
    }
    // The history's writer may hold the file: the copy is then left for the next read, never
    // waited for on the event loop, and its commit waits for no fsync either.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_wal_autocheckpoint(db, 0);
    bool ok = sqlite3_exec(db, whole ? "BEGIN IMMEDIATE; DELETE FROM bans; DELETE FROM warnings;" : "BEGIN IMMEDIATE",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
    {
        SqliteStatement ban(
            db,
            "INSERT OR REPLACE INTO bans(id, name, name_key, name_raw, exact_case, reason, issued_by, issued_at,"
            " expires_at, notes, lifted_at, lifted_by, lift_reason) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
        SqliteStatement warning(db,
                                "INSERT OR REPLACE INTO warnings(id, name, name_key, name_raw, time, issued_by, text) "
                                "VALUES (?,?,?,?,?,?,?)");
        ok = ok && ban.Ok() && warning.Ok();
        for (size_t i = 0; ok && i < bans.size(); ++i) {
            const BanEntry& e = bans[i];
            sqlite3_reset(*ban);
            BindBanRow(ban, e);
            ok = sqlite3_step(*ban) == SQLITE_DONE;
        }
        for (size_t i = 0; ok && i < warnings.size(); ++i) {
            const PlayerWarning& w = warnings[i];
            sqlite3_reset(*warning);
            BindWarningRow(warning, w);
            ok = sqlite3_step(*warning) == SQLITE_DONE;
        }
    }
    // A cache that cannot be written keeps its older copy; the list in memory is what counts.
    sqlite3_exec(db, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
}

bool PgBanStore::Connected(std::string& error, bool wait) {
    if (!m_conn || (!m_conn->Connecting() && !m_conn->Good())) {
        m_listening = false;
        m_conn = PgConnection::Start(m_conninfo, error, m_deadlineMs);
        m_connectLoads = 0;
        m_connectingSince = std::chrono::steady_clock::now();
        if (!m_conn) {
            m_away = true;
            error = "the shared database cannot be reached (" + error + ")";
            return false;
        }
    }
    if (m_conn->Connecting()) {
        const auto progress = wait ? m_conn->Finish(std::min(kWaitMs, m_deadlineMs)) : m_conn->Advance();
        if (progress == PgConnection::Progress::Connecting && !wait) {
            error = "the shared database has not answered yet";
            return false;
        }
        if (progress != PgConnection::Progress::Ready) {
            error =
                "the shared database cannot be reached (" +
                (progress == PgConnection::Progress::Failed ? m_conn->Error() : std::string("no answer")) +
                ")";
            m_conn.reset();
            m_away = true;
            return false;
        }
        // Set up once per run, should this server's history not have done it yet. (The lock in
        // Migrate keeps two programs from doing it together.)
        if (!m_cache.empty() && !m_migrated) {
            bool newer = false;
            if (!pgschema::Migrate(*m_conn, pgschema::kSchemaVersion, error, &newer)) {
                m_conn.reset();
                m_away = true;
                m_newer = newer ? error : std::string();
                return false;
            }
            m_migrated = true;
        }
    }
    m_away = false;
    m_newer.clear();
    return true;
}

bool PgBanStore::Begin(const char* begin, std::string& error, bool wait) {
    SettleRead();
    if (!Connected(error, wait)) return false;
    if (m_conn->Run(begin)) return true;
    // A database that hangs is not asked again now: it would cost another deadline.
    if (m_conn->TimedOut()) {
        error = m_conn->Error();
        m_conn.reset();
        m_listening = false;
        m_away = true;
        return false;
    }
    // A connection the database dropped (it restarted, or cut idle sessions) is only found out by
    // using it, and libpq may report the cut before it sees the socket close: a BEGIN refuses for
    // no other reason, and nothing of the change has reached the database yet, so it is tried once
    // on a new connection.
    m_conn.reset();
    if (!Connected(error, wait)) return false;
    if (m_conn->Run(begin)) return true;
    error = m_conn->Error();
    return false;
}

bool PgBanStore::Advance() {
    if (!m_conn || !m_conn->Connecting()) return false;
    std::string error;
    return Connected(error, false);
}

bool PgBanStore::Load(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings, std::string& error) {
    // A connection being made that stays silent over several re-reads is begun anew.
    if (m_conn && m_conn->Connecting() && ++m_connectLoads > kConnectLoads) {
        m_conn.reset();
        m_away = true;
    }
    // One snapshot for both lists. Re-reads never wait for a connection being made: meanwhile the
    // list comes from the cache.
    SettleRead();
    if (!Begin(kReadBegin, error, m_cache.empty())) {
        if (m_cache.empty() || (m_conn && !m_conn->Connecting() && m_conn->Good())) return false;  // a refusal
        return FromCache(bans, warnings, error);
    }
    m_offline = false;
    PgResult b = m_conn->Exec(kReadBans);
    PgResult w = m_conn->Exec(kReadWarnings);
    m_conn->ExecScript("COMMIT");
    if (!b.Ok() || !w.Ok()) {
        error = b.Ok() ? w.Error() : b.Error();
        if (!m_conn->Good() && !m_cache.empty()) return FromCache(bans, warnings, error);
        return false;
    }
    Parse(b, w, bans, warnings);
    SaveCache(bans, warnings, true);
    return true;
}

void PgBanStore::Parse(const PgResult& b, const PgResult& w, std::vector<BanEntry>& bans,
                       std::vector<PlayerWarning>& warnings) {
    auto text = [](const PgResult& r, int row, int column) { return Utf8ToWindows1252(r.Text(row, column)); };
    for (int i = 0; i < b.Rows(); ++i) {
        BanEntry e;
        e.Id = b.Int(i, 0);
        e.Name = b.Bytes(i, 1);
        e.ExactCase = b.Int(i, 2) != 0;
        e.Reason = text(b, i, 3);
        e.IssuedBy = text(b, i, 4);
        e.IssuedAt = b.Int(i, 5);
        e.ExpiresAt = b.Int(i, 6);
        e.Notes = text(b, i, 7);
        e.LiftedAt = b.Int(i, 8);
        e.LiftedBy = text(b, i, 9);
        e.LiftReason = text(b, i, 10);
        bans.push_back(std::move(e));
    }
    for (int i = 0; i < w.Rows(); ++i)
        warnings.push_back({w.Int(i, 0), w.Bytes(i, 1), w.Int(i, 2), text(w, i, 3), text(w, i, 4)});
}

PgBanStore::Reread PgBanStore::Step(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings,
                                     std::string& error) {
    auto fromCache = [&] {
        // A connection found dropped (the database restarted, or cut its sessions) is begun anew
        // at once, without waiting; one that hung is left until the next re-read.
        const bool dropped = m_conn && !m_conn->Connecting() && !m_conn->TimedOut() && !m_conn->Good();
        const Reread read = FromCache(bans, warnings, error) ? Reread::FromCache : Reread::Failed;
        std::string ignored;
        if (dropped) Connected(ignored, false);
        return read;
    };
    if (!Reading()) {
        // A connection being made that stays silent for a few deadlines is begun anew.
        if (m_conn && m_conn->Connecting() &&
            std::chrono::steady_clock::now() - m_connectingSince >
                kConnectLoads * std::chrono::milliseconds(m_deadlineMs)) {
            m_conn.reset();
            m_away = true;
        }
        if (!Connected(error, false)) {
            if (m_conn && m_conn->Connecting()) return Reread::Waiting;
            return fromCache();
        }
        // A new connection listens in the same round trip.
        std::string script = m_listening ? "" : std::string("LISTEN ") + pgschema::kBansChannel + ";";
        script += std::string(kReadBegin) + ";" + kReadBans + ";" + kReadWarnings + ";COMMIT";
        m_answers.clear();
        if (!m_conn->SendScript(script)) {
            error = m_conn->Error();
            return fromCache();
        }
        m_listenSent = !m_listening;
    }
    switch (m_conn->TakeAnswers(m_answers)) {
    case PgConnection::Answers::Waiting:
        return Reread::Waiting;
    case PgConnection::Answers::Failed:
        error = m_conn->Error();
        return fromCache();
    case PgConnection::Answers::Done:
        break;
    }
    std::vector<const PgResult*> lists;
    for (const PgResult& r : m_answers) {
        if (!r.Ok()) {
            error = r.Error();
            m_answers.clear();
            // The database ended the session (it restarted, or cut it): a new one at once.
            if (!m_conn->Good()) return fromCache();
            // A refusal leaves the snapshot's transaction open: the connection goes with it, and
            // the list is asked for again at the next re-read.
            m_conn.reset();
            m_listening = false;
            return m_cache.empty() ? Reread::Failed : fromCache();
        }
        if (r.Columns() > 0) lists.push_back(&r);
    }
    if (lists.size() != 2) {
        error = "the shared database answered the ban list's read oddly";
        m_answers.clear();
        m_conn.reset();
        m_listening = false;
        return Reread::Failed;
    }
    m_listening = m_listening || m_listenSent;
    m_offline = false;
    Parse(*lists[0], *lists[1], bans, warnings);
    m_answers.clear();
    SaveCache(bans, warnings, true);
    return Reread::Read;
}

void PgBanStore::SettleRead() {
    if (!Reading()) return;
    // What the read would have said is read again at the next re-read; the change comes first.
    while (m_conn->TakeAnswers(m_answers, m_deadlineMs) == PgConnection::Answers::Waiting) {
    }
    m_answers.clear();
    if (m_conn->Good()) m_listening = m_listening || m_listenSent;
}

bool PgBanStore::FromCache(std::vector<BanEntry>& bans, std::vector<PlayerWarning>& warnings,
                           std::string& error) {
    if (m_conn && !m_conn->Connecting()) {
        if (m_conn->TimedOut()) error = m_conn->Error();
        m_conn.reset();
        m_listening = false;
        m_away = true;
    }
    m_offline = true;
    return LoadCache(bans, warnings, error);
}

std::string PgBanStore::OfflineReason() const {
    if (m_newer.empty()) return "The shared database cannot be reached";
    std::string reason = m_newer;
    reason[0] = 'T';
    return reason;
}

bool PgBanStore::Save(std::vector<BanEntry*> entries, std::string& error) {
    if (!Begin("BEGIN", error, true)) return false;
    PgConnection& c = *m_conn;
    auto fail = [&] {
        error = c.Error();
        if (c.Good()) c.ExecScript("ROLLBACK");
        return false;
    };
    std::vector<int64_t> ids;
    for (BanEntry* e : entries) {
        std::vector<PgValue> values = {
            ToUtf8(e->Name),   ToUtf8(BanNameKey(e->Name)), PgBytes{e->Name},    int64_t{e->ExactCase},
            ToUtf8(e->Reason), ToUtf8(e->IssuedBy),         e->IssuedAt,         TimeOrNull(e->ExpiresAt),
            ToUtf8(e->Notes),  TimeOrNull(e->LiftedAt),     ToUtf8(e->LiftedBy), ToUtf8(e->LiftReason)};
        if (e->Id == 0) {
            PgResult r = c.Exec(
                "INSERT INTO bans(name, name_key, name_raw, exact_case, reason, issued_by, issued_at, "
                "expires_at,"
                " notes, lifted_at, lifted_by, lift_reason) VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12)"
                " RETURNING id",
                values);
            if (!r.Ok() || r.Rows() != 1) return fail();
            ids.push_back(r.Int(0, 0));
        } else {
            // Built in place: gcc 12 at -O2 takes a moved temporary's string for unset.
            values.emplace_back(e->Id);
            PgResult r = c.Exec(
                "UPDATE bans SET name=$1, name_key=$2, name_raw=$3, exact_case=$4, reason=$5, issued_by=$6,"
                " issued_at=$7, expires_at=$8, notes=$9, lifted_at=$10, lifted_by=$11, lift_reason=$12 WHERE "
                "id=$13",
                values);
            if (!r.Ok()) return fail();
            if (r.Changed() != 1) {
                c.ExecScript("ROLLBACK");
                error = "the ban is no longer in the shared list";
                return false;
            }
            ids.push_back(e->Id);
        }
    }
    if (!c.Run("COMMIT")) return fail();
    // Ids only once the whole change is kept.
    std::vector<BanEntry> written;
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i]->Id = ids[i];
        written.push_back(*entries[i]);
    }
    // Kept in the cache at once, should the database go away before the list is read again.
    SaveCache(written, {}, false);
    return true;
}

bool PgBanStore::AddWarning(PlayerWarning& warning, std::string& error) {
    if (!Begin("BEGIN", error, true)) return false;
    PgResult r = m_conn->Exec(
        "INSERT INTO warnings(name, name_key, name_raw, time, issued_by, text) VALUES ($1,$2,$3,$4,$5,$6) "
        "RETURNING id",
        {ToUtf8(warning.Name), ToUtf8(BanNameKey(warning.Name)), PgBytes{warning.Name}, warning.Time,
         ToUtf8(warning.IssuedBy), ToUtf8(warning.Text)});
    if (!r.Ok() || r.Rows() != 1 || !m_conn->Run("COMMIT")) {
        error = r.Ok() ? m_conn->Error() : r.Error();
        if (m_conn->Good()) m_conn->ExecScript("ROLLBACK");
        return false;
    }
    warning.Id = r.Int(0, 0);
    SaveCache({}, {warning}, false);
    return true;
}

bool PgBanStore::Listen() {
    if (Reading()) return m_listening || m_listenSent;
    std::string error;
    if (!Connected(error, false)) return false;
    if (!m_listening) m_listening = m_conn->Run(std::string("LISTEN ") + pgschema::kBansChannel);
    return m_listening;
}

int PgBanStore::Socket() const {
    return m_conn && (m_conn->Good() || m_conn->Connecting()) ? m_conn->Socket() : -1;
}

bool PgBanStore::TakeChanged() {
    // A read under way takes what arrives itself; what it did not see is read again after it.
    if (!m_conn || m_conn->Connecting() || Reading()) return false;
    std::vector<std::string> channels;
    if (!m_conn->TakeNotifications(channels)) {
        m_conn.reset();
        m_listening = false;
        return true;
    }
    return !channels.empty();
}

}  // namespace tovi
