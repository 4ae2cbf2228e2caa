// The panel's view of the running program, over the service and an in-process game image on a
// virtual clock: what it reads, that its actions never ask at the desktop, that a slot holding
// someone else is left alone, that a refusal says why, and the settings and ban list it changes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "GameAddresses.h"
#include "MatchState.h"
#include "MatchTime.h"
#include "NoticeService.h"
#include "QuietFakes.h"
#include "ServicePanelBackend.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"
#if defined(TOVI_STORE_POSTGRES)
#include "PgCluster.h"
#include "PgHistoryStore.h"
#endif

using namespace tovi;

namespace {

struct Counting : PanelListener {
    int players = 0, status = 0;
    std::vector<AdminAction> actions;
    void PlayersChanged() override { ++players; }
    void StatusChanged() override { ++status; }
    void ChatLineAdded(const PanelChatLine&) override {}
    void AdminActionDone(const AdminAction& action) override { actions.push_back(action); }
    // "who action target detail" of each action recorded, from `from` on.
    std::vector<std::string> Done(size_t from = 0) const {
        std::vector<std::string> done;
        for (size_t i = from; i < actions.size(); ++i) {
            const AdminAction& a = actions[i];
            done.push_back(a.Who + " " + ActionName(a.Action) + " " + a.Target + " " + a.Detail);
        }
        return done;
    }
};

// A game server with Alice and Bob seated, the service over it with nobody at the desktop, and
// the panel's view of it.
class ServicePanelBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile ini(folder.filePath("settings.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(
            "[server]\r\nservercode=QX1\r\nupdateurl=http://127.0.0.1:9/u\r\n[settings]\r\nminplayers=0\r\n");
        ini.close();
        backend.AddServer(4711, server);
        server.SetByte(game::kGameState, kStateHosting);
        server.SetByte(game::kMaxPlayers, 16);
        for (auto [slot, name] : {std::pair{1, "Alice"}, {2, "Bob"}})
            server.SetText(image::GameImage::SlotAddress(slot) + game::slot::kName, game::slot::kNameLength,
                           name);
        m_service = std::make_unique<Service>(memory, desktop, scheduler, http, folder.path());
        m_panel = std::make_unique<ServicePanelBackend>(*m_service);
        m_panel->SetListener(&listener);
        m_service->Load();
        desktop.asked.clear();  // what settings.ini lacks
    }
    QByteArray Ini() {
        QFile ini(folder.filePath("settings.ini"));
        return ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
    }

    QTemporaryDir folder;
    image::ImageBackend backend;
    image::GameImage server;
    MemoryClass memory{backend};
    tovi::testing::NoDialogs desktop;
    VirtualScheduler scheduler;
    tovi::testing::NoHttp http;
    Counting listener;
    std::unique_ptr<Service> m_service;
    std::unique_ptr<ServicePanelBackend> m_panel;
};

}  // namespace

namespace {
const PanelActor mia{"mia", Role::Moderator}, ada{"ada", Role::Admin};
}  // namespace

