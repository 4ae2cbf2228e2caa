// The service without any face, over an in-process game image on a virtual clock: what it keeps
// of the operator's choices itself, and actions that another face hands in with their own actor,
// player and answers.
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "GameAddresses.h"
#include "Headless.h"
#include "NoticeService.h"
#include "QtFileWork.h"
#include "QuietFakes.h"
#include "Service.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

using namespace tovi;
using tovi::testing::NoDialogs;
using tovi::testing::NoHttp;

namespace {

// A service without a face over a hosting server where Alice and Bob play.
struct Hosting {
    QTemporaryDir folder;
    image::ImageBackend backend;
    image::GameImage server;
    MemoryClass memory{backend};
    NoDialogs dialogs;
    VirtualScheduler scheduler;
    NoHttp http;
    std::unique_ptr<Service> service;
    std::vector<AdminAction> actions;

    explicit Hosting(QObject* context) {
        std::ofstream(folder.filePath("settings.ini").toStdString(), std::ios::binary)
            << "[server]\r\nservercode=QX1\r\nupdateurl=http://127.0.0.1:9/u\r\nimporturl=http://127.0.0.1:9/"
               "i\r\n"
               "[settings]\r\nuseautomes=5\r\nminplayers=3\r\n"
               "[bans]\r\npresets=1\r\npreset1=7d Cheating\r\nwarnings=1\r\nwarnladder=2 punt, 3 ban 1d\r\n";
        backend.AddServer(4711, server);
        server.SetByte(game::kGameState, 3);
        server.SetByte(game::kMaxPlayers, 16);
        for (auto [slot, name] : {std::pair{1, "Alice"}, {2, "Bob"}})
            server.SetText(image::GameImage::SlotAddress(slot) + game::slot::kName, game::slot::kNameLength,
                           name);
        service = std::make_unique<Service>(memory, dialogs, scheduler, http, folder.path());
        QObject::connect(service.get(), &Service::adminActionRecorded, context,
                         [this](const AdminAction& action) { actions.push_back(action); });
        service->Load();
    }
};

}  // namespace

