// The panel's view of the running program, over the service and an in-process game image on a
// virtual clock: what it reads, that its actions never ask at the desktop, that a slot holding
// someone else is left alone, and that a refusal says why.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include "GameAddresses.h"
#include "MatchState.h"
#include "ServicePanelBackend.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

using namespace tovi;

namespace {

class DesktopDialogs : public Dialogs {
public:
    std::vector<std::string> shown;
    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        shown.push_back(question);
        answer(false);
    }
    void Warn(const std::string& text) override { shown.push_back(text); }
    void Inform(const std::string& text) override { shown.push_back(text); }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        shown.push_back(prompt);
        answer(std::nullopt);
    }
};

class NoHttp : public HttpClient {
public:
    void Post(const HttpRequest&, std::function<void(const HttpResult&)> done) override {
        done({HttpOutcome::Failed, 0, {}, {}, "no network here"});
    }
    void Cancel() override {}
    bool Busy() const override { return false; }
};

struct Counting : PanelListener {
    int players = 0, status = 0;
    std::vector<AdminAction> actions;
    void PlayersChanged() override { ++players; }
    void StatusChanged() override { ++status; }
    void ChatLineAdded(const PanelChatLine&) override {}
    void AdminActionDone(const AdminAction& action) override { actions.push_back(action); }
};

}  // namespace

TEST(ServicePanelBackend, ActsOnlyOnTheNamedPlayerAndSaysWhyNot) {
    QTemporaryDir folder;
    QFile ini(folder.filePath("settings.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[server]\r\nservercode=QX1\r\nupdateurl=http://127.0.0.1:9/u\r\n[settings]\r\nminplayers=0\r\n");
    ini.close();
    image::ImageBackend backend;
    image::GameImage server;
    backend.AddServer(4711, server);
    server.SetByte(game::kGameState, kStateHosting);
    server.SetByte(game::kMaxPlayers, 16);
    for (auto [slot, name] : {std::pair{1, "Alice"}, {2, "Bob"}})
        server.SetText(image::GameImage::SlotAddress(slot) + game::slot::kName, game::slot::kNameLength, name);
    MemoryClass memory(backend);
    DesktopDialogs desktop;
    VirtualScheduler scheduler;
    NoHttp http;
    Service service(memory, desktop, scheduler, http, folder.path());
    ServicePanelBackend panel(service);
    Counting listener;
    panel.SetListener(&listener);
    service.Load();
    desktop.shown.clear();  // what settings.ini lacks

    // Before the first tick nothing is known, and nothing is sent.
    EXPECT_FALSE(panel.Chat("mia", "hello").Ok);
    service.Timer_Timer();
    service.ReadPlayers(true, 16);
    EXPECT_TRUE(panel.Status().Attached);
    EXPECT_EQ(panel.Status().MaxPlayers, 16);
    ASSERT_EQ(panel.Players().size(), size_t{2});
    EXPECT_EQ(panel.Players()[1].Slot, 2);
    EXPECT_EQ(panel.Players()[1].Name, "Bob");
    EXPECT_GT(listener.players, 0);
    EXPECT_GT(listener.status, 0);

    // Slot 1 holds Alice, not Bob: nobody is punted.
    PanelResult r = panel.Punt("mia", 1, "Bob", "camping");
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Why.find("no longer holds Bob"), std::string::npos) << r.Why;
    // The panel's request is the confirmation: no question reaches the desktop.
    EXPECT_TRUE(panel.Punt("mia", 2, "Bob", "").Ok);
    EXPECT_TRUE(panel.ResetGames("ada").Ok);
    // Text that would end the console line early is refused before anything is sent.
    EXPECT_FALSE(panel.Talk("mia", 1, "Alice", "hi\rpunt 1").Ok);
    EXPECT_FALSE(panel.Chat("mia", "/punt 1").Ok);
    EXPECT_FALSE(panel.LiftBan("ada", 42, "appeal").Ok);
    scheduler.Advance(60000);
    EXPECT_TRUE(desktop.shown.empty()) << desktop.shown.front();
    std::vector<std::string> done;
    for (const AdminAction& a : listener.actions) done.push_back(a.Who + " " + a.Action + " " + a.Target);
    EXPECT_EQ(done, (std::vector<std::string>{"mia chat Bob", "mia punt Bob", "ada reset games "}));

    // The status report's end is in the status, failed as it did.
    for (int tick = 0; tick < 30; ++tick) service.Timer_Timer();
    EXPECT_GT(panel.Status().LastReport, 0);
    EXPECT_NE(panel.Status().LastReportOutcome.find("not confirmed"), std::string::npos)
        << panel.Status().LastReportOutcome;

    // While a map loads the server takes no commands: the panel says so.
    server.SetByte(game::kGameState, kStateLoading);
    service.Timer_Timer();
    r = panel.Chat("mia", "hello");
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Why.find("while a map is loading"), std::string::npos) << r.Why;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
