// Notices end to end: the program's notice machinery with its database queue and Qt HTTP client,
// a local receiver on 127.0.0.1 playing Discord (rate limits, failures) and a webhook that checks
// the signature. The first run is killed while its transfers hang; the second run must deliver
// what the first queued, each notice once, in order, with the right content.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageAuthenticationCode>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "LocalService.h"
#include "MatchState.h"
#include "NoticeCenter.h"
#include "QtSupport.h"
#include "RunningProgram.h"
#include "SimProcess.h"
#include "SqliteHistoryStore.h"
#include "SqliteNoticeQueue.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

constexpr const char* kSecret = "hook secret";

struct Taken {
    QByteArray path, head, body;
    int status = 0;  // what the receiver answered; 0: held
};

// Discord and the webhook on one port: /discord and /hook. Each answers as the test says.
class Receiver : public QObject {
public:
    std::string Url(const char* path) const { return m_listener.Url(path); }

    bool hold = true;        // take the request and never answer
    int discordLimited = 0;  // how many Discord requests get a 429 first
    int failures = 0;        // how many requests to each get a 500 first
    std::vector<Taken> taken;
    QStringList badSignatures;

    std::vector<QByteArray> Delivered(const QByteArray& path) const {
        std::vector<QByteArray> bodies;
        for (const Taken& t : taken)
            if (t.path == path && t.status >= 200 && t.status < 300) bodies.push_back(t.body);
        return bodies;
    }
    // A field of each notice delivered to the webhook, in order: "event", "id".
    QStringList Hook(const char* key) const {
        QStringList values;
        for (const QByteArray& body : Delivered("/hook"))
            values << QJsonDocument::fromJson(body)[key].toString();
        return values;
    }
    // The ids of the notices delivered to Discord, in order: each embed's footer.
    QStringList DiscordIds() const {
        QStringList ids;
        for (const QByteArray& body : Delivered("/discord"))
            ids << QJsonDocument::fromJson(body)["embeds"][0]["footer"]["text"].toString();
        return ids;
    }
    // settings.ini in `folder`: both sinks here, each for `events`; `watched` the watched words.
    void WriteSettings(const QString& folder, const std::string& events, const std::string& watched) const {
        std::ofstream(QDir(folder).filePath("settings.ini").toStdString(), std::ios::binary)
            << "[notices]\r\ndiscord_url=" << Url("/discord") << "\r\nwebhook_url=" << Url("/hook")
            << "\r\nwebhook_secret=" << kSecret << "\r\ndiscord_events=" << events
            << "\r\nwebhook_events=" << events << "\r\ndesktop=0\r\nwatched=" << watched << "\r\n";
    }

private:
    void Take(QTcpSocket* socket, const TakenRequest& r) {
        Taken t{r.path, r.head, r.body};
        if (t.path == "/hook") {
            static const QRegularExpression signature("\r\nx-tovi-signature: *sha256=([0-9a-f]{64})\r\n",
                                                      QRegularExpression::CaseInsensitiveOption);
            const QByteArray expected =
                QMessageAuthenticationCode::hash(t.body, kSecret, QCryptographicHash::Sha256).toHex();
            if (signature.match(QString::fromLatin1(r.head)).captured(1).toLatin1() != expected)
                badSignatures << QString::fromUtf8(t.body);
        }
        if (hold) {
            taken.push_back(t);
            m_listener.Hold(socket);
            return;
        }
        int& failed = m_failed[t.path];
        if (t.path == "/discord" && m_limited < discordLimited) {
            ++m_limited;
            t.status = 429;
            Respond(socket, "429 Too Many Requests",
                    "X-RateLimit-Remaining: 0\r\nX-RateLimit-Reset-After: 0.3\r\n",
                    R"({"message": "You are being rate limited.", "retry_after": 0.3, "global": false})");
        } else if (failed < failures) {
            ++failed;
            t.status = 500;
            Respond(socket, "500 Internal Server Error", "", "oops");
        } else {
            t.status = t.path == "/discord" ? 204 : 200;
            Respond(socket, t.status == 204 ? "204 No Content" : "200 OK", "", "");
        }
        taken.push_back(t);
    }
    static void Respond(QTcpSocket* socket, const char* status, const QByteArray& headers,
                        const QByteArray& body) {
        socket->write("HTTP/1.1 " + QByteArray(status) + "\r\n" + headers +
                      "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QHash<QByteArray, int> m_failed;
    int m_limited = 0;
    LocalListener m_listener{[this](QTcpSocket* socket, TakenRequest& r) { Take(socket, r); }};
};

class QuietLog : public LogSink {
public:
    void Log(const std::string& message) override { lines << QString::fromStdString(message); }
    void DebugLog(const std::string&) override {}
    QStringList lines;
};

// The program's notices over the data folder: the record's database and settings.ini; the
// window's part of them (the Settings group, the tray) over the service's.
struct Program {
    explicit Program(const QString& folder) : tray() {
        const std::string db = QDir(folder).filePath("tovistats.db").toStdString();
        auto opened = SqliteHistoryStore::Open(db, [](const std::string&) {});
        history = std::move(opened.Store);
        auto queue = SqliteNoticeQueue::Open(db);
        notices = std::make_unique<NoticeService>(
            scheduler, log, dialogs, std::filesystem::path(QDir(folder).filePath("settings.ini").toStdString()));
        notices->Load();
        if (queue.Queue) notices->UseQueue(std::move(queue.Queue));
        center = std::make_unique<NoticeCenter>(*notices, tray);
    }
    QtScheduler scheduler;
    QuietLog log;
    SilentDialogs dialogs;
    QSystemTrayIcon tray;
    std::unique_ptr<HistoryStore> history;
    std::unique_ptr<NoticeService> notices;
    std::unique_ptr<NoticeCenter> center;
};

// A ban, a match end and a watched word, as the window hands them on.
void Happen(NoticeEvents& events) {
    events.SendFinished({"gtalk", "@everyone **x** has been banned",
                         SendNote{ActionKind::Ban, "@everyone **x**", "aim\x01 <@123>"}, SendOutcome::Sent});
    ServerStatus s;
    s.ServerName = "Notice test";
    s.MapName = "Isl\xE9 Bay";
    PlayerTable players;
    for (auto [name, kills, seconds] : {std::tuple{"Ren\xE9", 7, 300}, {"Bob", 9, 120}, {"Carl", 2, 900}}) {
        PlayerClass p;
        p.P_Name = name;
        p.P_Kills = kills;
        p.P_TimePlayed = seconds;
        players.Replace(p);
    }
    s.State = kStateHosting;
    events.TickDone(true, s, players);
    events.StatsWritten(1);
    s.State = kStateScoring;
    events.TickDone(true, s, players);
    events.ChatRead("Eve", "he is a CHEATER, report him");
}

// The first run: queues the notices and waits, its transfers hanging, until it is killed.
int QueueAndWait(const QString& folder) {
    Program program(folder);
    Happen(program.notices->Events());
    std::cout << "queued " << program.notices->Queue().Size() << std::endl;
    return QApplication::exec();
}

}  // namespace

class NoticeDeliveryTest : public QObject {
    Q_OBJECT
private slots:
    void noticesSurviveAKillAndArriveOnceInOrder() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Receiver receiver;
        receiver.WriteSettings(dir.path(), "player_banned,match_end,watched_word", "cheat*r|swear");