TEST_F(ServicePanelBackendTest, ActsOnlyOnTheNamedPlayerAndSaysWhyNot) {
    Service& service = *m_service;
    ServicePanelBackend& panel = *m_panel;
    // Before the first tick nothing is known, and nothing is sent.
    EXPECT_FALSE(panel.Chat(mia, "hello").Ok);
    service.Timer_Timer();
    service.ReadPlayers(true, 16);
    EXPECT_TRUE(panel.Status().Attached);
    EXPECT_EQ(panel.Status().MaxPlayers, 16);
    ASSERT_EQ(panel.Players().size(), size_t{2});
    EXPECT_EQ(panel.Players()[1].Slot, 2);
    EXPECT_EQ(panel.Players()[1].Name, "Bob");
    EXPECT_GT(listener.players, 0);
    EXPECT_GT(listener.status, 0);
    // On its own embedded record the panel offers this server alone.
    const std::vector<PanelServer> servers = panel.Servers();
    ASSERT_EQ(servers.size(), size_t{1});
    EXPECT_EQ(servers[0].Code, "QX1");
    EXPECT_TRUE(servers[0].Own);

    // Slot 1 holds Alice, not Bob: nobody is punted.
    PanelResult r = panel.Punt(mia, 1, "Bob", "camping");
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Why.find("no longer holds Bob"), std::string::npos) << r.Why;
    // The panel's request is the confirmation: no question reaches the desktop.
    EXPECT_TRUE(panel.Punt(mia, 2, "Bob", "").Ok);
    // What the window asks first is refused with its question until the request confirms it.
    r = panel.ResetGames(ada, false);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Question, MatchTime::kResetGamesQuestion);
    EXPECT_TRUE(panel.ResetGames(ada, true).Ok);
    // Text that would end the console line early is refused before anything is sent.
    EXPECT_FALSE(panel.Talk(mia, 1, "Alice", "hi\rpunt 1").Ok);
    EXPECT_FALSE(panel.Chat(mia, "/punt 1").Ok);
    // The game's chat box takes 123 characters, whichever face types them.
    EXPECT_TRUE(panel.Chat(mia, std::string(kChatLineMaxLength, 'a')).Ok);
    r = panel.Chat(mia, std::string(kChatLineMaxLength + 1, 'a'));
    EXPECT_NE(r.Why.find("at most 123 characters"), std::string::npos) << r.Why;
    // The window's chat box is checked by the same rule, and says why at the desktop.
    EXPECT_FALSE(service.Act({.Kind = ActionKind::Chat, .Actor = "web: eve", .Text = "hi\tthere"}).Ok());
    EXPECT_EQ(desktop.asked.join("|").toStdString(), "The text holds control characters. Nothing was done.");
    desktop.asked.clear();
    EXPECT_FALSE(panel.LiftBan(ada, 42, "appeal").Ok);
    scheduler.Advance(60000);
    EXPECT_TRUE(desktop.asked.isEmpty()) << desktop.asked.join("|").toStdString();
    std::vector<std::string> done;
    for (const AdminAction& a : listener.actions)
        done.push_back(a.Who + " " + ActionName(a.Action) + " " + a.Target + (a.Result == Outcome::Sent ? "" : a.Why));
    // The panel's chat shows what the program said once each, to whom, and never a refused line.
    std::vector<std::string> said;
    for (const PanelChatLine& line : panel.RecentChat(50))
        if (line.Sent) said.push_back(line.Sender + "|" + line.Text.substr(0, 40));
    EXPECT_EQ(said, (std::vector<std::string>{"|Bob has been punted from this server", "|" + std::string(40, 'a')}));
    // Refusals and the unconfirmed reset are kept at once, with why; the others once sent.
    EXPECT_EQ(done, (std::vector<std::string>{"mia chat No game server is running.",
                                              "mia punt BobSlot 1 no longer holds Bob.",
                                              "ada reset games not confirmed",
                                              "mia talk AliceThe text holds control characters.",
                                              "mia chat A line that begins with / is a server command, not chat.",
                                              "mia chat A line takes at most 123 characters.",
                                              "web: eve chat The text holds control characters.",
                                              "ada ban lifted There is no such ban.", "mia chat Bob", "mia punt Bob",
                                              "ada reset games ", "mia chat "}));

    // The status report's end is in the status, failed as it did.
    for (int tick = 0; tick < 30; ++tick) service.Timer_Timer();
    EXPECT_GT(panel.Status().LastReport, 0);
    EXPECT_NE(panel.Status().LastReportOutcome.find("not confirmed"), std::string::npos)
        << panel.Status().LastReportOutcome;

    // While a map loads the server takes no commands: the panel says so.
    server.SetByte(game::kGameState, kStateLoading);
    service.Timer_Timer();
    r = panel.Chat(mia, "hello");
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Why.find("while a map is loading"), std::string::npos) << r.Why;
}