class ServiceTest : public QObject {
    Q_OBJECT
private slots:
    void actionsNameTheirActorAndUseOnlyTheirOwnAnswers() {
        Hosting h(this);
        Service& service = *h.service;
        NoDialogs& dialogs = h.dialogs;
        VirtualScheduler& scheduler = h.scheduler;
        std::vector<AdminAction>& actions = h.actions;
        // Without a window the service keeps what every section of settings.ini says.
        QCOMPARE(service.MinPlayersText(), std::string("3"));
        QVERIFY(service.AutoMessagesOn());
        QCOMPARE(service.AutoMessageMinutes(), 5);
        QCOMPARE(service.BanMenu().Presets(), (std::vector<BanPreset>{{"Cheating", 7 * 86400}}));
        QVERIFY(service.BanMenu().Ladder().On);
        QCOMPARE(service.BanMenu().Ladder().Steps.size(), size_t{2});

        service.Timer_Timer();
        QCOMPARE(service.PanelText(3), std::string("Hosting mission"));
        service.ReadPlayers(true, 16);
        QCOMPARE(service.PlayerRows().size(), size_t{2});
        auto listed = [&](size_t row) {
            const PlayerRow& r = service.PlayerRows()[row];
            return ListedPlayer{r.Slot, r.Player, r.Position};
        };
        auto done = [&] {
            scheduler.Advance(60000);
            std::vector<std::string> said;
            for (const AdminAction& a : actions)
                said.push_back(a.Who + " | " + ActionName(a.Action) + " | " + a.Target + " | " + a.Why);
            actions.clear();
            return said;
        };

        // Answered by the order itself: nothing reaches the face's dialogs.
        QVERIFY(service.Act({.Kind = ActionKind::Punt, .Actor = "web: alice", .Unattended = true, .Player = listed(1),
                             .Answers = {true, true}})
                    .Ok());
        QVERIFY(service.Act({.Kind = ActionKind::Talk, .Actor = "web: bob", .Player = listed(0), .Text = "hello"}).Ok());
        QCOMPARE(dialogs.asked, QStringList());
        QCOMPARE(done(), (std::vector<std::string>{"web: alice | chat | Bob | ", "web: alice | punt | Bob | ",
                                                   "web: bob | talk | Alice | "}));
        // No player named and none selected (no face): refused in the actor's name.
        service.Act({.Kind = ActionKind::Ban, .Actor = "web: carol"});
        QCOMPARE(done(), (std::vector<std::string>{"web: carol | ban |  | no player selected"}));
        // The first punt's spare answer did not outlive it: this one asks the face, as the window's does.
        service.Act({.Kind = ActionKind::Punt, .Player = listed(0)});
        QCOMPARE(dialogs.asked, QStringList{"Are you sure you want to punt Alice?"});
        QCOMPARE(done(), (std::vector<std::string>{"operator at the window | punt | Alice | not confirmed"}));
        // For someone away from the desktop the question is answered No and comes back; the face sees nothing.
        dialogs.asked.clear();
        const ActionResult away =
            service.Act({.Kind = ActionKind::Punt, .Actor = "web: fred", .Unattended = true, .Player = listed(0)});
        QCOMPARE(dialogs.asked, QStringList());
        QVERIFY(away.State == ActionResult::Status::NeedsAnswer);
        QCOMPARE(away.Question, std::string("Are you sure you want to punt Alice?"));
        QCOMPARE(done(), (std::vector<std::string>{"web: fred | punt | Alice | not confirmed"}));
        // Every face's order is checked alike, and the refusal recorded in the actor's name: a slot
        // that no longer holds the player, a text that would break the console line, a role that
        // may not, a moderator's ban beyond his limit. Nothing is asked, nothing typed.
        const ActionResult moved = service.Act({.Kind = ActionKind::Warn, .Actor = "web: hal", .Unattended = true,
                                                .Player = ListedPlayer{listed(0).Slot, "Bob", 0}, .Text = "x"});
        QVERIFY(moved.State == ActionResult::Status::Refused);
        service.Act({.Kind = ActionKind::Talk, .Actor = "web: ian", .Unattended = true, .Player = listed(0), .Text = "a\nb"});
        service.Act({.Kind = ActionKind::ResetGames, .Actor = "web: jo", .ActorRole = Role::Moderator, .Unattended = true});
        service.Act({.Kind = ActionKind::BanListed, .Actor = "web: kay", .ActorRole = Role::Moderator,
                     .Unattended = true, .Text = "tk", .Name = "Bob", .Seconds = 0});
        QCOMPARE(dialogs.asked, QStringList());
        QCOMPARE(done(), (std::vector<std::string>{
                             "web: hal | warn | Bob | Slot " + listed(0).Slot + " no longer holds Bob.",
                             "web: ian | talk | Alice | The text holds control characters.",
                             "web: jo | reset games |  | Only an admin may do that.",
                             "web: kay | ban listed | Bob | A moderator may ban for at most 1440 minutes."}));
        QVERIFY(service.Bans().Entries().empty());
        // A punt with a reason is sent from its queue later, still in the name of who asked.
        service.Act({.Kind = ActionKind::Punt, .Actor = "web: gina", .Player = listed(0), .Text = "camping"});
        QCOMPARE(done(), (std::vector<std::string>{"web: gina | chat | Alice | ", "web: gina | punt | Alice | "}));
        service.Act({.Kind = ActionKind::MatchTime, .Actor = "web: dave", .More = true});
        QCOMPARE(done(), (std::vector<std::string>{"web: dave | match time |  | "}));
        // Settings changed without a window are saved as the window would save its controls.
        QVERIFY(service.SetScoreScreenTime(30, "web: erin"));
        QCOMPARE(done(), (std::vector<std::string>{"web: erin | settings saved |  | "}));
        QFile ini(h.folder.filePath("settings.ini"));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray saved = ini.readAll();
        QVERIFY2(saved.contains("scoringtime=30\r\n") && saved.contains("minplayers=3\r\n"),
                 saved.constData());
    }

