// The stats service's reader and store against what the program itself sends: its own stats
// writer, upload queue and status report, and then against damaged, hostile and repeated input.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <tuple>

#include "PlayerClass.h"
#include "ReportFakes.h"
#include "RequestPace.h"
#include "StatsProtocol.h"
#include "StatsServiceStore.h"
#include "TextEncodings.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class StatsServiceStoreTest : public ReportTest {
protected:
    StatsServiceStoreTest() {
        auto opened = StatsServiceStore::Open((dir / "service.db").string(), TestDigest);
        EXPECT_TRUE(opened.Store) << opened.Error;
        store = std::move(opened.Store);
        std::string error;
        EXPECT_TRUE(store->AddServer("QX1", 1000, error)) << error;
    }
    // The program's upload of what stats.stats holds now: its body and its upload id.
    std::pair<std::string, std::string> ProgramUpload() {
        reporter.UploadStats();
        const HttpRequest request = http.Last();
        http.Answer("ok");  // confirmed: the next upload starts from an empty queue
        return {request.body, request.headers.at(0).second};
    }
    UploadResult Store(const std::string& body, const std::string& id = {}, int64_t received = 2000) {
        std::string error;
        const auto blocks = ParseUpload(body, error);
        EXPECT_TRUE(blocks) << error;
        return blocks ? store->StoreUpload(*blocks, id, received) : UploadResult{};
    }
    size_t Matches() { return store->RecentMatches(1000).size(); }

    std::unique_ptr<StatsServiceStore> store;
};

}  // namespace