        QProcess first;
        first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        first.start(QCoreApplication::applicationFilePath(), {"--queue-notices", dir.path()});
        QVERIFY(first.waitForStarted());
        // Killed while each sink's first transfer hangs at the receiver.
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += first.readAllStandardOutput()).contains("queued 6"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(receiver.taken.size() >= 2, 20000);
        first.kill();
        QVERIFY(first.waitForFinished());
        QCOMPARE(receiver.taken.size(), size_t{2});

        receiver.hold = false;
        receiver.discordLimited = 1;
        receiver.failures = 1;
        Program second(dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(
            receiver.Delivered("/discord").size() == 3 && receiver.Delivered("/hook").size() == 3, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(second.notices->Queue().Size(), size_t{0}, 5000);
        QVERIFY2(receiver.badSignatures.isEmpty(), qPrintable(receiver.badSignatures.join('\n')));

        // The webhook: the documented body, in order, each id once.
        const QStringList ids = receiver.Hook("id");
        QCOMPARE(receiver.Hook("event"), (QStringList{"player_banned", "match_end", "watched_word"}));
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), 3);
        const QJsonArray matchFields =
            QJsonDocument::fromJson(receiver.Delivered("/hook")[1]).object()["fields"].toArray();
        // The game's Windows-1252 text, as UTF-8; what the fields hold and how Discord's are made
        // inert: NotifierTest.
        QCOMPARE(matchFields[0].toObject()["value"].toString(), QString::fromUtf8("Isl\u00e9 Bay"));

        // Discord: the same notices with the same ids, restored from the queue as they were.
        QCOMPARE(receiver.DiscordIds(), ids);
        const QByteArray ban = receiver.Delivered("/discord")[0];
        QVERIFY(!ban.contains("<@123>") && !ban.contains("@everyone"));
        // The 429's retry_after was obeyed: one limited request, then the same body again.
        int limited = 0;
        for (const Taken& t : receiver.taken) limited += t.status == 429 ? 1 : 0;
        QCOMPARE(limited, 1);
    }