    // What the warning ladder does after a moderator's warnings is done in his name, though it
    // comes after his action ended: the punt and the ban, their record, the notices.
    void theLaddersPuntAndBanAreTheWarnersOwn() {
        Hosting h(this);
        Service& service = *h.service;
        QStringList shown;
        connect(&service.Notices(), &NoticeService::desktopNotice, this,
                [&](const QString&, const QString& text, bool) { shown << text; });
        service.BanMenu().SetLadder({true, 0, *ParseWarningSteps("2 punt, 3 ban 1d")});
        service.Timer_Timer();
        service.ReadPlayers(true, 16);
        const PlayerRow& bob = service.PlayerRows()[1];
        for (const char* text : {"no camping", "last time", "bye"}) {
            service.Act({.Kind = ActionKind::Warn, .Actor = "web: kim",
                         .Player = ListedPlayer{bob.Slot, bob.Player, bob.Position}, .Text = text});
            h.scheduler.Advance(20000);
        }
        const BanEntry* ban = service.Bans().ActiveBanFor("Bob", QDateTime::currentSecsSinceEpoch());
        QVERIFY(ban);
        QCOMPARE(ban->IssuedBy, std::string("web: kim"));
        std::vector<std::string> done;
        for (const AdminAction& a : h.actions)
            if (a.Action == ActionKind::WarningPunt || a.Action == ActionKind::BanListed)
                done.push_back(a.Who + " | " + ActionName(a.Action));
        QCOMPARE(done, (std::vector<std::string>{"web: kim | warning punt", "web: kim | ban listed"}));
        QVERIFY2(shown.contains("Player: Bob\nBy: web: kim\nWhy: 2 warnings, the last: last time"),
                 qPrintable(shown.join(" / ")));
        QVERIFY2(shown.contains("Player: Bob\nBy: web: kim\nWhy: 3 warnings, the last: bye"),
                 qPrintable(shown.join(" / ")));
    }

    // A banned name is seen on the tick it takes a slot, not at the next read of the players; the
    // list and the counters keep their five-tick read.
    void aBannedNameIsAnnouncedOnTheTickItTakesASlot() {
        Hosting h(this);
        Service& service = *h.service;
        service.Timer_Timer();
        QVERIFY(service.AddBan("Mallory", "aimbot", 0, "web: kim"));
        h.server.SetText(image::GameImage::SlotAddress(3) + game::slot::kName, game::slot::kNameLength, "Mallory");
        h.actions.clear();
        service.Timer_Timer();  // the second tick: names only
        h.scheduler.Advance(3000);
        QStringList done;
        for (const AdminAction& a : h.actions) done << QString::fromStdString(std::string(ActionName(a.Action)) + " " + a.Target);
        QVERIFY2(done.contains("ban list announcement Mallory"), qPrintable(done.join(" / ")));
        QVERIFY(std::ranges::none_of(service.PlayerRows(), [](const PlayerRow& r) { return r.Player == "Mallory"; }));
    }