TEST_F(StatsServiceStoreTest, StoresExactlyWhatTheProgramWroteAndReported) {
    players.Replace({.P_Name = "Bob Smith",
                     .P_Team = 1,
                     .P_Kills = 3,
                     .P_Deaths = 2,
                     .P_ExpPoints = 150,
                     .P_TimePlayed = 600,
                     .B_Kills = 4});
    players.Replace({.P_Name = "<script>Zo\xEB</script>", .P_Team = 2, .P_Murders = 1, .P_Targets = 2});
    players.Replace({.P_Name = "Al&end", .P_Team = 2, .P_Suicides = -3});  // written "Al end&end& "
    players.Replace({.P_Name = "Max", .P_Team = 1, .P_ExpPoints = 2147483647, .B_ExpPoints = 2147483647});
    status.MapName = "Caf\xE9 |**QX**| <b>";
    ASSERT_TRUE(Writer().WriteStats(false, 7, -5));
    players.Clear();
    players.Replace({.P_Name = "bob smith", .P_Team = 2, .P_Kills = 1, .P_Assists = 2});
    ASSERT_TRUE(Writer().WriteStats(false, std::nullopt, 1805));
    const std::string written = StatsOnDisk();
    const auto [body, id] = ProgramUpload();

    std::string error;
    const auto blocks = ParseUpload(body, error);
    ASSERT_TRUE(blocks) << error;
    ASSERT_EQ(blocks->size(), 2u);
    EXPECT_EQ((*blocks)[0].Bytes + (*blocks)[1].Bytes, written);
    const UploadResult result = store->StoreUpload(*blocks, id, 2000);
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Stored, 2);

    const auto recent = store->RecentMatches(10);
    const auto first = store->Match(recent.back().Id);
    ASSERT_TRUE(first);
    const MatchBlock& b = first->first.Block;
    EXPECT_EQ(first->first.ServerId, 1);
    EXPECT_TRUE(b.ServerCode.empty());
    EXPECT_EQ(b.MapName, "Caf\xE9  **QX**| <b>");
    EXPECT_EQ(b.GameType, "TDM");
    EXPECT_EQ(b.Result, 7);
    EXPECT_EQ(b.Written, "2004-06-12 21:05:09");
    EXPECT_EQ(b.Ticks, -5);
    EXPECT_FALSE(store->Match(recent.front().Id)->first.Block.Result);
    const std::vector<PlayerLine>& lines = first->second;
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].Name, "Bob Smith");
    EXPECT_EQ(lines[0].Totals[StatIndex("Kills")], 7);
    EXPECT_EQ(lines[1].Name, "<script>Zo\xEB</script>");
    EXPECT_EQ(lines[1].Team, 2);
    EXPECT_EQ(lines[2].Name, "Al end");
    EXPECT_EQ(lines[2].Totals[StatIndex("Suicides")], -3);
    EXPECT_EQ(lines[3].Totals[StatIndex("ExpPoints")], int64_t{2147483647} * 2);

    // One player in any spelling of the letters: totals over both matches, both names seen.
    const auto bob = store->Player("bob smith", 10);
    ASSERT_TRUE(bob);
    EXPECT_EQ(bob->Totals.Matches, 2);
    EXPECT_EQ(bob->Totals.Totals[StatIndex("Kills")], 8);
    EXPECT_EQ(bob->Totals.Score, 2 * 8 + 2);
    EXPECT_EQ(bob->Names.size(), 2u);
    const auto board = store->Leaderboard({}).Rows;
    ASSERT_FALSE(board.empty());
    EXPECT_EQ(board.front().Key, "bob smith");
    EXPECT_EQ(board.front().Score, 18);
    EXPECT_TRUE(store->Leaderboard({.FromDay = 1}).Rows.empty());  // a period after the upload

    // The status report the program sends, byte for byte back.
    status.State = 3;
    status.Dedicated = true;
    status.MaxPlayers = 32;
    status.ServerName = "Caf\xE9 &=+/ Server";
    status.ServerMessage = "\xFB\xFF";
    status.CountryCode = "DE";
    status.PlayerCount = 2;
    status.PlayerNames = "Bob\r\n<i>\xC9";
    status.PlayerTeams = "1\r\n2";
    reporter.SendStatusReport();
    const auto report = ParseStatusReport(http.Last().body, error);
    ASSERT_TRUE(report) << error;
    ASSERT_TRUE(store->StoreStatus(*report, 2100, error)) << error;
    const ServerNow server = store->ServersNow().at(0);
    EXPECT_EQ(server.Received, 2100);
    EXPECT_EQ(server.Id, 1);
    EXPECT_TRUE(server.Report.ServerCode.empty());
    EXPECT_EQ(store->RecentMatches(1).at(0).ServerName, status.ServerName);
    EXPECT_EQ(server.Report.ServerName, status.ServerName);
    EXPECT_EQ(server.Report.MapName, status.MapName);
    EXPECT_EQ(server.Report.ServerMessage, status.ServerMessage);
    EXPECT_EQ(server.Report.GameType, "TDM");
    EXPECT_EQ(server.Report.State, 3);
    EXPECT_TRUE(server.Report.Dedicated);
    ASSERT_EQ(server.Report.Players.size(), 2u);
    EXPECT_EQ(server.Report.Players[1].Name, "<i>\xC9");
    EXPECT_EQ(server.Report.Players[1].Team, "2");
    // A server with nobody on it sends empty lists.
    status.PlayerCount = 0;
    status.PlayerNames.clear();
    status.PlayerTeams.clear();
    http.Answer("ok");
    reporter.SendStatusReport();
    ASSERT_TRUE(ParseStatusReport(http.Last().body, error)) << error;
    EXPECT_TRUE(ParseStatusReport(http.Last().body, error)->Players.empty());
}

