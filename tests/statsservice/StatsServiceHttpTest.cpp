// The tovistats-service program as a real process on 127.0.0.1 and a port of its own, spoken to
// over plain sockets with the requests the program's own code builds.
#include <signal.h>
#include <sqlite3.h>

#include <QtTest>
#include <tuple>

#include "PlayerTable.h"
#include "ServerStatus.h"
#include "ServiceProcess.h"
#include "StatsFile.h"
#include "TextEncodings.h"
#include "UploadQueue.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

// One match as the program writes and uploads it.
QByteArray UploadOf(const std::string& serverCode, const std::vector<PlayerClass>& lines, int second) {
    ServerStatus status;
    status.MapName = "<b>Tidal</b>";
    status.GameType = 1;
    PlayerTable players;
    for (const PlayerClass& p : lines) players.Replace(p);
    const auto block = StatsBlock(serverCode, status, players, 3, 600, LocalTime{2026, 12, 6, 12, 0, second});
    return QByteArray::fromStdString(UploadBody(block.value()));
}

QByteArray StatusBody(const std::string& serverCode) {
    return QByteArray::fromStdString(
        "servercode=" + FormEncode(serverCode) + "&status=3&dedicated=True&gametype=TDM" +
        "&maxplayers=16&servername=" + FormEncode(Base64Encode("<i>Caf\xE9</i>")) +
        "&map=&countrycode=DE&expansion=&servermsg=&players=0&playernames=&playerteams=");
}

// A connection of the test's own from a loopback address of its choice, each address standing
// for another client.
std::unique_ptr<QTcpSocket> Connect(const char* from, quint16 port, const QByteArray& send = {}) {
    auto socket = std::make_unique<QTcpSocket>();
    if (!socket->bind(QHostAddress(QString::fromLatin1(from)), 0)) return nullptr;
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(10000)) return nullptr;
    socket->write(send);
    socket->waitForBytesWritten(10000);
    return socket;
}

// The next answer on `socket`, complete by its length.
Reply Answer(QTcpSocket& socket) {
    QByteArray raw;
    auto complete = [&raw] {
        const Reply reply = Parse(raw);
        return reply.status != 0 && reply.body.size() >= reply.headers.value("content-length").toLongLong();
    };
    while (!complete() && socket.waitForReadyRead(30000)) raw += socket.readAll();
    return Parse(raw);
}

constexpr const char* kGet = "GET /tovistats/ HTTP/1.1\r\nHost: x\r\n\r\n";

// A match block as a stats file holds it, written `daysAgo` days before today at noon (UTC),
// with players given as name, kills and deaths.
std::string Block(int daysAgo, const std::vector<std::tuple<std::string, int, int>>& players) {
    const QByteArray written = QDateTime::currentDateTimeUtc()
                                   .addDays(-daysAgo)
                                   .toString(QStringLiteral("yyyy-MM-dd 12:00:00"))
                                   .toLatin1();
    std::string block =
        "ServerInfo QX1|**QX**|Port|**QX**|TDM|**QX**|1|**QX**|" + written.toStdString() + "|**QX**|600\r\n";
    for (const auto& [name, kills, deaths] : players)
        block += "  PlayerStats " + name + "&end& 1 0 0 0 0 0 " + std::to_string(kills) + " " +
                 std::to_string(deaths) + " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n";
    return block;
}

// The players a leaderboard page lists, in its order.
QList<QByteArray> BoardNames(const QByteArray& page) {
    QList<QByteArray> names;
    for (qsizetype at = page.indexOf("<td class=\"c-name\">"); at >= 0;
         at = page.indexOf("<td class=\"c-name\">", at + 1)) {
        const qsizetype start = page.indexOf('>', page.indexOf("<a", at)) + 1;
        names << page.mid(start, page.indexOf("</a>", start) - start);
    }
    return names;
}
constexpr const char* kPartial = "GET /tovistats/ HTTP/1.1\r\nHost: x\r\n";

}  // namespace

class StatsServiceHttpTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(name);
    }

    void codesNeverLeaveTheService() {
        StatsServiceProcess service;
        QVERIFY(service.port != 0);
        const QByteArray secret = "Zk9-s3cret";
        service.Run({"--add-server", QString::fromLatin1(secret)});
        auto leaks = [&](const Reply& r) {
            QByteArray all = r.body;
            for (auto it = r.headers.begin(); it != r.headers.end(); ++it) all += it.key() + it.value();
            return r.status == 0 || all.contains("QX1") || all.contains(secret);
        };
        // Registered, before any report.
        const Reply waiting = service.Get("/tovistats/");
        QVERIFY(!leaks(waiting));
        QVERIFY(waiting.body.contains("Server #2 has not reported yet"));

        QCOMPARE(service.Post("/tovistats/update.php", StatusBody("QX1")).status, 200);
        QCOMPARE(service.Post("/tovistats/import.php", UploadOf("QX1", {{.P_Name = "Ann"}}, 1)).status, 200);
        QCOMPARE(service.Post("/tovistats/import.php", UploadOf(secret.toStdString(), {{.P_Name = "Ann"}}, 2),
                              "Idempotency-Key: k\r\n")
                     .status,
                 200);
        // A wrong code changes nothing, whatever else it sends.
        const QByteArray before = service.Get("/tovistats/").body;
        const QByteArray board = service.Get("/tovistats/leaderboard").body;
        for (const Reply& refused :
             {service.Post("/tovistats/update.php", StatusBody("QX1 ")),
              service.Post("/tovistats/update.php", StatusBody("Zk9-s3creT")),
              service.Post("/tovistats/import.php", UploadOf("Zk9-s3cre", {{.P_Name = "Ann"}}, 3)),
              service.Post("/tovistats/import.php", UploadOf("qx1", {{.P_Name = "Ann"}}, 2), "Idempotency-Key: k\r\n"),
              service.Post("/tovistats/import.php", "data=", "Idempotency-Key: k\r\n")}) {
            QVERIFY(refused.status >= 400);
            QVERIFY(!leaks(refused));
        }
        QCOMPARE(service.Get("/tovistats/").body, before);
        QCOMPARE(service.Get("/tovistats/leaderboard").body, board);

        const Reply servers = service.Get("/tovistats/");
        QVERIFY(servers.body.contains("Server #1 &middot;"));
        QVERIFY(servers.body.contains("&lt;i&gt;Caf\xC3\xA9&lt;/i&gt; <span class=\"id\">#1</span>"));
        QVERIFY(servers.body.contains("Server #2</a></td>"));
        for (const char* page :
             {"/", "/tovistats/", "/tovistats/leaderboard", "/tovistats/leaderboard?period=week",
              "/tovistats/leaderboard?period=month", "/tovistats/player?name=ann", "/tovistats/match?id=1",
              "/tovistats/match?id=2", "/tovistats/match?id=3", "/tovistats/news.php", "/tovistats/style.css",
              "/tovistats/nothing", "/tovistats/player?name=QX1", "/tovistats/maps", "/tovistats/server?id=1",
              "/tovistats/server?id=2", "/tovistats/map?name=%3Cb%3ETidal%3C%2Fb%3E",
              "/tovistats/favicon.svg"})
            QVERIFY2(!leaks(service.Get(page)), page);
        // A page per server (by its public id) and per map, reached from the match lists.
        QVERIFY(servers.body.contains("<a href=\"/tovistats/server?id=2\">Server #2</a>"));
        QVERIFY(servers.body.contains(
            "<a href=\"/tovistats/map?name=%3Cb%3ETidal%3C%2Fb%3E\">&lt;b&gt;Tidal&lt;/b&gt;</a>"));
        const Reply first = service.Get("/tovistats/server?id=1");
        QCOMPARE(first.status, 200);
        QVERIFY(first.body.contains("<h1>&lt;i&gt;Caf\xC3\xA9&lt;/i&gt; <span class=\"id\">#1</span></h1>"));
        QVERIFY(first.body.contains("<dt>Matches</dt><dd>1</dd>"));
        QVERIFY(service.Get("/tovistats/map?name=%3Cb%3ETidal%3C%2Fb%3E")
                    .body.contains("<dt>Matches</dt><dd>2</dd>"));
        QVERIFY(service.Get("/tovistats/maps").body.contains("<td>2</td>"));
        for (const char* missing :
             {"/tovistats/server?id=3", "/tovistats/server?id=QX1", "/tovistats/map?name=QX1"})
            QCOMPARE(service.Get(missing).status, 404);
        const Reply icon = service.Get("/tovistats/favicon.svg");
        QCOMPARE(icon.headers.value("content-type"), QByteArray("image/svg+xml"));
        QVERIFY(icon.body.startsWith("<svg"));
    }

    void sharesConnectionsFairly() {
        StatsServiceProcess service(
            {"--max-connections", "6", "--max-per-address", "3", "--request-grace", "600"});
        QVERIFY(service.port != 0);

        // Answered and closed when asked: HTTP/1.0, and HTTP/1.1 with "Connection: close".
        for (const char* request : {"GET /tovistats/ HTTP/1.0\r\n\r\n",
                                    "GET /tovistats/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"}) {
            auto once = Connect("127.0.0.1", service.port, request);
            QVERIFY(once);
            QVERIFY(once->state() == QAbstractSocket::UnconnectedState || once->waitForDisconnected(30000));
            const Reply r = Parse(once->readAll());
            QCOMPARE(r.status, 200);
            QCOMPARE(r.body.size(), r.headers.value("content-length").toLongLong());
        }

        // One address with its share held by unfinished requests and as many connections
        // again: those wait their turn, and another address is served meanwhile.
        std::vector<std::unique_ptr<QTcpSocket>> a;
        for (int i = 0; i < 3; ++i) a.push_back(Connect("127.0.0.2", service.port, kPartial));
        std::vector<std::unique_ptr<QTcpSocket>> turn;
        for (int i = 0; i < 3; ++i) turn.push_back(Connect("127.0.0.2", service.port, kPartial));
        QVERIFY(a.back() && turn.back());
        QCOMPARE(service.Get("/tovistats/").status, 200);
        a.front()->abort();
        a.erase(a.begin());
        for (auto& socket : turn) {
            socket->write("Connection: close\r\n\r\n");
            QCOMPARE(Answer(*socket).status, 200);
        }

        // Near the cap, an idle keep-alive connection is closed first.
        auto idle = Connect("127.0.0.3", service.port, kGet);
        QCOMPARE(Answer(*idle).status, 200);
        std::vector<std::unique_ptr<QTcpSocket>> h;
        for (int i = 0; i < 3; ++i) h.push_back(Connect("127.0.0.4", service.port, kPartial));
        QVERIFY(idle->state() == QAbstractSocket::UnconnectedState || idle->waitForDisconnected(30000));

        // At the cap, a new connection waits in the backlog rather than being reset, and is
        // served once a place frees.
        auto last = Connect("127.0.0.5", service.port, kPartial);
        auto waiting = Connect("127.0.0.6", service.port, kGet);
        QVERIFY(last && waiting);
        h.front()->abort();
        QCOMPARE(Answer(*waiting).status, 200);

        // Beyond its share and three times as many waiting, an address is told to come back.
        StatsServiceProcess narrow({"--max-per-address", "1", "--request-grace", "600"});
        std::vector<std::unique_ptr<QTcpSocket>> queued;
        for (int i = 0; i < 4; ++i) queued.push_back(Connect("127.0.0.2", narrow.port, i == 0 ? kPartial : ""));
        auto refused = Connect("127.0.0.2", narrow.port);
        QVERIFY(refused);
        const Reply busy = Answer(*refused);
        QCOMPARE(busy.status, 503);
        QVERIFY(busy.headers.contains("retry-after"));
        QCOMPARE(narrow.Get("/tovistats/").status, 200);
    }

    void leaderboardPagesSearchesSortsAndCountsByPlayTime() {
        StatsServiceProcess service;
        QVERIFY(service.port != 0);
        std::vector<std::tuple<std::string, int, int>> crowd;
        for (int i = 0; i < 110; ++i)
            crowd.emplace_back(QByteArray::number(i).rightJustified(3, '0').prepend("P").toStdString(), i % 7,
                               1);
        crowd.emplace_back("Ren\xE9", 3, 0);
        crowd.emplace_back("REN\xC9", 4, 0);  // one player, one match: lines summed
        crowd.emplace_back("Zo\xEB", 1000, 0);
        // Played 2 days ago; 10 and 20 days ago; and on clocks far off: 100 days behind and 5
        // days ahead, which count as received today.
        const std::string stats = Block(2, crowd) + Block(10, {{"Mid", 50, 0}}) +
                                  Block(20, {{"ren\xE9", 10, 0}}) + Block(100, {{"Old", 1, 99}}) +
                                  Block(-5, {{"Ahead", 2, 0}});
        QCOMPARE(service.Post("/tovistats/import.php", QByteArray::fromStdString(UploadBody(stats))).status,
                 200);

        const Reply all = service.Get("/tovistats/leaderboard");
        QCOMPARE(all.status, 200);
        QVERIFY(all.body.contains("115 players &middot; page 1 of 3"));
        QCOMPARE(BoardNames(all.body).size(), 50);
        QCOMPARE(BoardNames(all.body).mid(0, 3), (QList<QByteArray>{"Zo\xC3\xAB", "Mid", "Ren\xC3\xA9"}));
        QVERIFY(all.body.contains("<td class=\"c-matches\">2</td><td class=\"c-kills\">17</td>"));
        const Reply last = service.Get("/tovistats/leaderboard?page=3");
        QVERIFY(last.body.contains("page 3 of 3"));
        QCOMPARE(BoardNames(last.body).size(), 15);
        QVERIFY(last.body.contains("<tr><td>101</td>"));
        QVERIFY(
            service.Get("/tovistats/leaderboard?page=9").body.contains("115 players &middot; page 9 of 3"));

        // Periods by the day of play.
        const Reply week = service.Get("/tovistats/leaderboard?period=week&sort=kills");
        QVERIFY(week.body.contains("114 players"));
        QVERIFY(!BoardNames(week.body).contains("Mid"));
        QVERIFY(week.body.contains(
            "Ren\xC3\xA9</a></td><td class=\"c-score score\">14</td><td class=\"c-matches\">1</td>"));
        const Reply month = service.Get("/tovistats/leaderboard?period=month&q=ren");
        QVERIFY(month.body.contains("1 player named like &ldquo;ren&rdquo;"));
        QVERIFY(month.body.contains("<td class=\"c-matches\">2</td><td class=\"c-kills\">17</td>"));
        QVERIFY(service.Get("/tovistats/leaderboard?period=month").body.contains("115 players"));
        // The links keep period, order and search.
        QVERIFY(week.body.contains("href=\"/tovistats/leaderboard?period=week&amp;sort=kills&amp;page=2\""));
        QVERIFY(week.body.contains("href=\"/tovistats/leaderboard?sort=kills\">all time"));
        QVERIFY(
            month.body.contains("href=\"/tovistats/leaderboard?period=month&amp;sort=deaths&amp;q=ren\""));
        QVERIFY(month.body.contains("name=\"period\" value=\"month\""));

        // Search: part of the name, letter case ignored, sent as a browser sends it.
        for (const char* search : {"q=ren", "q=REN%C3%89", "q=%C3%A9", "q=+eN"})
            QCOMPARE(BoardNames(service.Get(QByteArray("/tovistats/leaderboard?") + search).body),
                     QList<QByteArray>{"Ren\xC3\xA9"});
        QCOMPARE(BoardNames(service.Get("/tovistats/leaderboard?q=p10").body).size(), 10);
        QVERIFY(service.Get("/tovistats/leaderboard?q=nobody").body.contains("0 players named like"));

        // Sorted by any column, either way.
        QCOMPARE(BoardNames(service.Get("/tovistats/leaderboard?sort=deaths").body).value(0),
                 QByteArray("Old"));
        QCOMPARE(BoardNames(service.Get("/tovistats/leaderboard?sort=name").body).mid(0, 2),
                 (QList<QByteArray>{"Ahead", "Mid"}));
        QCOMPARE(BoardNames(service.Get("/tovistats/leaderboard?sort=name&dir=desc").body).value(0),
                 QByteArray("Zo\xC3\xAB"));
        QCOMPARE(BoardNames(service.Get("/tovistats/leaderboard?sort=kd&dir=asc&q=o").body),
                 (QList<QByteArray>{"Old", "Zo\xC3\xAB"}));
        QCOMPARE(BoardNames(service.Get("/tovistats/leaderboard?sort=matches").body).value(0),
                 QByteArray("Ren\xC3\xA9"));

        // A name with bytes >= 0x80 followed from the leaderboard: linked by its UTF-8 form; the
        // old form (its Windows-1252 bytes) is sent on to it.
        const QByteArray link = "/tovistats/player?name=ren%C3%A9";
        QVERIFY(all.body.contains("<a href=\"" + link + "\">Ren\xC3\xA9</a>"));
        const Reply rene = service.Get(link);
        QCOMPARE(rene.status, 200);
        QVERIFY(rene.body.contains("<h1>Ren\xC3\xA9</h1>"));
        QVERIFY(rene.body.contains("in 2 matches"));
        for (const char* old : {"/tovistats/player?name=ren%E9", "/tovistats/player?name=REN%C9"}) {
            const Reply moved = service.Get(old);
            QCOMPARE(moved.status, 301);
            QCOMPARE(moved.headers.value("location"), link);
        }
        QCOMPARE(service.Get("/tovistats/player?name=Ren%C3%A9").status, 200);
        QCOMPARE(service.Get("/tovistats/player?name=ren%C3").status, 404);

        // Readable statistics: Kills, Deaths and K/D first, counters at 0 throughout left out,
        // times as h:mm:ss; players by team and score; the result byte named as the game's code.
        QVERIFY(
            rene.body.contains("<dl class=\"stats\" id=\"totals\"><div><dt>Kills</dt><dd>17</dd></div>"
                               "<div><dt>Deaths</dt><dd>0</dd></div><div><dt>K/D</dt><dd>17.00</dd></div>"));
        const Reply match = service.Get("/tovistats/match?id=1");
        QVERIFY(match.body.contains("<h3>Team 1</h3>"));
        QVERIFY(
            match.body.contains("<th>Player</th><th>Score</th><th>Kills</th><th>Deaths</th><th>K/D</th></tr>"
                                "<tr><td><a href=\"/tovistats/player?name=zo%C3%AB\">Zo\xC3\xAB</a>"));
        QVERIFY(match.body.contains("<dt>Result</dt><dd>game's result code 1</dd>"));
        QVERIFY(match.body.contains("<dt>Length</dt><dd>0:10:00</dd>"));
        for (const char* hidden : {"Shots fired", "Sdad", "SdAd", "Match ticks"})
            QVERIFY(!match.body.contains(hidden));
    }

    void answersOnlyAfterStoringAndOnlyRegisteredServers() {
        StatsServiceProcess service;
        QVERIFY(service.port != 0);
        int exitCode = 0;
        QVERIFY(service.Run({"--list-servers"}).contains("QX1"));
        service.Run({"--remove-server", "NOPE"}, &exitCode);
        QCOMPARE(exitCode, 1);

        // Unknown codes are refused without the header, which any copy of the program takes for
        // a confirmation.
        Reply r = service.Post("/tovistats/update.php", StatusBody("QX2"));
        QCOMPARE(r.status, 403);
        QVERIFY(!r.headers.contains("toviresponse"));
        r = service.Post("/tovistats/import.php", UploadOf("QX2", {{.P_Name = "Eve"}}, 1));
        QCOMPARE(r.status, 403);
        QVERIFY(!r.headers.contains("toviresponse"));
        r = service.Post("/tovistats/update.php", StatusBody("QX1"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.headers.value("toviresponse"), QByteArray("Status received"));
        r = service.Post("/tovistats/import.php", "data=QUJD");
        QCOMPARE(r.status, 400);
        QVERIFY(!r.headers.contains("toviresponse"));
        r = service.Post("/tovistats/import.php", "data=", "Idempotency-Key: empty\r\n");
        QCOMPARE(r.status, 400);
        QVERIFY(!r.headers.contains("toviresponse"));

        // While another writer holds the database, nothing can be stored: no header.
        const QByteArray first = UploadOf("QX1",
                                          {{.P_Name = "<script>alert(1)</script>", .P_Team = 1, .P_Kills = 5},
                                           {.P_Name = "Zo\xEB", .P_Team = 2, .P_Targets = 1}},
                                          1);
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(qPrintable(service.DatabasePath()), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        r = service.Post("/tovistats/import.php", first, "Idempotency-Key: batch-1\r\n");
        QCOMPARE(r.status, 500);
        QVERIFY(!r.headers.contains("toviresponse"));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);

        // Stored once, whatever comes again.
        r = service.Post("/tovistats/import.php", first, "Idempotency-Key: batch-1\r\n");
        QCOMPARE(r.status, 200);
        QCOMPARE(r.headers.value("toviresponse"), QByteArray("Imported 1 match"));
        r = service.Post("/tovistats/import.php", first, "Idempotency-Key: batch-1\r\n");
        QCOMPARE(r.headers.value("toviresponse"), QByteArray("Imported before: nothing new"));
        r = service.Post("/tovistats/import.php", first);
        QCOMPARE(r.headers.value("toviresponse"), QByteArray("Imported 0 matches, 1 held already"));
        // The id again with other content is refused and logged, never confirmed; a stranger
        // with a stored id learns nothing of it.
        r = service.Post("/tovistats/import.php", UploadOf("QX1", {{.P_Name = "Mallory"}}, 2),
                         "Idempotency-Key: batch-1\r\n");
        QCOMPARE(r.status, 409);
        QVERIFY(!r.headers.contains("toviresponse"));
        r = service.Post("/tovistats/import.php", UploadOf("QX2", {{.P_Name = "Mallory"}}, 1),
                         "Idempotency-Key: batch-1\r\n");
        QCOMPARE(r.status, 403);
        QCOMPARE(service.Get("/tovistats/player?name=mallory").status, 404);
        QByteArray log;
        QTRY_VERIFY((log += service.Process().readAllStandardError()).contains("other content"));
        QVERIFY(log.contains("server #1 ") && !log.contains("QX1"));

        // Every text from a game server is escaped on every page; the pages forbid framing and
        // scripts from elsewhere.
        const Reply board = service.Get("/tovistats/leaderboard");
        QCOMPARE(board.status, 200);
        QVERIFY(board.body.contains(
            "<td>1</td><td class=\"c-name\"><a "
            "href=\"/tovistats/player?name=%3Cscript%3Ealert%281%29%3C%2Fscript%3E\">"
            "&lt;script&gt;alert(1)&lt;/script&gt;</a></td><td class=\"c-score score\">10</td>"));
        QCOMPARE(board.headers.value("content-security-policy"),
                 QByteArray("default-src 'self'; frame-ancestors 'none'"));
        QCOMPARE(board.headers.value("x-content-type-options"), QByteArray("nosniff"));
        const Reply zoe = service.Get("/tovistats/player?name=zo%C3%AB");
        QCOMPARE(zoe.status, 200);
        QVERIFY(zoe.body.contains("<h1>Zo\xC3\xAB</h1>"));
        const Reply match = service.Get("/tovistats/match?id=1");
        QCOMPARE(match.status, 200);
        const Reply servers = service.Get("/tovistats/");
        for (const Reply* page : {&board, &zoe, &match, &servers}) {
            QVERIFY(!page->body.contains("<script>"));
            QVERIFY(!page->body.contains("<b>Tidal"));
            QVERIFY(!page->body.contains("<i>Caf"));
        }
        QVERIFY(match.body.contains("&lt;b&gt;Tidal&lt;/b&gt;"));
        QVERIFY(servers.body.contains("&lt;i&gt;Caf\xC3\xA9&lt;/i&gt;"));
        QCOMPARE(service.Get("/tovistats/news.php").status, 200);
        for (const char* escape :
             {"/tovistats/../tovistats-service.db", "/tovistats/%2e%2e/tovistats-service.db",
              "/tovistats/player?name=nobody", "/tovistats/match?id=x"})
            QCOMPARE(service.Get(escape).status, 404);

        // Too much is cut while it arrives: a body beyond the upload bound, a head beyond its own.
        QVERIFY(service.CutWhileSending(
            "POST /tovistats/import.php HTTP/1.1\r\nHost: x\r\nContent-Length: 20000000\r\n\r\n", 20000000));
        QVERIFY(service.CutWhileSending("GET /tovistats/ HTTP/1.1\r\nX-Filler: " + QByteArray(64 * 1024, 'a'),
                                        0));
        QCOMPARE(service.Get("/tovistats/").status, 200);
        // Stops cleanly when told to.
        ::kill(static_cast<pid_t>(service.Process().processId()), SIGTERM);
        QVERIFY(service.Process().waitForFinished(10000));
        QCOMPARE(service.Process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.Process().exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(StatsServiceHttpTest)
#include "StatsServiceHttpTest.moc"
