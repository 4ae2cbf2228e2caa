#include "HistoryReads.h"

#include <algorithm>

#include "HistoryRowSql.h"
#include "Windows1252.h"

namespace tovi {

namespace {

// How a row of each kind reads, in Search and in the export alike: the columns (kind, time,
// player, text, detail, match, left at, seen) over the table, the row's key and the column of
// its time. Chat is read as `c`.
struct KindSql {
    const char* Columns;
    const char* Table;
    const char* Id;
    const char* Time;
};

KindSql RowsOf(HistoryKind kind, bool seen) {
    switch (kind) {
        case HistoryKind::Chat:
            return {seen ? rowsql::kChat : rowsql::kChatUnseen, "chat c", "c.id", "c.time"};
        case HistoryKind::Players:
            return {rowsql::kPlayers, "stints", "id", "joined"};
        case HistoryKind::Admin:
            return {rowsql::kAdmin, "admin_actions", "id", "time"};
        case HistoryKind::Matches:
            return {rowsql::kMatches, "matches", "id", "started"};
        case HistoryKind::Events:
            break;
    }
    return {rowsql::kEvents, "server_events", "id", "time"};
}

// Chat keeps the game's own bytes; other texts are UTF-8.
HistoryRow RowOf(const SqlRow& r, bool chat) {
    HistoryRow row{r.Text(0), r.Int(1), chat ? r.Bytes(2) : r.Text1252(2), chat ? r.Bytes(3) : r.Text1252(3),
                   r.Text1252(4), r.Int(5), std::nullopt};
    if (!r.IsNull(6)) row.LeftAt = r.Int(6);
    if (!r.IsNull(7)) row.SeenAt = r.Int(7);
    return rowsql::Worded(std::move(row));
}

Outcome OutcomeFromText(const std::string& text) {
    if (text == "refused") return Outcome::Refused;
    if (text == "skipped") return Outcome::Skipped;
    return Outcome::Sent;
}

// An admin action's fields from column `c` on: time, who, action, target, reason, detail, outcome, why.
AdminAction ActionOf(const SqlRow& r, int c) {
    return {r.Int(c),          r.Text1252(c + 1), ActionNamed(r.Text(c + 2)),      r.Text1252(c + 3),
            r.Text1252(c + 4), r.Text1252(c + 5), OutcomeFromText(r.Text(c + 6)), r.Text1252(c + 7)};
}

}  // namespace

std::string SqlRow::Text1252(int column) const {
    return Utf8ToWindows1252(Text(column));
}

void SqlWhere::Add(const std::string& condition, std::initializer_list<SqlValue> values) {
    Sql += (Sql.empty() ? "" : " AND ") + condition;
    Values.insert(Values.end(), values);
}

void HistoryReads::OfServer(SqlWhere& where, const std::string& code, const char* alias) {
    if (!code.empty()) where.Add(std::string(alias) + "server = ?", {code});
}

// The folded names in `column` of `table` that hold `part`: the index hands out each name once,
// one step per name, so that a table of a million rows costs as many steps as it has names.
bool HistoryReads::KeysHolding(const char* table, const char* column, const std::string& code,
                               const std::string& part, std::vector<std::string>& keys) {
    const std::string c = column, t = table, server = code.empty() ? "" : "server = ? AND ";
    SqlValues values;
    if (!code.empty()) values = {code, code};
    values.emplace_back(part);
    const std::string sql = "WITH RECURSIVE k(key) AS (SELECT (SELECT " + c + " FROM " + t + " WHERE " + server + c +
                            " IS NOT NULL ORDER BY " + c + " LIMIT 1) UNION ALL SELECT (SELECT " + c + " FROM " + t +
                            " WHERE " + server + c + " > k.key ORDER BY " + c +
                            " LIMIT 1) FROM k WHERE k.key IS NOT NULL) SELECT key FROM k WHERE key IS NOT NULL AND " +
                            Holds("key");
    if (Query(sql, values, [&](const SqlRow& r) { keys.push_back(r.Text(0)); })) return true;
    m_readError = m_queryError;
    return false;
}

// The keys of the rows of `table` within [from, to) as the time index finds them: the first row
// at `from` or later and the last before `to`. Rows are kept in the order they came, so the rows
// of the time window lie between the two. False when none does (or the read failed: m_readError).
bool HistoryReads::IdBounds(const char* table, const std::string& code, int64_t from, int64_t to, int64_t& lo,
                            int64_t& hi) {
    lo = 0;
    hi = INT64_MAX;
    auto one = [&](const char* bound, const char* order, int64_t time, int64_t& id) {
        SqlWhere where;
        OfServer(where, code);
        where.Add(std::string("time ") + bound + " ?", {time});
        bool found = false;
        const bool ok = Query(std::string("SELECT id FROM ") + table + where.Clause() + " ORDER BY " + order + " LIMIT 1",
                              where.Values, [&](const SqlRow& r) {
                                  id = r.Int(0);
                                  found = true;
                              });
        if (!ok) m_readError = m_queryError;
        return found;
    };
    if (from != 0 && !one(">=", "time, id", from, lo)) return false;
    if (to != 0 && !one("<", "time DESC, id DESC", to, hi)) return false;
    return lo <= hi;
}

std::vector<HistoryRow> HistoryReads::Search(const HistoryQuery& q) {
    std::vector<HistoryRow> rows;
    m_readError.clear();
    if (q.Limit <= 0) return rows;
    if (std::string why; !ReadyFor(Purpose::Read, why)) {
        m_readError = why;
        return rows;
    }
    const std::string code = ServerCode(q.Server);
    // Parts of names and texts, folded, as Windows-1252 bytes and as the UTF-8 of the folded names
    // that stints, chat and admin actions keep.
    const std::string text = LowerCase1252(q.Text), player = LowerCase1252(q.Player);
    const std::string textKey = Windows1252ToUtf8(text), playerKey = Windows1252ToUtf8(player);
    SqlWhere where;
    auto anyHolds = [&](std::initializer_list<const char*> columns, const std::string& folded = {}) {
        SqlValues values;
        const std::string condition = AnyHolds(columns, folded, text, values);
        where.Sql += (where.Sql.empty() ? "" : " AND ") + condition;
        where.Values.insert(where.Values.end(), values.begin(), values.end());
    };
    auto timeIn = [&](const char* column) {
        if (q.From != 0) where.Add(std::string(column) + " >= ?", {q.From});
        if (q.To != 0) where.Add(std::string(column) + " < ?", {q.To});
    };
    // A time window on a table indexed by time: the rows between its first and its last key are
    // read, newest first, and none before or after. False when the window holds none.
    int64_t lo = 0, hi = INT64_MAX;
    auto window = [&](const char* table, const char* id, const char* time) {
        if (Keyed() && (q.From != 0 || q.To != 0)) {
            if (!IdBounds(table, code, q.From, q.To, lo, hi)) return false;
            where.Add(std::string(id) + " BETWEEN ? AND ?", {lo, hi});
        }
        timeIn(time);
        return true;
    };
    // The folded names that hold the part of a name typed. Few of them: their rows are read
    // through the names' index; many: the rows are read newest first and each name is checked.
    // False when none does.
    constexpr size_t kFewNames = 64;
    std::vector<std::string> names;
    auto namesHolding = [&](const char* table, const char* column, const char* alias, const char* raw) {
        const std::string c = std::string(alias) + column;
        if (!Keyed()) {
            anyHolds({raw});
            return true;
        }
        if (!KeysHolding(table, column, code, playerKey, names) || names.empty()) return false;
        if (names.size() > kFewNames) {
            names.clear();
            where.Add(Holds(c), {playerKey});
            return true;
        }
        std::string in = c + " IN (";
        for (size_t i = 0; i < names.size(); ++i) {
            in += i ? ",?" : "?";
            where.Values.emplace_back(names[i]);
        }
        where.Sql += (where.Sql.empty() ? "" : " AND ") + in + ")";
        return true;
    };

    const KindSql k = RowsOf(q.Kind, m_schema >= kSeenSchema);
    const std::string select = std::string("SELECT ") + k.Columns;
    std::string sql;
    switch (q.Kind) {
        case HistoryKind::Chat: {
            OfServer(where, code, "c.");
            if (!window("chat", "c.id", "c.time")) return rows;
            if (!player.empty() && !namesHolding("chat", "player_key", "c.", "c.player")) return rows;  // he said nothing
            sql = ChatSql({q, where, names, !player.empty(), lo, hi, select});
            where.Values.push_back(int64_t{q.Limit});
            break;
        }
        case HistoryKind::Players:
            OfServer(where, code);
            timeIn("joined");
            if (!textKey.empty()) where.Add(Holds("name_key"), {textKey});
            if (!playerKey.empty()) where.Add(Holds("name_key"), {playerKey});
            break;
        case HistoryKind::Admin:
            OfServer(where, code);
            if (!window("admin_actions", "id", "time")) return rows;
            if (!text.empty()) anyHolds({"who", "action", "target", "reason", "detail", "outcome", "why"}, "folded");
            if (!player.empty() && !namesHolding("admin_actions", "target_key", "", "target")) return rows;
            sql = select + rowsql::kAdminFields + " FROM admin_actions" + where.Clause() + " ORDER BY id DESC LIMIT ?";
            break;
        case HistoryKind::Matches:
            OfServer(where, code);
            timeIn("started");
            if (!text.empty()) anyHolds({"server_name", "map_name", "map_file", "game_type", "result", "stats_refused"});
            if (!playerKey.empty()) {
                SqlWhere stint;
                stint.Add("s.match_id = matches.id");
                if (!code.empty()) stint.Add("s.server = matches.server");
                stint.Add(Holds("s.name_key"), {playerKey});
                where.Add("EXISTS (SELECT 1 FROM stints s" + stint.Clause() + ")");
                where.Values.insert(where.Values.end(), stint.Values.begin(), stint.Values.end());
            }
            break;
        case HistoryKind::Events:
            if (!q.Player.empty()) return rows;  // no event names a player
            OfServer(where, code);
            if (!window("server_events", "id", "time")) return rows;
            if (!q.EventKind.empty()) where.Add("kind = ?", {q.EventKind});
            // The folded kind, its separator, then the folded detail: of one kind, the detail alone.
            if (!text.empty() && q.EventKind.empty()) anyHolds({"kind", "detail"}, "folded");
            if (!text.empty() && !q.EventKind.empty())
                anyHolds({"detail"}, "substr(folded, char_length(kind) + 2)");
            break;
    }
    if (sql.empty()) sql = select + " FROM " + k.Table + where.Clause() + " ORDER BY id DESC LIMIT ?";
    if (q.Kind != HistoryKind::Chat) where.Values.push_back(int64_t{q.Limit});
    const bool ok = Query(sql, where.Values, [&](const SqlRow& r) {
        rows.push_back(RowOf(r, q.Kind == HistoryKind::Chat));
        if (q.Kind != HistoryKind::Admin) return;
        rows.back().Action = ActionOf(r, 8);
    });
    if (!ok) m_readError = m_queryError;
    return rows;
}

bool HistoryReads::ReadOldestFirst(HistoryKind kind, int64_t from, int64_t& after, int piece,
                                   std::vector<HistoryRow>& rows, std::string& error) {
    rows.clear();
    if (!ReadyFor(Purpose::Read, error)) return false;
    // By key, each piece a short read of its own: no statement or cursor stays open between
    // pieces. As Search: no bound, no condition on the time.
    const KindSql k = RowsOf(kind, m_schema >= kSeenSchema);
    SqlWhere where;
    OfServer(where, ServerCode({}), kind == HistoryKind::Chat ? "c." : "");
    where.Add(std::string(k.Id) + " > ?", {after});
    where.Add(std::string("(CAST(? AS BIGINT) = 0 OR ") + k.Time + " >= ?)", {from, from});
    where.Values.emplace_back(int64_t{std::max(piece, 0)});
    int64_t last = after;
    const bool ok = Query(std::string("SELECT ") + k.Columns + ", " + k.Id + " FROM " + k.Table + where.Clause() +
                              " ORDER BY " + k.Id + " LIMIT ?",
                          where.Values, [&](const SqlRow& r) {
                              rows.push_back(RowOf(r, kind == HistoryKind::Chat));
                              last = r.Int(8);
                          });
    if (!ok) {
        error = m_queryError;
        rows.clear();
        return false;
    }
    after = last;
    return true;
}

PlayerHistory HistoryReads::PlayerRecord(const std::string& name) {
    PlayerHistory record;
    m_readError.clear();
    if (std::string why; !ReadyFor(Purpose::Read, why)) {
        m_readError = why;
        return record;
    }
    const std::string code = ServerCode({});
    const std::string key = Windows1252ToUtf8(LowerCase1252(name));
    // The server's own rows (`alias` names the table whose server is meant), and then `tail`.
    auto each = [&](const std::string& head, const char* alias, const std::string& tail, SqlValues values,
                    const EachRow& row) {
        if (!m_readError.empty()) return;
        SqlWhere where;
        OfServer(where, code, alias);
        where.Values.insert(where.Values.end(), values.begin(), values.end());
        const std::string sql = head + (code.empty() ? " WHERE " : where.Clause() + " AND ") + tail;
        if (!Query(sql, where.Values, row)) m_readError = m_queryError;
    };
    each("SELECT name FROM stints", "", "name_key = ? GROUP BY name ORDER BY max(id) DESC", {key},
         [&](const SqlRow& r) { record.Names.push_back(r.Text1252(0)); });
    each(std::string("SELECT s.name, s.slot, s.team, s.joined, coalesce(s.left_at, 0), s.match_id, m.map_name FROM"
                     " stints s LEFT JOIN matches m ON m.id = s.match_id") +
             (code.empty() ? "" : " AND m.server = s.server"),
         "s.", "s.name_key = ? ORDER BY s.id DESC", {key}, [&](const SqlRow& r) {
             record.Stints.push_back({r.Text1252(0), static_cast<int>(r.Int(1)), static_cast<int>(r.Int(2)), r.Int(3),
                                      r.Int(4), r.Int(5), r.Text1252(6)});
         });
    each("SELECT id, started, coalesce(ended, 0), server_name, map_name, game_type, result FROM matches", "",
         std::string("id IN (SELECT match_id FROM stints WHERE ") + (code.empty() ? "" : "server = ? AND ") +
             "name_key = ?) ORDER BY id DESC",
         code.empty() ? SqlValues{key} : SqlValues{code, key}, [&](const SqlRow& r) {
             record.Matches.push_back({r.Int(0), r.Int(1), r.Int(2), r.Text1252(3), r.Text1252(4), r.Text1252(5),
                                       r.Text1252(6), 0, {}});
         });
    for (PlayerMatch& m : record.Matches) {
        each("SELECT team, stat, value FROM player_stats", "",
             std::string("match_id = ? AND tovi_fold(name) = ? ORDER BY ") + m_statsKey, {m.Match, key},
             [&](const SqlRow& r) {
                 m.Team = static_cast<int>(r.Int(0));
                 m.Stats.push_back({r.Text1252(1), r.Int(2)});
             });
    }
    each(std::string("SELECT ") + (rowsql::kAdminFields + 2) + " FROM admin_actions", "",
         Keyed() ? "target_key = ? ORDER BY id DESC" : "tovi_fold(target) = ? ORDER BY id DESC", {key},
         [&](const SqlRow& r) { record.Actions.push_back(ActionOf(r, 0)); });
    return record;
}

int HistoryReads::ForgetBefore(int64_t time, int maxRows) {
    std::string why;
    if (maxRows <= 0 || !ReadyFor(Purpose::Upkeep, why)) return 0;
    const std::string code = ServerCode({});
    int64_t budget = maxRows;
    int64_t gone = 0;
    // One bounded DELETE of the server's rows (`where` names its table's, with its own values
    // after the code); answers false when it failed.
    auto remove = [&](const std::string& head, const std::string& tail, SqlValues values, bool bounded = true) {
        if (budget <= 0) return true;
        SqlWhere where;
        OfServer(where, code);
        where.Values.insert(where.Values.end(), values.begin(), values.end());
        if (bounded) where.Values.emplace_back(budget);
        int64_t changed = 0;
        if (!Query(head + (code.empty() ? " WHERE " : where.Clause() + " AND ") + tail, where.Values, {}, &changed))
            return false;
        gone += changed;
        budget -= changed;
        return true;
    };
    // A match goes once it ended before the time (or, never ended, began before it), after its
    // stints and statistics. The match under way stays whatever its age, and so does the newest:
    // match numbers follow it, and the chat after its end still names it.
    std::vector<int64_t> oldMatches;
    SqlWhere matches;
    OfServer(matches, code);
    matches.Add("coalesce(ended, started) < ? AND id <> ?", {time, m_matchId});
    SqlWhere newest;
    OfServer(newest, code);
    matches.Add("id < (SELECT max(id) FROM matches" + newest.Clause() + ")");
    matches.Values.insert(matches.Values.end(), newest.Values.begin(), newest.Values.end());
    matches.Values.emplace_back(budget);
    bool ok = Query("SELECT id FROM matches" + matches.Clause() + " ORDER BY id LIMIT ?", matches.Values,
                    [&](const SqlRow& r) { oldMatches.push_back(r.Int(0)); });
    const std::string statsKey = m_statsKey;
    for (size_t i = 0; ok && i < oldMatches.size() && budget > 0; ++i) {
        const int64_t id = oldMatches[i];
        ok = remove("DELETE FROM player_stats WHERE " + statsKey + " IN (SELECT " + statsKey + " FROM player_stats",
                    "match_id = ? LIMIT ?)", {id}) &&
             remove("DELETE FROM stints WHERE id IN (SELECT id FROM stints", "match_id = ? LIMIT ?)", {id});
        // Rows of the match are left when the budget ran out: the match goes at the next call.
        if (ok && budget > 0) ok = remove("DELETE FROM matches", "id = ?", {id}, false);
    }
    // Stints seen outside any match.
    ok = ok && remove("DELETE FROM stints WHERE id IN (SELECT id FROM stints",
                      "match_id = 0 AND coalesce(left_at, joined) < ? LIMIT ?)", {time});
    // Only the oldest rows are looked at, so that a call costs its budget and not a scan of a
    // large table when nothing is old yet. Rows are kept in the order they came; should the
    // clock have gone back, a row stamped older than one before it goes once that one does.
    for (const char* table : {"chat", "admin_actions", "server_events"}) {
        if (!ok || budget <= 0) break;
        SqlWhere oldest;
        OfServer(oldest, code);
        oldest.Values.emplace_back(budget);
        oldest.Values.emplace_back(time);
        int64_t changed = 0;
        const std::string t = table;
        ok = Query("DELETE FROM " + t + " WHERE id IN (SELECT id FROM (SELECT id, time FROM " + t + oldest.Clause() +
                       " ORDER BY id LIMIT ?) o WHERE time < ?)",
                   oldest.Values, {}, &changed);
        gone += changed;
        budget -= changed;
    }
    if (!EndUpkeep(ok)) return 0;
    return static_cast<int>(gone);
}

HistorySize HistoryReads::Size() {
    HistorySize size;
    m_readError.clear();
    if (std::string why; !ReadyFor(Purpose::Read, why)) {
        m_readError = why;
        return size;
    }
    const std::string code = ServerCode({});
    std::string sql;
    SqlValues values;
    for (const char* table : {"matches", "stints", "chat", "admin_actions", "server_events"}) {
        SqlWhere where;
        OfServer(where, code);
        if (Keyed()) where.Add("name = ?", {std::string(table)});
        sql += (sql.empty() ? "SELECT " : ", ") +
               (Keyed() ? "coalesce((SELECT n FROM row_counts" + where.Clause() + "), 0)"
                        : "(SELECT count(*) FROM " + std::string(table) + where.Clause() + ")");
        values.insert(values.end(), where.Values.begin(), where.Values.end());
    }
    const bool ok = Query(sql, values, [&](const SqlRow& r) {
        size.Matches = r.Int(0);
        size.Stints = r.Int(1);
        size.Chat = r.Int(2);
        size.AdminActions = r.Int(3);
        size.Events = r.Int(4);
    });
    if (!ok) m_readError = m_queryError;
    size.Bytes = Bytes();
    return size;
}

PlayerActivity HistoryReads::Activity(int64_t from, const std::string& server) {
    PlayerActivity activity;
    if (std::string why; !ReadyFor(Purpose::Chart, why)) return activity;
    const std::string code = ServerCode(server), own = ServerCode({});
    // Matches are numbered in the order they began: the chart walks back from the newest to the
    // one under way at `from`, and the stints are found through their match's index.
    SqlWhere first;
    OfServer(first, code);
    first.Add("started <= ?", {from});
    int64_t firstId = 0;
    if (!Query("SELECT coalesce(max(id), 0) FROM matches" + first.Clause(), first.Values,
               [&](const SqlRow& r) { firstId = r.Int(0); }))
        return activity;
    SqlWhere later;
    OfServer(later, code);
    later.Add("id >= ?", {firstId});
    Query("SELECT id, started, coalesce(ended, 0) FROM matches" + later.Clause() + " ORDER BY id", later.Values,
          [&](const SqlRow& r) { activity.Matches.push_back({r.Int(0), r.Int(1), r.Int(2), false}); });
    // This server's match under way is known; another's, as far as its rows tell, is its newest
    // while it has no end yet.
    for (size_t i = 0; i < activity.Matches.size(); ++i) {
        ActivityMatch& m = activity.Matches[i];
        m.UnderWay = code == own ? m.Id == m_matchId && m_matchUnderWay && m.Ended == 0
                                 : i + 1 == activity.Matches.size() && m.Ended == 0;
    }
    SqlWhere stints;
    OfServer(stints, code);
    stints.Add("match_id >= ? AND (left_at IS NULL OR left_at > ?)", {firstId, from});
    Query("SELECT match_id, joined, coalesce(left_at, 0) FROM stints" + stints.Clause(), stints.Values,
          [&](const SqlRow& r) { activity.Stints.push_back({r.Int(0), r.Int(1), r.Int(2)}); });
    return activity;
}

std::string HistoryReads::ServerName(const std::string& server) {
    const std::string code = ServerCode(server);
    std::string name, why;
    if (code.empty() || !ReadyFor(Purpose::Read, why)) return name;
    Query("SELECT server_name FROM matches WHERE server = ? ORDER BY id DESC LIMIT 1", {code},
          [&](const SqlRow& r) { name = r.Text1252(0); });
    return name;
}

std::vector<std::string> HistoryReads::Servers() {
    std::vector<std::string> codes;
    std::string why;
    if (ServerCode({}).empty() || !ReadyFor(Purpose::Read, why)) return codes;
    Query("SELECT code FROM servers ORDER BY code", {}, [&](const SqlRow& r) { codes.push_back(r.Text(0)); });
    return codes;
}

}  // namespace tovi