// The Settings tab's groups saved from the panel take effect at once and in settings.ini, checked
// as the window checks them; the ban list changed, exported and imported; each in the record under
// the account's name, the secrets kept out of it.
TEST_F(ServicePanelBackendTest, SavesSettingsAndTheBanListAsTheWindowDoes) {
    Service& service = *m_service;
    ServicePanelBackend& panel = *m_panel;
    EXPECT_EQ(panel.Settings().Status.ServerCode, "QX1");
    std::vector<std::string> logged;
    QObject::connect(&service, &Service::logLine, [&](const std::string& line) { logged.push_back(line); });
    const std::string store = "host=db.example.net dbname=tovi user=tovi password=pg-S3cret";
    PanelSettingsChange change;
    change.Status = PanelStatusSettings{"QX9", "http://127.0.0.1:9/u2", ""};
    change.Other = PanelOtherSettings{true, 30, false, true, 4, 90, store, false, "See you on \xE9vent night"};
    NoticeSettings notices = panel.Settings().Notices;
    notices.webhook = {true, "http://127.0.0.1:9/hook", "hook key", {NoticeEvent::PlayerBanned}};
    change.Notices = notices;
    change.Bans = PanelBanSettings{"7d Cheating\r\n1h Spawn camping\r\n", true, "2 punt, 3 ban 1d", 60};
    PanelResult r = panel.SaveSettings("ada", change);
    ASSERT_TRUE(r.Ok) << r.Why;
    EXPECT_EQ(service.CurrentSettings().ServerCode, "QX9");
    EXPECT_EQ(service.MinPlayersText(), "4");
    EXPECT_EQ(service.ScoringSeconds(), 30);
    EXPECT_EQ(service.Other().HistoryDays, 90);
    EXPECT_EQ(service.Notices().Current().webhook.secret, "hook key");
    EXPECT_EQ(service.BanMenu().Presets().size(), size_t{2});
    EXPECT_EQ(service.BanMenu().Ladder().WindowMinutes, 60);
    EXPECT_EQ(panel.Settings().Other.SharedStore, store);
    EXPECT_FALSE(service.Other().PeriodicChatOn);
    for (const char* saved : {"servercode=QX9", "minplayers=4", "scoringtime=30", "keepdays=90", "periodicchat=0",
                              "periodicchattext=See you on \xE9vent night",
                              "webhook_url=http://127.0.0.1:9/hook", "Spawn camping", "postgres=host=db.example.net"})
        EXPECT_TRUE(Ini().contains(saved)) << saved;

    // A preset the window refuses is refused with its words, and no group is saved; so is a store
    // that cannot be read, without quoting it.
    change = {};
    change.Other = PanelOtherSettings{false, 30, false, false, 7, 0, std::nullopt, std::nullopt, std::nullopt};
    change.Bans = PanelBanSettings{"forever and a day", false, "", 0};
    r = panel.SaveSettings("ada", change);
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Why.find("Ban for"), std::string::npos) << r.Why;
    EXPECT_EQ(service.MinPlayersText(), "4");
    change.Other->SharedStore = "host=db.example.net password=pg two-S3cret";
    change.Bans.reset();
    r = panel.SaveSettings("ada", change);
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Why.find("cannot be read"), std::string::npos) << r.Why;
    EXPECT_EQ(r.Why.find("S3cret"), std::string::npos) << r.Why;
    EXPECT_EQ(service.SavedSharedStore(), store);

    ASSERT_TRUE(panel.Ban(ada, "Mallory", "aimbot", 3600).Ok);
    const int64_t id = service.Bans().Entries().back().Id;
    EXPECT_TRUE(panel.EditBan(ada, id, "wallhack", 0).Ok);
    EXPECT_EQ(service.Bans().Find(id)->Reason, "wallhack");
    EXPECT_EQ(service.Bans().Find(id)->ExpiresAt, 0);
    std::string csv;
    EXPECT_TRUE(panel.ExportBans("ada", csv).Ok);
    EXPECT_NE(csv.find("wallhack"), std::string::npos) << csv;
    const size_t at = csv.find("Mallory");
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(panel.ImportBans("ada", csv.replace(at, 7, "Trudy")).Ok);
    EXPECT_EQ(service.Bans().Entries().back().Name, "Trudy");
    EXPECT_FALSE(panel.ImportBans("ada", "no ban list\r\nat all\r\n").Ok);
    panel.RecordLogin("ada", ActionKind::LoginFailed, "192.0.2.7", "wrong name or password");
    EXPECT_EQ(listener.actions.back().Result, Outcome::Refused);

    const std::vector<std::string> done = listener.Done();
    for (const char* expected :
         {"ada settings saved  status update settings", "ada settings saved  other settings",
          "ada settings saved  notice settings", "ada settings saved  ban settings",
          "ada record store changed  the shared database tovi at db.example.net",
          "ada ban edited Mallory for good", "ada ban list exported  downloaded from the web panel",
          "ada login failed  from 192.0.2.7"})
        EXPECT_NE(std::find(done.begin(), done.end(), expected), done.end()) << expected;
    for (const AdminAction& a : listener.actions) {
        for (const char* secret : {"QX9", "hook key", "S3cret"})
            EXPECT_EQ((a.Detail + a.Reason + a.Why).find(secret), std::string::npos) << ActionName(a.Action);
    }
    EXPECT_TRUE(desktop.asked.isEmpty()) << desktop.asked.join("|").toStdString();
    // The log says when the store is used, and never its password, not even in a driver's error.
    service.Log("password authentication failed (pg-S3cret)");
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& line) {
        return line.find("when the program starts again") != std::string::npos;
    }));
    for (const std::string& line : logged) EXPECT_EQ(line.find("S3cret"), std::string::npos) << line;

    // One that cannot be read, put in settings.ini by hand, is refused at the start without quoting it.
    ASSERT_TRUE(service.SettingsStore().WriteSetting("store", "postgres", "host=db.example.net password=pg two-S3cret"));
    Service next(memory, desktop, scheduler, http, folder.path());
    next.OpenRecord();
    ASSERT_FALSE(desktop.asked.isEmpty());
    EXPECT_TRUE(desktop.asked.join("|").contains("cannot be read")) << desktop.asked.join("|").toStdString();
    EXPECT_FALSE(desktop.asked.join("|").contains("S3cret"));
}