TEST_F(StatsServiceStoreTest, RefusesDamagedAndHostileInputWholeAndCountsRepeatsOnce) {
    players.Replace({.P_Name = "Bob", .P_Team = 1, .P_Kills = 3});
    ASSERT_TRUE(Writer().WriteStats(false, 1, 10));
    ASSERT_TRUE(Writer().WriteStats(false, 2, 20));
    const std::string two = StatsOnDisk();
    const std::string firstBlock = two.substr(0, two.find("ServerInfo", 1));
    std::string error;

    // Cut anywhere but at a block's end: refused, whatever came before it.
    for (size_t cut : {two.size() - 1, two.size() - 2, two.size() - 30, firstBlock.size() + 5, size_t{3}})
        EXPECT_FALSE(ParseUpload(UploadBody(two.substr(0, cut)), error)) << cut;
    EXPECT_EQ(ParseUpload(UploadBody(firstBlock), error)->size(), 1u);
    EXPECT_EQ(ParseUpload("data=", error)->size(), 0u);  // an empty stats file

    const std::string server =
        "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09|**QX**|10\r\n";
    const std::string zeros = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n";
    const std::string hostile[] = {
        "  PlayerStats Bob&end& 1" + zeros,                     // no server line first
        server + "  PlayerStats Bob&end& 1" + zeros.substr(2),  // 22 totals
        server + "  PlayerStats Bob&end& 1 0" + zeros,          // 24 totals
        server + "  PlayerStats Bob 1" + zeros,                 // no "&end& "
        server + "  PlayerStats &end& 1" + zeros,               // no name
        server + "  PlayerStats Bob&end& 1" + zeros.substr(0, 4) + "x" + zeros.substr(5),
        server + "  PlayerStats Bob&end& 1 99999999999999999999" + zeros.substr(2),
        server + "  PlayerStats " + std::string(300, 'A') + "&end& 1" + zeros,
        server + "  PlayerStats Bob&end&  1" + zeros,  // two blanks
        server + "  PlayerStats Bob&end& 1" + zeros.substr(0, zeros.size() - 2) + "\n",
        server + "  Player\rStats Bob&end& 1" + zeros,
        "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09\r\n",  // five fields
        "ServerInfo QX1|**QX**|Map|**QX**|XYZ|**QX**|1|**QX**|2004-06-12 21:05:09|**QX**|10\r\n",
        "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|256|**QX**|2004-06-12 21:05:09|**QX**|10\r\n",
        "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-13-12 21:05:09|**QX**|10\r\n",
        "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09|**QX**|+10\r\n",
        server + "garbage\r\n",
        server + "\r\n",
    };
    for (const std::string& stats : hostile) EXPECT_FALSE(ParseUpload(UploadBody(stats), error)) << stats;
    EXPECT_FALSE(ParseUpload("data=" + std::string(kMaxUploadBodyBytes, 'A'), error));
    // A name holding the tags: the last "&end& " closes it, as an older copy of the program wrote it.
    const auto tagged = ParseUpload(UploadBody(server + "  PlayerStats A&end& B|**QX**|&end& 2" + zeros), error);
    ASSERT_TRUE(tagged) << error;
    EXPECT_EQ(tagged->at(0).Players.at(0).Name, "A&end& B|**QX**|");

    // Base64 and the form around it.
    const std::string good = Base64Encode(firstBlock);
    for (const std::string& body :
         std::vector<std::string>{"data=" + good.substr(1), "data=" + good + "A",
                                  "data=" + good + "====", "data=" + good.substr(0, 8) + "!" + good.substr(9),
                                  "data=" + good + "&data=" + good, "data=" + good + "&x=1", "dat=" + good,
                                  std::string(""), std::string("data=YQ=x"),
                                  std::string("data=YR=="),  // pad bits not zero
                                  "data=%2" + good})
        EXPECT_FALSE(ParseUpload(body, error)) << body;
    EXPECT_TRUE(ParseUpload("data=" + good, error)) << "unencoded Base64, as older copies send it: " << error;

    // Status reports.
    const std::string report =
        "servercode=QX1&status=3&dedicated=True&gametype=TDM&maxplayers=16&servername=" + Base64Encode("S") +
        "&map=&countrycode=DE&expansion=&servermsg=&players=1&playernames=" + Base64Encode("Bob") +
        "&playerteams=" + Base64Encode("1");
    ASSERT_TRUE(ParseStatusReport(report, error)) << error;
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"status=3", "status=5"},
             {"dedicated=True", "dedicated=yes"},
             {"gametype=TDM", "gametype=XX"},
             {"maxplayers=16", "maxplayers=-1"},
             {"&countrycode=DE", ""},
             {"servername=Uw==", "servername=U"},
             {"playerteams=MQ==", "playerteams=" + Base64Encode("1\r\n2")},
             {"servercode=QX1", "servercode=QX1&servercode=A"},
             {"servercode=QX1", "servercode=QX1&bare"}})
        EXPECT_FALSE(
            ParseStatusReport(std::string(report).replace(report.find(from), from.size(), to), error))
            << to;
    EXPECT_FALSE(ParseStatusReport(report + "&x=" + std::string(kMaxStatusBodyBytes, 'a'), error));

    // Unknown server codes: refused, the whole upload with them.
    StatusReport stranger = *ParseStatusReport(report, error);
    stranger.ServerCode = "QX2";
    EXPECT_FALSE(store->StoreStatus(stranger, 2000, error));
    std::string mixed = firstBlock + server;
    mixed.replace(mixed.rfind("QX1"), 3, "QX2");
    const UploadResult refused = Store(UploadBody(mixed));
    EXPECT_FALSE(refused.Ok);
    EXPECT_EQ(Matches(), 0u);
    EXPECT_TRUE(store->ServersNow().at(0).Received == 0);

    // Repeats: by upload id, and without one by server, time and content.
    EXPECT_EQ(Store(UploadBody(firstBlock), "id-1").Stored, 1);
    const UploadResult again = Store(UploadBody(firstBlock), "id-1");
    EXPECT_TRUE(again.Ok && again.RepeatedId);
    // The id with other content is refused, never confirmed; nothing of it is stored.
    const UploadResult changed = Store(UploadBody(two), "id-1");
    EXPECT_TRUE(!changed.Ok && changed.ConflictingId && !changed.RepeatedId);
    EXPECT_EQ(Matches(), 1u);
    const UploadResult overlap = Store(UploadBody(two));
    EXPECT_EQ(overlap.Stored, 1);
    EXPECT_EQ(overlap.Repeats, 1);
    EXPECT_EQ(Store(UploadBody(two)).Stored, 0);
    EXPECT_EQ(Matches(), 2u);
    EXPECT_EQ(store->Player("bob", 10)->Totals.Totals[StatIndex("Kills")], 6);

    // An id is the server's own: another server may use it, and a stranger sending it with a
    // stored id learns nothing, nor does an upload without a match take one.
    ASSERT_TRUE(store->AddServer("QX2", 1000, error)) << error;
    std::string second = firstBlock;
    second.replace(second.find("QX1"), 3, "QX2");
    EXPECT_EQ(Store(UploadBody(second), "id-1").Stored, 1);
    std::string stranger2 = firstBlock;
    stranger2.replace(stranger2.find("QX1"), 3, "QX9");
    const UploadResult unknown = Store(UploadBody(stranger2), "id-1");
    EXPECT_TRUE(!unknown.Ok && !unknown.RepeatedId && !unknown.ConflictingId);
    EXPECT_FALSE(store->StoreUpload({}, "id-empty", 2000).Ok);
    EXPECT_EQ(Matches(), 3u);
    EXPECT_FALSE(ValidUploadId(std::string(kMaxUploadIdBytes + 1, 'a')));
    EXPECT_FALSE(ValidUploadId("a b"));

    // The schema's version lives in its own table: the record's user_version stays the record's.
    store.reset();
    auto reopened = StatsServiceStore::Open((dir / "service.db").string(), TestDigest);
    ASSERT_TRUE(reopened.Store) << reopened.Error;
    EXPECT_EQ(reopened.Store->RecentMatches(10).size(), 3u);
    std::string removeError;
    EXPECT_TRUE(reopened.Store->RemoveServer("QX1", removeError));
    EXPECT_FALSE(reopened.Store->KnownServer("QX1"));
}

