#include "PgSchema.h"

#include <algorithm>
#include <iterator>

#include "PgConnection.h"

namespace tovi::pgschema {

namespace {

// Each entry brings the schema from the version before it to its own; entry i makes version i+1.
// An entry is never changed once released: a new version adds an entry. The numbers mean what
// they mean in the embedded file.
const char* const kMigrations[] = {
    // 1: the record. tovi_fold makes letters small as the program does for Windows-1252 texts,
    // whatever the database's locale. A chat line keeps its words, folded, between blanks, for
    // the word search.
    "CREATE FUNCTION tovi_fold(t text) RETURNS text LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE AS"
    " $f$ SELECT translate(t, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ\u0160\u0152\u017D\u0178\u00C0\u00C1\u00C2\u00C3"
    "\u00C4\u00C5\u00C6\u00C7\u00C8\u00C9\u00CA\u00CB\u00CC\u00CD\u00CE\u00CF\u00D0\u00D1\u00D2\u00D3\u00D4"
    "\u00D5\u00D6\u00D8\u00D9\u00DA\u00DB\u00DC\u00DD\u00DE', 'abcdefghijklmnopqrstuvwxyz\u0161\u0153\u017E"
    "\u00FF\u00E0\u00E1\u00E2\u00E3\u00E4\u00E5\u00E6\u00E7\u00E8\u00E9\u00EA\u00EB\u00EC\u00ED\u00EE\u00EF"
    "\u00F0\u00F1\u00F2\u00F3\u00F4\u00F5\u00F6\u00F8\u00F9\u00FA\u00FB\u00FC\u00FD\u00FE') $f$;"
    "CREATE TABLE matches(server text NOT NULL, id bigint NOT NULL, started bigint, ended bigint,"
    " server_name text, map_name text, map_file text, game_type text, result text, players_at_end integer,"
    " stats_written integer, stats_refused text, upload_time bigint, upload_outcome text,"
    " PRIMARY KEY(server, id));"
    "CREATE TABLE stints(id bigserial PRIMARY KEY, server text NOT NULL, match_id bigint, name text,"
    " name_key text, slot integer, team integer, joined bigint, left_at bigint);"
    "CREATE INDEX stints_name ON stints(name_key);"
    "CREATE INDEX stints_match ON stints(server, match_id, name);"
    "CREATE TABLE player_stats(id bigserial PRIMARY KEY, server text NOT NULL, match_id bigint, name text,"
    " team integer, stat text, value bigint);"
    "CREATE INDEX player_stats_match ON player_stats(server, match_id);"
    "CREATE TABLE chat(id bigserial PRIMARY KEY, server text NOT NULL, time bigint, match_id bigint,"
    " sent integer, player text, message text, player_raw bytea, message_raw bytea, words text);"
    "CREATE TABLE admin_actions(id bigserial PRIMARY KEY, server text NOT NULL, time bigint, who text,"
    " action text, target text, reason text, detail text, outcome text, why text);"
    "CREATE TABLE server_events(id bigserial PRIMARY KEY, server text NOT NULL, time bigint, kind text,"
    " detail text);",
    // 2: each server's rows, newest first, without reading the others'.
    "CREATE INDEX chat_server ON chat(server, id);"
    "CREATE INDEX admin_actions_server ON admin_actions(server, id);"
    "CREATE INDEX server_events_server ON server_events(server, id);",
    // 3: the keys of the batches written: a batch sent again after an answer that never came is
    // recognised and not written twice.
    "CREATE TABLE store_batches(server text NOT NULL, instance bigint NOT NULL, batch bigint NOT NULL,"
    " PRIMARY KEY(server, instance, batch));",
    // 4: the community's ban list and warnings. Every change is announced, so that each server
    // enforces it at once.
    "CREATE TABLE bans(id bigserial PRIMARY KEY, name text NOT NULL, name_key text NOT NULL, name_raw bytea,"
    " exact_case integer NOT NULL DEFAULT 0, reason text, issued_by text, issued_at bigint, expires_at "
    "bigint,"
    " notes text, lifted_at bigint, lifted_by text, lift_reason text);"
    "CREATE INDEX bans_name ON bans(name_key);"
    "CREATE TABLE warnings(id bigserial PRIMARY KEY, name text NOT NULL, name_key text NOT NULL, name_raw "
    "bytea,"
    " time bigint, issued_by text, text text);"
    "CREATE INDEX warnings_name ON warnings(name_key, time);"
    "CREATE FUNCTION tovi_bans_changed() RETURNS trigger LANGUAGE plpgsql AS"
    " $f$ BEGIN PERFORM pg_notify('tovi_bans', TG_TABLE_NAME); RETURN NULL; END $f$;"
    "CREATE TRIGGER bans_changed AFTER INSERT OR UPDATE OR DELETE ON bans"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_bans_changed();"
    "CREATE TRIGGER warnings_changed AFTER INSERT OR UPDATE OR DELETE ON warnings"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_bans_changed();",
    // 5: the servers of the community that keep their record here (notices stay in each
    // server's own file).
    "CREATE TABLE servers(code text PRIMARY KEY);",
    // 6: the web panel's accounts and their API tokens, both only as hashes.
    "CREATE TABLE accounts(id bigserial PRIMARY KEY, name text NOT NULL, name_key text NOT NULL UNIQUE,"
    " role text NOT NULL, password_hash text NOT NULL, created bigint NOT NULL, last_login bigint);"
    "CREATE TABLE account_tokens(id bigserial PRIMARY KEY, account_id bigint NOT NULL REFERENCES accounts(id)"
    " ON DELETE CASCADE, token_hash bytea NOT NULL UNIQUE, created bigint NOT NULL);",
    // 7: chat words are kept without their accents, as the search looks for them.
    "UPDATE chat SET words = translate(words, 'àáâãäåçèéêëìíîïñòóôõöùúûüýÿšž', 'aaaaaaceeeeiiiinooooouuuuyysz')"
    " WHERE words ~ '[àáâãäåçèéêëìíîïñòóôõöùúûüýÿšž]';",
    // 8: a panel session holds its account to the stamp it logged in under.
    "ALTER TABLE accounts ADD COLUMN credential_version bigint NOT NULL DEFAULT 1;",
    // 9: batch keys get the time they were written, so that old ones can go. A run's keys that
    // went are summed up in their newest, which stands for all of them: a run's batches are
    // written in the order of their keys, so a batch that waited longer than its key was kept is
    // still known for written. Rows from before this version count from the upgrade.
    "ALTER TABLE store_batches ADD COLUMN at timestamptz NOT NULL DEFAULT now();"
    "CREATE INDEX store_batches_at ON store_batches(at);"
    "CREATE TABLE store_batch_marks(server text NOT NULL, instance bigint NOT NULL, upto bigint NOT NULL,"
    " PRIMARY KEY(server, instance));",
    // 10: one live copy of the program per server code. A copy (its data folder) claims its code's
    // lease in each batch it writes; another copy's lease is taken over only once its heartbeat
    // is stale. Matches carry the copy that recorded them, so that an upload marks its own.
    "CREATE TABLE server_leases(server text PRIMARY KEY, copy bigint NOT NULL, host text NOT NULL,"
    " pid bigint NOT NULL, heartbeat timestamptz NOT NULL);"
    "ALTER TABLE matches ADD COLUMN copy bigint;"
    "CREATE FUNCTION tovi_claim(s text, c bigint, h text, p bigint, stale_s integer) RETURNS void"
    " LANGUAGE plpgsql AS $f$ DECLARE held server_leases%ROWTYPE; BEGIN"
    " INSERT INTO server_leases VALUES (s, c, h, p, now()) ON CONFLICT (server) DO UPDATE SET"
    " copy = EXCLUDED.copy, host = EXCLUDED.host, pid = EXCLUDED.pid, heartbeat = EXCLUDED.heartbeat"
    " WHERE server_leases.copy = EXCLUDED.copy OR server_leases.heartbeat < now() - make_interval(secs => stale_s);"
    " IF NOT FOUND THEN SELECT * INTO held FROM server_leases WHERE server = s;"
    " RAISE EXCEPTION USING ERRCODE = 'TV001', MESSAGE = format('%s %s', held.pid, held.host); END IF;"
    " END $f$;",
    // 11: searches by player and by time read only the rows they find. A chat line's sender and an
    // admin action's target are kept folded (the database folds them, rows kept before too); chat,
    // admin actions and events are indexed by their time. The texts an admin action or an event is
    // searched by are kept folded too, joined by a byte no typed text holds, so that a search folds
    // nothing. Each server's rows are counted as they come and go, once per statement, so that the
    // record's size is known without counting them.
    "ALTER TABLE chat ADD COLUMN player_key text GENERATED ALWAYS AS (tovi_fold(player)) STORED;"
    "ALTER TABLE admin_actions ADD COLUMN target_key text GENERATED ALWAYS AS (tovi_fold(target)) STORED,"
    " ADD COLUMN folded text GENERATED ALWAYS AS (tovi_fold(coalesce(who, '') || chr(1) || coalesce(action, '')"
    " || chr(1) || coalesce(target, '') || chr(1) || coalesce(reason, '') || chr(1) || coalesce(detail, '')"
    " || chr(1) || coalesce(outcome, '') || chr(1) || coalesce(why, ''))) STORED;"
    "ALTER TABLE server_events ADD COLUMN folded text GENERATED ALWAYS AS"
    " (tovi_fold(coalesce(kind, '') || chr(1) || coalesce(detail, ''))) STORED;"
    "CREATE INDEX chat_player ON chat(server, player_key, id);"
    "CREATE INDEX chat_time ON chat(server, time, id);"
    "CREATE INDEX admin_actions_target ON admin_actions(server, target_key, id);"
    "CREATE INDEX admin_actions_time ON admin_actions(server, time, id);"
    "CREATE INDEX server_events_time ON server_events(server, time, id);"
    "CREATE TABLE row_counts(server text NOT NULL, name text NOT NULL, n bigint NOT NULL,"
    " PRIMARY KEY(server, name));"
    "INSERT INTO row_counts SELECT server, 'matches', count(*) FROM matches GROUP BY server"
    " UNION ALL SELECT server, 'stints', count(*) FROM stints GROUP BY server"
    " UNION ALL SELECT server, 'chat', count(*) FROM chat GROUP BY server"
    " UNION ALL SELECT server, 'admin_actions', count(*) FROM admin_actions GROUP BY server"
    " UNION ALL SELECT server, 'server_events', count(*) FROM server_events GROUP BY server;"
    "CREATE FUNCTION tovi_count_rows() RETURNS trigger LANGUAGE plpgsql AS $f$ BEGIN"
    " IF TG_OP = 'INSERT' THEN"
    " INSERT INTO row_counts SELECT server, TG_TABLE_NAME, count(*) FROM new_rows GROUP BY server"
    " ON CONFLICT (server, name) DO UPDATE SET n = row_counts.n + EXCLUDED.n;"
    " ELSE"
    " INSERT INTO row_counts SELECT server, TG_TABLE_NAME, -count(*) FROM old_rows GROUP BY server"
    " ON CONFLICT (server, name) DO UPDATE SET n = row_counts.n + EXCLUDED.n;"
    " END IF; RETURN NULL; END $f$;"
    "CREATE TRIGGER matches_counted AFTER INSERT ON matches REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER matches_uncounted AFTER DELETE ON matches REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER stints_counted AFTER INSERT ON stints REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER stints_uncounted AFTER DELETE ON stints REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER chat_counted AFTER INSERT ON chat REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER chat_uncounted AFTER DELETE ON chat REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER admin_actions_counted AFTER INSERT ON admin_actions REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER admin_actions_uncounted AFTER DELETE ON admin_actions REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER server_events_counted AFTER INSERT ON server_events REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();"
    "CREATE TRIGGER server_events_uncounted AFTER DELETE ON server_events REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION tovi_count_rows();",
    // 12: chat words are indexed for the text search (kChatWords), so that a rare word is found
    // without reading the lines newest first until enough hold it; a line the program sent keeps
    // when the game was seen showing it.
    "CREATE INDEX chat_words ON chat USING gin (array_to_tsvector(string_to_array(btrim(words), ' ')));"
    "ALTER TABLE chat ADD COLUMN read_back_at bigint;",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

// Any number will do, as long as no other program on the database takes the same lock.
constexpr int64_t kMigrationLock = 0x746f7669;  // "tovi"
constexpr int kMigrationDeadlineMs = 10 * 60 * 1000;

}  // namespace

int Version(PgConnection& conn, std::string& error) {
    PgResult exists = conn.Exec("SELECT to_regclass('tovi_schema') IS NOT NULL");
    if (!exists.Ok()) {
        error = exists.Error();
        return -1;
    }
    if (exists.Text(0, 0) != "t") return 0;
    PgResult version = conn.Exec("SELECT coalesce(max(version), 0) FROM tovi_schema");
    if (!version.Ok()) {
        error = version.Error();
        return -1;
    }
    return static_cast<int>(version.Int(0, 0));
}

std::string NewerText(int version) {
    return "the shared database was written by a newer version of Tovi stats (schema " + std::to_string(version) +
           "); this version knows up to " + std::to_string(kSchemaVersion);
}

bool Known(PgConnection& conn, std::string& error) {
    const int version = Version(conn, error);
    if (version < 0) return false;
    if (version <= kSchemaVersion) return true;
    error = NewerText(version);
    return false;
}

bool Migrate(PgConnection& conn, int version, std::string& error, bool* newer) {
    if (newer) *newer = false;
    auto fail = [&](const std::string& why) {
        error = why;
        conn.ExecScript("ROLLBACK");
        return false;
    };
    if (!conn.Run("BEGIN") || !conn.Run("SELECT pg_advisory_xact_lock($1)", {kMigrationLock}))
        return fail(conn.Error());
    if (!conn.Run("CREATE TABLE IF NOT EXISTS tovi_schema(version integer NOT NULL)"))
        return fail(conn.Error());
    const int current = Version(conn, error);
    if (current < 0) return fail(error);
    if (current > kSchemaVersion) {
        if (newer) *newer = true;
        return fail(NewerText(current));
    }
    // A schema change may take long on a large record: the server's limit is lifted for it, and
    // the deadline with it, for this transaction only.
    const int deadline = conn.DeadlineMs();
    struct Restore {
        PgConnection& c;
        int ms;
        ~Restore() { c.SetDeadlineMs(ms); }
    } restore{conn, deadline};
    if (version > current) {
        if (!conn.Run("SET LOCAL statement_timeout = 0")) return fail(conn.Error());
        conn.SetDeadlineMs(std::max(deadline, kMigrationDeadlineMs));
    }
    for (int v = current; v < version; ++v) {
        PgResult done = conn.ExecScript(kMigrations[v]);
        if (!done.Ok())
            return fail("it could not be brought to schema " + std::to_string(v + 1) + " (" + done.Error() +
                        ")");
    }
    if (version > current && (!conn.Run("DELETE FROM tovi_schema") ||
                              !conn.Run("INSERT INTO tovi_schema(version) VALUES ($1)", {int64_t{version}})))
        return fail(conn.Error());
    if (!conn.Run("COMMIT")) return fail(conn.Error());
    return true;
}

}  // namespace tovi::pgschema