#if defined(TOVI_STORE_POSTGRES)
// On a database shared with another server, the panel offers that server too, with this one
// first, and a search or the chart asked for it reads its rows, not this server's.
TEST_F(ServicePanelBackendTest, ShowsAnotherServerOfASharedStore) {
    tovi::testing::PgCluster cluster;
    ASSERT_TRUE(cluster.Ok()) << cluster.Error();
    const std::string conninfo = cluster.NewDatabase();
    {
        auto other = PgHistoryStore::Open(conninfo, "EU1", {});
        ASSERT_TRUE(other.Store) << other.Error;
        other.Store->MatchStarted({100, "Harbor <b>EU</b>", "Harbor", "hb.bms", "DM"});
        other.Store->ChatRead(101, "Zed", "gg from the other side");
        other.Store->Flush();
    }
    m_panel.reset();
    m_service.reset();
    QFile ini(folder.filePath("settings.ini"));
    ASSERT_TRUE(ini.open(QIODevice::Append));
    ini.write("[store]\r\npostgres=" + QByteArray::fromStdString(conninfo) + "\r\n");
    ini.close();
    m_service = std::make_unique<Service>(memory, desktop, scheduler, http, folder.path());
    m_panel = std::make_unique<ServicePanelBackend>(*m_service);
    m_service->OpenRecord();
    m_service->Load();
    m_service->History().ChatRead(200, "Ann", "gg from here");
    m_service->History().Flush();

    const std::vector<PanelServer> servers = m_panel->Servers();
    ASSERT_EQ(servers.size(), size_t{2});
    EXPECT_EQ(servers[0].Code, "QX1");
    EXPECT_TRUE(servers[0].Own);
    EXPECT_EQ(servers[1].Code, "EU1");
    EXPECT_EQ(servers[1].Name, "Harbor <b>EU</b>");
    EXPECT_FALSE(servers[1].Own);
    HistoryQuery query;
    query.Text = "gg";
    ASSERT_EQ(m_panel->SearchHistory(query).Rows.size(), size_t{1});
    EXPECT_EQ(m_panel->SearchHistory(query).Rows[0].Text, "gg from here");
    query.Server = "EU1";
    const std::vector<HistoryRow> theirs = m_panel->SearchHistory(query).Rows;
    ASSERT_EQ(theirs.size(), size_t{1});
    EXPECT_EQ(theirs[0].Text, "gg from the other side");
    const PlayerActivity chart = m_panel->Activity(0, "EU1");
    ASSERT_EQ(chart.Matches.size(), size_t{1});
    EXPECT_TRUE(chart.Matches[0].UnderWay);
    EXPECT_TRUE(m_panel->Activity(0, "").Matches.empty());

    // A server code saved in the run reaches the stats service at once, but the record keeps this
    // server's rows under the code it was opened with, and so does the panel's own server.
    std::vector<std::string> logged;
    QObject::connect(m_service.get(), &Service::logLine, [&](const std::string& line) { logged.push_back(line); });
    PanelSettingsChange change;
    change.Status = PanelStatusSettings{"QX7", "http://127.0.0.1:9/u", ""};
    ASSERT_TRUE(m_panel->SaveSettings("ada", change).Ok);
    EXPECT_EQ(m_service->CurrentSettings().ServerCode, "QX7");
    m_service->History().ChatRead(300, "Ann", "gg after the change");
    m_service->History().Flush();
    const std::vector<PanelServer> after = m_panel->Servers();
    ASSERT_EQ(after.size(), size_t{2});
    EXPECT_EQ(after[0].Code, "QX1");
    EXPECT_TRUE(after[0].Own);
    query.Server.clear();
    EXPECT_EQ(m_panel->SearchHistory(query).Rows.size(), size_t{2});
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().find("until the program starts again"), std::string::npos) << logged.back();
}
#endif

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