TEST_F(StatsServiceStoreTest, StoresAMatchOfManyPlayerLines) {
    std::string stats =
        "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09|**QX**|10\r\n";
    for (int i = 0; i < 320; ++i)
        stats += "  PlayerStats P" + std::to_string(i) + "&end& 1 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n";
    const UploadResult result = Store(UploadBody(stats));
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(store->Match(store->RecentMatches(1).at(0).Id)->second.size(), 320u);
}

// A database of the first schema: its servers keep their data and get public ids, a server
// removed back then comes back as a removed one that still names its matches, and the ids
// taken then stay where they were.
TEST_F(StatsServiceStoreTest, MigratesADatabaseOfTheFirstSchema) {
    const std::string path = (dir / "old.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string totals;
    for (const Statistic& s : kStatisticList)
        totals.append(", t_").append(s.Name).append(" INTEGER NOT NULL");
    const std::string v1 =
        "CREATE TABLE svc_schema(version INTEGER NOT NULL); INSERT INTO svc_schema VALUES (1);"
        "CREATE TABLE svc_servers(code BLOB PRIMARY KEY, added INTEGER NOT NULL);"
        "CREATE TABLE svc_status(code BLOB PRIMARY KEY, received INTEGER NOT NULL, state INTEGER,"
        " dedicated INTEGER, game_type BLOB, max_players INTEGER, server_name BLOB, map_name BLOB,"
        " country_code BLOB, expansion BLOB, server_message BLOB, player_count INTEGER,"
        " player_names BLOB, player_teams BLOB);"
        "CREATE TABLE svc_matches(id INTEGER PRIMARY KEY, code BLOB NOT NULL, received INTEGER NOT NULL,"
        " written TEXT NOT NULL, map_name BLOB, game_type BLOB, result INTEGER, ticks INTEGER,"
        " digest TEXT NOT NULL, block BLOB NOT NULL, UNIQUE(code, digest));"
        "CREATE TABLE svc_uploads(upload_id TEXT PRIMARY KEY, received INTEGER NOT NULL, matches INTEGER NOT "
        "NULL);"
        "CREATE TABLE svc_player_lines(match_id INTEGER NOT NULL, line INTEGER NOT NULL, name BLOB NOT NULL,"
        " name_key BLOB NOT NULL, team INTEGER NOT NULL" +
        totals +
        ", PRIMARY KEY(match_id, line));"
        "INSERT INTO svc_servers VALUES (CAST('OLD1' AS BLOB), 10);"
        "INSERT INTO svc_status(code, received, state, server_name) VALUES (CAST('OLD1' AS BLOB), 20, 3, "
        "'Old name');"
        "INSERT INTO svc_matches VALUES (1, CAST('GONE' AS BLOB), 5, '2004-06-12 21:05:09', 'M', 'TDM', 1, "
        "1, 'd1', 'b');"
        "INSERT INTO svc_matches VALUES (2, CAST('OLD1' AS BLOB), 30, '2004-06-12 21:05:09', 'M', 'TDM', 1, "
        "1, 'd2', 'b');"
        "INSERT INTO svc_uploads VALUES ('id-old', 30, 1);";
    ASSERT_EQ(sqlite3_exec(db, v1.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    auto opened = StatsServiceStore::Open(path, TestDigest);
    ASSERT_TRUE(opened.Store) << opened.Error;
    StatsServiceStore& old = *opened.Store;
    const auto servers = old.ServersNow();
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].Report.ServerName, "Old name");
    EXPECT_TRUE(old.KnownServer("OLD1"));
    EXPECT_FALSE(old.KnownServer("GONE"));
    const auto matches = old.RecentMatches(10);
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].ServerId, servers[0].Id);
    EXPECT_EQ(matches[0].ServerName, "Old name");
    EXPECT_NE(matches[1].ServerId, 0);
    EXPECT_NE(matches[1].ServerId, servers[0].Id);
    std::string error;
    ASSERT_TRUE(old.AddServer("NEW", 40, error)) << error;
    EXPECT_EQ(*old.ServerId("NEW"), 3);
    opened.Store.reset();

    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT (SELECT COUNT(*) FROM svc_uploads), (SELECT version FROM svc_schema)",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 1);
    EXPECT_EQ(sqlite3_column_int(st, 1), StatsServiceStore::kSchemaVersion);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// A database of the second schema with matches in it: the totals the leaderboards read are