    // The Settings group: "Send test" tries what the boxes say; a receiver that fails turns the
    // tray's picture to the warning until a notice gets through; the desktop shows its balloon.
    void sendTestButtonsAndTheTrayWarning() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Receiver receiver;
        receiver.hold = false;
        receiver.failures = 1;
        Program program(dir.path());
        QWidget parent;
        QGroupBox* group = program.center->BuildSettingsGroup(&parent);
        group->findChild<QLineEdit*>("txtWebhookURL")->setText(QString::fromStdString(receiver.Url("/hook")));
        group->findChild<QLineEdit*>("txtWebhookSecret")->setText(kSecret);
        group->findChild<QPushButton*>("cmdTestWebhook")->click();
        QTRY_VERIFY_WITH_TIMEOUT(program.center->Trouble(), 5000);
        QVERIFY(program.tray.icon().cacheKey() == program.center->WarningIcon().cacheKey());
        QTRY_COMPARE_WITH_TIMEOUT(receiver.Delivered("/hook").size(), size_t{1}, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!program.center->Trouble(), 5000);
        QCOMPARE(QJsonDocument::fromJson(receiver.Delivered("/hook")[0]).object()["event"].toString(),
                 QStringLiteral("test"));
        QVERIFY(receiver.badSignatures.isEmpty());

        group->findChild<QCheckBox*>("chkDesktopNotices")->setChecked(true);
        group->findChild<QPushButton*>("cmdTestDesktop")->click();
        QTRY_COMPARE_WITH_TIMEOUT(program.notices->lastTitle, QStringLiteral("Test notice"), 5000);
        // Nothing was saved: settings.ini holds no address.
        QVERIFY(!QFile::exists(QDir(dir.path()).filePath("settings.ini")));
    }

    // The whole program against a simulator: a player whose name would ping everyone says a
    // watched word, the match ends, the operator bans the player, the server process is killed.
    // Each arrives once, in that order, at Discord and the webhook, the name as plain text.
    void theProgramTellsWhatTheServerSawAndDid() {
        testing::PrivateDisplay display;
        QVERIFY2(!display.name().empty(), "Xvfb could not be started");
        QTemporaryDir folder;
        Receiver receiver;
        receiver.hold = false;
        receiver.discordLimited = 1;
        std::ofstream(folder.filePath("notices.scn").toStdString())
            << "name \"Notice test\"\nmaxplayers 8\ndedicated 1\ngametype 1\nscoringtime 2\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime 12\nresult 2\n"
               "at 0 join 1 \"@everyone **x**\" team=1 kills=3\nat 0 join 2 \"Bob\" team=2\n"
               "at 4 chat \"@everyone **x**: you swear a lot\"\n"
               "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
               "at 0 join 1 \"@everyone **x**\" team=1\nat 0 join 2 \"Bob\" team=2\n";
        receiver.WriteSettings(folder.path(), "player_banned,match_end,watched_word,server_lost", "swear");
        auto sim = std::make_unique<testing::SimProcess>(
            "C:\\Games\\JO\\jointops.exe",
            std::vector<std::string>{"--scenario", folder.filePath("notices.scn").toStdString(),
                                     "--time-scale", "2"});
        RunningProgram program(folder.path(), 1, 100);  // its dialogs answer Yes
        frmMain& window = program.Window();
        // The match end and the chat before it arrive while the second match runs.
        QTRY_VERIFY_WITH_TIMEOUT(receiver.Delivered("/hook").size() >= 2, 40000);
        auto* list = window.findChild<QTreeWidget*>("lstPlayers");
        QTRY_VERIFY_WITH_TIMEOUT(list->topLevelItemCount() == 2, 15000);
        for (int row = 0; row < list->topLevelItemCount(); ++row) {
            if (list->topLevelItem(row)->text(1) == QStringLiteral("@everyone **x**"))
                list->setCurrentItem(list->topLevelItem(row));
        }
        window.findChild<QAction*>("mnuPlayersBan")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(receiver.Delivered("/hook").size() >= 3, 20000);
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(
            receiver.Delivered("/hook").size() >= 4 && receiver.Delivered("/discord").size() >= 4, 20000);

        QCOMPARE(receiver.Hook("event"),
                 (QStringList{"watched_word", "match_end", "player_banned", "server_lost"}));
        for (const QByteArray& body : receiver.Delivered("/discord"))
            QVERIFY2(!body.contains("@everyone") && !body.contains("**x**"), body.constData());
        QCOMPARE(receiver.DiscordIds(), receiver.Hook("id"));
        QVERIFY(receiver.badSignatures.isEmpty());
        const QJsonArray ban =
            QJsonDocument::fromJson(receiver.Delivered("/hook")[2]).object()["fields"].toArray();
        QCOMPARE(ban[0].toObject()["value"].toString(), QStringLiteral("@everyone **x**"));
        const QJsonArray match =
            QJsonDocument::fromJson(receiver.Delivered("/hook")[1]).object()["fields"].toArray();
        QCOMPARE(match[0].toObject()["value"].toString(), QStringLiteral("Tidal Wave"));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--queue-notices")
        return QueueAndWait(QString::fromLocal8Bit(argv[2]));
    NoticeDeliveryTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "NoticeDeliveryTest.moc"