    // The line at every third match end is the operator's: the program's own, his text, or none.
    void thePeriodicChatIsTheOperatorsToWordOrSilence() {
        Hosting h(this);
        Service& service = *h.service;
        service.Timer_Timer();
        auto said = [&] {
            h.actions.clear();
            service.SendPeriodicChat();
            h.scheduler.Advance(3000);
            QStringList lines;
            for (const AdminAction& a : h.actions)
                if (a.Action == ActionKind::PeriodicChat) lines << QString::fromStdString(a.Detail);
            return lines.join('|');
        };
        QVERIFY(said().contains(QString::fromStdString(service.DefaultPeriodicChatText())));
        OtherSettings other = service.Other();
        other.PeriodicChatText = "Good game, all";
        QVERIFY(service.SaveOtherSettings(other, "web: kim"));
        QVERIFY2(said().contains("Good game, all"), qPrintable(said()));
        other.PeriodicChatOn = false;
        QVERIFY(service.SaveOtherSettings(other, "web: kim"));
        QCOMPARE(said(), QString());
        other.PeriodicChatText = "two\r\nlines";
        QVERIFY(!service.SaveOtherSettings(other, "web: kim"));
    }

    // The game forgets its own bans at a restart: "Ban player" also lists the name for good, in
    // the actor's name, and a new start of the program still holds it.
    void aBanFromThePlayerMenuOutlastsTheGameAndTheProgram() {
        Hosting h(this);
        h.service->OpenRecord();
        h.service->Timer_Timer();
        h.service->ReadPlayers(true, 16);
        const PlayerRow& bob = h.service->PlayerRows()[1];
        QVERIFY(h.service->Act({.Kind = ActionKind::Ban, .Actor = "web: kim",
                                .Player = ListedPlayer{bob.Slot, bob.Player, bob.Position}, .Answers = {true}})
                    .Ok());
        h.scheduler.Advance(20000);
        const BanEntry* ban = h.service->Bans().ActiveBanFor("Bob", QDateTime::currentSecsSinceEpoch());
        QVERIFY(ban);
        QCOMPARE(ban->IssuedBy, std::string("web: kim"));
        QCOMPARE(ban->Reason, std::string("banned from the player menu"));
        QCOMPARE(ban->ExpiresAt, int64_t{0});
        h.service.reset();
        Service again(h.memory, h.dialogs, h.scheduler, h.http, h.folder.path());
        again.Load();
        again.OpenRecord();
        QVERIFY(again.Bans().ActiveBanFor("Bob", QDateTime::currentSecsSinceEpoch()));
    }

    // Names and chat reach stderr in headless mode: no escape sequence of a player's may steer the terminal.
    void theTerminalGetsNoControlBytes() {
        QCOMPARE(TerminalLine("Eve\x1b[31m\x81"
                              "2J\r\nsaid \xE9t\xE9\r\n"),
                 std::string("Eve?[31m?2J / said \xC3\xA9t\xC3\xA9"));
    }

    // The files' work runs away from the event loop, one piece after another in the order handed
    // over; the answers come back on the loop's thread in that order, through the loop or at a
    // Finish, which also answers work an answer hands over; a piece that outlives the work's owner
    // is done, its answer never runs.
    void fileWorkRunsInOrderAwayFromTheLoopAndAnswersOnIt() {
        const std::thread::id loop = std::this_thread::get_id();
        std::vector<int> done, answered;
        bool offTheLoop = true, onTheLoop = true;
        {
            QtFileWork work;
            std::function<void(int)> hand = [&](int n) {
                work.Run(
                    [&, n] {
                        offTheLoop = offTheLoop && std::this_thread::get_id() != loop;
                        done.push_back(n);
                    },
                    [&, n] {
                        onTheLoop = onTheLoop && std::this_thread::get_id() == loop;
                        answered.push_back(n);
                        if (n == 2) hand(4);
                    });
            };
            hand(1);
            hand(2);
            hand(3);
            QTRY_VERIFY_WITH_TIMEOUT(!answered.empty(), 10000);
            work.Finish();
            QCOMPARE(answered, (std::vector<int>{1, 2, 3, 4}));
            QCOMPARE(done, (std::vector<int>{1, 2, 3, 4}));
            hand(5);
        }
        QCOMPARE(done.back(), 5);
        QCOMPARE(answered.size(), size_t{4});
        QVERIFY(offTheLoop);
        QVERIFY(onTheLoop);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "ServiceTest.moc"