// filled from its player lines, by play time, each match counted once per player; matches
// stored afterwards add to them.
TEST_F(StatsServiceStoreTest, MigratesADatabaseOfTheSecondSchemaIntoKeptTotals) {
    const std::string path = (dir / "v2.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string totals, kills;
    for (const Statistic& s : kStatisticList) {
        totals.append(", t_").append(s.Name).append(" INTEGER NOT NULL");
        kills += s.Name == "Kills" ? ", ?5" : ", 0";
    }
    const std::string v2 =
        "CREATE TABLE svc_schema(version INTEGER NOT NULL); INSERT INTO svc_schema VALUES (2);"
        "CREATE TABLE svc_servers(code BLOB PRIMARY KEY, added INTEGER NOT NULL, public_id INTEGER, name "
        "BLOB,"
        " removed INTEGER NOT NULL DEFAULT 0);"
        "CREATE TABLE svc_status(code BLOB PRIMARY KEY, received INTEGER NOT NULL, state INTEGER,"
        " dedicated INTEGER, game_type BLOB, max_players INTEGER, server_name BLOB, map_name BLOB,"
        " country_code BLOB, expansion BLOB, server_message BLOB, player_count INTEGER,"
        " player_names BLOB, player_teams BLOB);"
        "CREATE TABLE svc_matches(id INTEGER PRIMARY KEY, code BLOB NOT NULL, received INTEGER NOT NULL,"
        " written TEXT NOT NULL, map_name BLOB, game_type BLOB, result INTEGER, ticks INTEGER,"
        " digest TEXT NOT NULL, block BLOB NOT NULL, UNIQUE(code, digest));"
        "CREATE TABLE svc_player_lines(match_id INTEGER NOT NULL, line INTEGER NOT NULL, name BLOB NOT NULL,"
        " name_key BLOB NOT NULL, team INTEGER NOT NULL" +
        totals +
        ", PRIMARY KEY(match_id, line));"
        "CREATE TABLE svc_names(name BLOB PRIMARY KEY, name_key BLOB NOT NULL, first_seen INTEGER NOT NULL,"
        " last_seen INTEGER NOT NULL);"
        "CREATE TABLE svc_uploads(upload_id TEXT PRIMARY KEY, received INTEGER NOT NULL, matches INTEGER NOT "
        "NULL);"
        "CREATE TABLE svc_upload_ids(code BLOB NOT NULL, upload_id TEXT NOT NULL, digest TEXT NOT NULL,"
        " received INTEGER NOT NULL, matches INTEGER NOT NULL, PRIMARY KEY(code, upload_id));"
        "INSERT INTO svc_servers VALUES (CAST('QX1' AS BLOB), 10, 1, 'Old', 0);"
        // Received on 2025-12-01 00:00 UTC (day 20423): played the day before, on a clock a year
        // behind, and on a clock two days ahead.
        "INSERT INTO svc_matches VALUES (1, CAST('QX1' AS BLOB), 1764547200, '2025-11-30 12:00:00', 'Port', "
        "'TDM', 1, 1, 'd1', 'b');"
        "INSERT INTO svc_matches VALUES (2, CAST('QX1' AS BLOB), 1764547200, '2024-11-30 12:00:00', 'Port', "
        "'TDM', 1, 1, 'd2', 'b');"
        "INSERT INTO svc_matches VALUES (3, CAST('QX1' AS BLOB), 1764547200, '2025-12-03 12:00:00', 'Dam', "
        "'TDM', 1, 1, 'd3', 'b');";
    ASSERT_EQ(sqlite3_exec(db, v2.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_stmt* line = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(
                  db, ("INSERT INTO svc_player_lines VALUES (?1, ?2, ?3, ?4, 1" + kills + ")").c_str(), -1,
                  &line, nullptr),
              SQLITE_OK);
    const struct {
        int match;
        const char* name;
        const char* key;
        int kills;
    } lines[] = {{1, "Ren\xE9", "ren\xE9", 2},
                 {1, "REN\xC9", "ren\xE9", 3},
                 {2, "Ren\xE9", "ren\xE9", 1},
                 {3, "Bob", "bob", 4}};
    for (int i = 0; const auto& l : lines) {
        sqlite3_reset(line);
        sqlite3_bind_int(line, 1, l.match);
        sqlite3_bind_int(line, 2, i++);
        sqlite3_bind_blob(line, 3, l.name, static_cast<int>(strlen(l.name)), SQLITE_TRANSIENT);
        sqlite3_bind_blob(line, 4, l.key, static_cast<int>(strlen(l.key)), SQLITE_TRANSIENT);
        sqlite3_bind_int(line, 5, l.kills);
        ASSERT_EQ(sqlite3_step(line), SQLITE_DONE) << sqlite3_errmsg(db);
    }
    sqlite3_finalize(line);
    sqlite3_close(db);

    auto opened = StatsServiceStore::Open(path, TestDigest);
    ASSERT_TRUE(opened.Store) << opened.Error;
    StatsServiceStore& old = *opened.Store;
    const int64_t received = 1764547200 / 86400;
    auto board = [&](std::optional<int64_t> fromDay) {
        std::vector<std::tuple<std::string, int64_t, int64_t>> rows;
        for (const PlayerTotals& t : old.Leaderboard({.FromDay = fromDay}).Rows)
            rows.emplace_back(t.Name, t.Matches, t.Totals[StatIndex("Kills")]);
        return rows;
    };
    using Rows = std::vector<std::tuple<std::string, int64_t, int64_t>>;
    // Two spellings in match 1 are one match; the year-old written time and the one ahead count
    // as the receipt.
    EXPECT_EQ(board(std::nullopt), (Rows{{"Ren\xE9", 2, 6}, {"Bob", 1, 4}}));
    EXPECT_EQ(board(received), (Rows{{"Bob", 1, 4}, {"Ren\xE9", 1, 1}}));
    EXPECT_EQ(board(received - 1), (Rows{{"Ren\xE9", 2, 6}, {"Bob", 1, 4}}));
    EXPECT_EQ(old.Player("ren\xE9", 10)->Totals.Matches, 2);
    EXPECT_EQ(old.Match(1)->first.Played, 1764504000);
    EXPECT_EQ(old.Match(3)->first.Played, 1764547200);

    // A match stored now adds to the same totals, and the spelling of the latest match names
    // the player.
    const std::string zeros = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n";
    const std::string stats =
        "ServerInfo QX1|**QX**|Port|**QX**|TDM|**QX**|1|**QX**|2025-12-01 10:00:00|**QX**|10\r\n"
        "  PlayerStats REN\xC9&end& 1 0 0 0 0 0 5" +
        zeros;
    std::string error;
    const auto blocks = ParseUpload(UploadBody(stats), error);
    ASSERT_TRUE(blocks) << error;
    ASSERT_TRUE(old.StoreUpload(*blocks, {}, 1764583200).Ok);
    EXPECT_EQ(board(received), (Rows{{"REN\xC9", 2, 6}, {"Bob", 1, 4}}));
    EXPECT_EQ(board(std::nullopt), (Rows{{"REN\xC9", 3, 11}, {"Bob", 1, 4}}));
    // Periods near a kept one are that one corrected by the days between: here one day, and five.
    EXPECT_EQ(board(received - 5), (Rows{{"REN\xC9", 3, 11}, {"Bob", 1, 4}}));
    EXPECT_EQ(board(received - 1), (Rows{{"REN\xC9", 3, 11}, {"Bob", 1, 4}}));
}

// The request pace on a virtual clock: a request arrives in `chunk`-byte pieces every
// `intervalMs` from `firstMs` on; it is cut when a piece comes after the deadline the bytes
// before it earned.
TEST(RequestPaceTest, LetsASteadyUplinkThroughAndCutsATrickle) {
    const RequestPace pace;
    auto delivers = [&pace](size_t total, size_t chunk, int64_t intervalMs, int64_t firstMs) {
        size_t bytes = 0;
        for (int64_t at = firstMs; bytes < total; at += intervalMs) {
            if (at > pace.DeadlineMs(0, bytes)) return false;
            bytes += chunk;
        }
        return true;
    };
    EXPECT_TRUE(delivers(size_t{1} << 20, 3000, 100, 0));  // 1 MiB at 30 KB/s, 35 s
    EXPECT_TRUE(delivers(size_t{1} << 20, 2000, 1000, 0));  // at 16 kbit/s, over 8 minutes
    EXPECT_TRUE(delivers(kMaxUploadBodyBytes + kMaxHeaderBytes, 2000, 1000, pace.GraceMs));
    EXPECT_FALSE(delivers(size_t{1} << 20, 900, 1000, 0));  // below the minimum rate
    EXPECT_FALSE(delivers(1000, 1, 5000, 0));               // a byte every 5 s
    EXPECT_FALSE(delivers(100, 100, 0, pace.GraceMs + 1));  // nothing in the grace period
}
