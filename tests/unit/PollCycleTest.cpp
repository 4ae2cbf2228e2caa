#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>

#include "GameAddresses.h"
#include "MatchState.h"
#include "MemoryClass.h"
#include "PollCycle.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace std::literals;
using image::GameImage;
using image::ImageBackend;

namespace {

constexpr ServerControl kAllControls[] = {ServerControl::txtType,          ServerControl::cmdSendText,
                                          ServerControl::cmdHide,          ServerControl::cmdShow,
                                          ServerControl::cmdMapResetGames, ServerControl::cmdGameTimeInc,
                                          ServerControl::cmdGameTimeDec};

class FakeView : public PollView {
public:
    bool useTracked = false;
    bool scoringOn = false;
    int scoringSeconds = 30;
    std::string minPlayers = "0";
    bool autoOn = false;
    int autoMinutes = 1;

    std::array<std::string, 5> panels;  // 1 to 4
    std::map<StatusLabel, std::string> labels;
    std::map<ServerControl, bool> enabled;
    TrayPicture picture = TrayPicture::Idle;
    std::string tip;
    std::map<std::string, int> cleared;

    bool UseTrackedProcess() override { return useTracked; }
    bool ScoringTimeOn() override { return scoringOn; }
    int ScoringSeconds() override { return scoringSeconds; }
    std::string MinPlayersText() override { return minPlayers; }
    bool AutoMessagesOn() override { return autoOn; }
    int AutoMessageMinutes() override { return autoMinutes; }
    void SetPanel(int panel, const std::string& text) override {
        panels.at(static_cast<size_t>(panel)) = text;
    }
    void SetLabel(StatusLabel label, const std::string& text) override { labels[label] = text; }
    void SetControlEnabled(ServerControl control, bool on) override { enabled[control] = on; }
    void SetTrayPicture(TrayPicture p) override { picture = p; }
    void UpdateTray(const std::string& text) override { tip = text; }
    void ClearLog() override { ++cleared["log"]; }
    void ClearDebugLog() override { ++cleared["debug"]; }
    void ClearChatInput() override { ++cleared["input"]; }
    void ClearPlayerList() override { ++cleared["players"]; }
    void ClearPublicChat() override { ++cleared["chat"]; }
};

class RecordingHooks : public PollHooks {
public:
    std::vector<std::string> calls;
    int Count(std::string_view name) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
            return c.substr(0, c.find(' ')) == name;
        }));
    }

    void ClearPlayerTable() override { calls.push_back("ClearPlayerTable"); }
    void ReadPlayers(bool dedicated, uint8_t maxPlayers) override {
        calls.push_back("ReadPlayers " + std::to_string(dedicated) + " " + std::to_string(maxPlayers));
    }
    void ReadChat() override { calls.push_back("ReadChat"); }
    void SendNextAutoMessage() override { calls.push_back("AutoMessage"); }
    void SendStatusReport() override { calls.push_back("StatusReport"); }
    void WriteStats(bool upload, uint8_t result, int32_t ticks) override {
        calls.push_back("WriteStats " + std::to_string(upload) + " " + std::to_string(result) + " " +
                        std::to_string(ticks));
    }
    void SendPeriodicChat() override { calls.push_back("PeriodicChat"); }
};

class PollCycleTest : public ::testing::Test {
protected:
    ImageBackend backend;
    GameImage server;
    MemoryClass memory{backend};
    ServerStatus status;
    FakeView view;
    RecordingHooks hooks;
    VirtualScheduler clock;
    PollCycle poll{memory, status, view, hooks, clock};

    void SetUp() override {
        backend.AddServer(100, server);
        server.SetByte(game::kDedicated, 1);
        server.SetByte(game::kMaxPlayers, 16);
        server.SetByte(game::kPlayerCount, 7);
        server.SetByte(game::kResultByte, 9);
    }
    // One timer tick with the game in `state`, then the second until the next one.
    void Tick(uint8_t state) {
        server.SetByte(game::kGameState, state);
        poll.Timer_Timer();
        clock.Advance(1000);
    }
    void Put(uint32_t address, std::string_view bytes) {
        std::ranges::copy(bytes, server.Bytes(address, bytes.size()).begin());
    }
};

TEST_F(PollCycleTest, HostingTickReadsAndShowsTheServer) {
    // Blanks are trimmed before the cut, so the one before the zero byte stays.
    Put(game::kServerName, "  Alpha Base \0junk  "sv);
    server.SetByte(game::kGameType, 9);
    server.SetDWord(game::kMatchClock, 36000 * 62 + 61);
    server.SetText(game::kMapName, 35, "Typhoon Ridge");
    server.SetText(game::kMapFile, 30, "JOTR_X.BMS");
    server.SetText(game::kServerMessage, 170, "Be nice");
    Put(game::kHostPlayer, "  Host \0junk"sv);
    Put(game::kCountryCode, "D\0"sv);
    server.SetText(game::kExpansionText, 10, "JOTR");
    Tick(3);

    EXPECT_EQ(view.panels,
              (std::array<std::string, 5>{"", "7 of 16", "PID: 100 ", "Hosting mission", "Timer: 10:00:00"}));
    EXPECT_EQ(poll.Panel3(), "Hosting mission");
    EXPECT_EQ(view.labels, (std::map<StatusLabel, std::string>{
                               {StatusLabel::lblServerName, "Servername: Alpha Base  (AAS)"},
                               {StatusLabel::lblCurrentMap, "Map: Typhoon Ridge (jotr_x.bms)"},
                               {StatusLabel::lblServerMessage, "Server message: Be nice"},
                               {StatusLabel::lblCountryCode, "Country: D\0"s},
                               {StatusLabel::lblDedicated, "Dedicated: Yes"},
                               {StatusLabel::lblHostplayer, "Hostplayer: Host"},
                               {StatusLabel::lblGameTime, "Timer: 10:00:00"}}));
    EXPECT_EQ(status.ServerName, "Alpha Base ");
    EXPECT_EQ(status.HostPlayer, "Host");
    EXPECT_EQ(status.MapFile, "JOTR_X.BMS");
    EXPECT_EQ(status.CountryCode, "D\0"s);
    EXPECT_EQ(status.Expansion, "JOTR");
    EXPECT_TRUE(status.Dedicated);
    EXPECT_EQ(status.MaxPlayers, 16);
    EXPECT_EQ(status.PlayerCount, 7);
    EXPECT_EQ(status.PollTicks, 1);
    EXPECT_EQ(status.PreviousState, 3);
    for (ServerControl c : kAllControls) EXPECT_TRUE(view.enabled[c]);
    EXPECT_EQ(view.tip, "Tovi status: Hosting mission");
    EXPECT_EQ(view.picture, TrayPicture::Hosting);
    EXPECT_EQ(hooks.calls, std::vector<std::string>{"ReadChat"});

    // Types 10 to 32 have no name; from 33 on the label keeps what it showed.
    server.SetByte(game::kGameType, 10);
    server.SetByte(game::kDedicated, 0);
    server.SetDWord(game::kMatchClock, -3725 * 62);
    Put(game::kServerName, "   Beta                     "sv);  // the whole field, no zero byte
    Tick(3);
    EXPECT_EQ(view.labels[StatusLabel::lblServerName], "Servername: Beta ()");
    EXPECT_EQ(view.labels[StatusLabel::lblDedicated], "Dedicated: No");
    EXPECT_EQ(view.panels[4], "Timer: -1:02:05");
    server.SetByte(game::kGameType, 33);
    Put(game::kServerName, "Gamma\0"sv);
    Tick(3);
    EXPECT_EQ(view.labels[StatusLabel::lblServerName], "Servername: Beta ()");
    EXPECT_EQ(status.ServerName, "Gamma");
    EXPECT_EQ(status.GameType, 33);
}

TEST_F(PollCycleTest, IdleTicksBlankTheDisplayAndAGoneServerKeepsItsLastState) {
    server.SetDWord(game::kMatchClock, 5 * 62);
    server.SetText(game::kServerName, 28, "Alpha");
    Tick(3);
    hooks.calls.clear();

    for (uint8_t idle : {uint8_t{0}, uint8_t{5}, uint8_t{255}}) {
        Tick(idle);
        EXPECT_EQ(view.panels, (std::array<std::string, 5>{"", "", "PID: 100 ", "Not hosting", ""}));
        EXPECT_EQ(view.tip, "Tovi status: Not hosting");
        EXPECT_EQ(view.picture, TrayPicture::Idle);
        EXPECT_EQ(status.PreviousState, idle);
    }
    EXPECT_EQ(status.PollTicks, 1);
    EXPECT_TRUE(hooks.calls.empty());

    Tick(3);
    backend.RemoveProcess(100);
    const std::map<std::string, int> clearedBefore = view.cleared;
    poll.Timer_Timer();
    EXPECT_EQ(view.panels, (std::array<std::string, 5>{"", "", "", "Game not running", ""}));
    EXPECT_EQ(view.tip, "Tovi status: Game not running");
    for (auto& [label, text] : view.labels) {
        EXPECT_EQ(text, label == StatusLabel::lblGameTime ? "Timer: 0:00:05" : "");
    }
    // A hidden game window must stay reachable.
    for (ServerControl c : kAllControls) EXPECT_EQ(view.enabled[c], c == ServerControl::cmdShow);
    EXPECT_EQ(view.cleared["log"], clearedBefore.at("log") + 1);
    EXPECT_EQ(view.cleared["players"], clearedBefore.at("players") + 1);
    EXPECT_EQ(view.cleared["input"], clearedBefore.at("input") + 1);
    EXPECT_EQ(view.cleared.count("chat") + view.cleared.count("debug"), 0u);
    EXPECT_EQ(status.PreviousState, 3);
    EXPECT_EQ(status.ServerName, "Alpha");

    // Back in scoring: compared with the state it had when it went, that is a match end.
    backend.AddServer(100, server);
    Tick(4);
    EXPECT_EQ(hooks.Count("WriteStats"), 1);
    EXPECT_EQ(view.panels[3], "Scoring mission");
}

TEST_F(PollCycleTest, TrackedProcessModeFollowsTheLastAttachedId) {
    GameImage other;
    backend.AddServer(200, other);
    other.SetByte(game::kGameState, 3);
    view.useTracked = true;

    poll.Timer_Timer();  // nothing picked yet
    EXPECT_EQ(poll.Panel3(), "Game not running");
    ASSERT_TRUE(memory.SetProcID(200));
    poll.Timer_Timer();
    EXPECT_EQ(view.panels[2], "PID: 200 ");
    EXPECT_EQ(poll.Panel3(), "Hosting mission");

    backend.RemoveProcess(200);
    poll.Timer_Timer();
    EXPECT_EQ(poll.Panel3(), "Game not running");
    EXPECT_EQ(memory.GetProcID(), -1);
    backend.AddServer(200, other);
    poll.Timer_Timer();  // the failed attach left -1 to follow
    EXPECT_EQ(poll.Panel3(), "Game not running");

    view.useTracked = false;
    poll.Timer_Timer();
    EXPECT_EQ(view.panels[2], "PID: 100 ");
}

TEST_F(PollCycleTest, MatchEndPausesThenReadsPlayersAndWritesTheStats) {
    view.scoringOn = true;
    status.PollTicks = 69998;  // the tick count handed on must not be cut to 16 bits
    Tick(3);
    Tick(3);
    hooks.calls.clear();
    server.SetByte(game::kMaxPlayers, 20);  // the players are read with the last hosting tick's values

    server.SetByte(game::kGameState, 4);
    poll.Timer_Timer();
    EXPECT_EQ(server.DWord(game::kScoringTime), 1860);
    EXPECT_TRUE(poll.Busy());
    EXPECT_EQ(poll.Panel3(), "Hosting mission");
    const int backendCalls = backend.calls;
    poll.Timer_Timer();  // due during the pause: skipped
    clock.Advance(199);
    EXPECT_EQ(backend.calls, backendCalls);
    EXPECT_TRUE(hooks.calls.empty());
    EXPECT_EQ(status.PreviousState, 3);

    clock.Advance(1);
    EXPECT_FALSE(poll.Busy());
    EXPECT_EQ(hooks.calls,
              (std::vector<std::string>{"ReadPlayers 1 16", "WriteStats 1 9 70000", "ReadChat"}));
    EXPECT_EQ(poll.Panel3(), "Scoring mission");
    EXPECT_EQ(view.tip, "Tovi status: Scoring mission");
    EXPECT_EQ(status.MaxPlayers, 20);

    hooks.calls.clear();
    Tick(4);
    EXPECT_EQ(hooks.Count("WriteStats"), 0);

    // Without the scoring option the game's own scoring time stays.
    view.scoringOn = false;
    server.SetDWord(game::kScoringTime, game::kDefaultScoringTime);
    Tick(3);
    Tick(4);
    EXPECT_EQ(server.DWord(game::kScoringTime), game::kDefaultScoringTime);
    EXPECT_EQ(hooks.Count("WriteStats"), 1);

    // A poll that goes away during its pause leaves nothing behind to run.
    {
        PollCycle gone{memory, status, view, hooks, clock};
        Tick(3);
        server.SetByte(game::kGameState, 4);
        gone.Timer_Timer();
        EXPECT_EQ(clock.Pending(), 1u);
    }
    EXPECT_EQ(clock.Pending(), 0u);
}

TEST_F(PollCycleTest, MinimumPlayersDecidesAndEveryThirdMatchEndAnnounces) {
    const std::pair<std::string, bool> cases[] = {{"0", true},     {"7", true},  {"8", false}, {" 8 ", false},
                                                  {"+8", false},   {"5x", true}, {"", true},   {"5.5", true},
                                                  {"99999", true}, {"-1", true}};
    int matchEnds = 0;
    for (const auto& [text, written] : cases) {
        SCOPED_TRACE("MinPlayers \"" + text + "\"");
        view.minPlayers = text;
        server.SetByte(game::kPlayerCount, 7);
        Tick(3);
        server.SetByte(game::kPlayerCount, 20);  // counts from the match's last hosting tick
        hooks.calls.clear();
        Tick(4);
        ++matchEnds;
        const bool announced = matchEnds % 3 == 0;
        EXPECT_EQ(hooks.Count("PeriodicChat"), announced ? 1 : 0);
        EXPECT_EQ(status.MatchEndCount, matchEnds % 3);
        ASSERT_GE(hooks.calls.size(), announced ? 2u : 1u);
        EXPECT_EQ(hooks.calls[announced ? 1 : 0], "ReadPlayers 1 16");
        EXPECT_EQ(hooks.Count("WriteStats"), written ? 1 : 0);
    }
}

TEST_F(PollCycleTest, OnlyTheMatchTransitionsResetOrEndAMatch) {
    struct Case {
        uint8_t from, to;
        bool reset, matchEnd;
    };
    const Case cases[] = {{3, 1, true, false},  {4, 1, true, false},  {3, 2, true, false},
                          {4, 2, true, false},  {3, 4, false, true},  {4, 3, false, false},
                          {2, 3, false, false}, {3, 0, false, false}, {1, 2, false, false},
                          {0, 1, false, false}, {0, 4, false, false}, {2, 4, false, false},
                          {5, 1, false, false}, {1, 4, false, false}};
    view.scoringOn = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        Tick(c.from);
        hooks.calls.clear();
        view.cleared.clear();
        server.SetDWord(game::kScoringTime, 0);
        const int32_t ticks = status.PollTicks;

        server.SetByte(game::kGameState, c.to);
        poll.Timer_Timer();
        EXPECT_EQ(poll.Busy(), c.matchEnd);
        clock.Advance(1000);

        EXPECT_EQ(hooks.Count("ClearPlayerTable"), c.reset ? 1 : 0);
        EXPECT_EQ(view.cleared["debug"], c.reset ? 1 : 0);
        EXPECT_EQ(view.cleared["chat"], c.reset ? 1 : 0);
        EXPECT_EQ(view.cleared["players"], c.reset || !IsHostingState(c.to) ? 1 : 0);
        EXPECT_EQ(hooks.Count("WriteStats"), c.matchEnd ? 1 : 0);
        EXPECT_EQ(server.DWord(game::kScoringTime), c.matchEnd ? 1860 : 0);
        const int32_t hosting = IsHostingState(c.to) ? 1 : 0;
        EXPECT_EQ(status.PollTicks, c.reset ? hosting : ticks + hosting);
        EXPECT_EQ(status.PreviousState, c.to);
    }
}

TEST_F(PollCycleTest, WorkIsHandedOnAtItsHostingTicksCountedFromTheReset) {
    auto run = [&](int ticks) {
        std::map<std::string, int> tally;
        for (int i = 0; i < ticks; ++i) {
            hooks.calls.clear();
            Tick(3);
            for (const auto& c : hooks.calls) ++tally[c.substr(0, c.find(' '))];
            if (status.PollTicks == 60) {
                EXPECT_EQ(hooks.calls, (std::vector<std::string>{"ReadPlayers 1 16", "AutoMessage",
                                                                 "ReadChat", "StatusReport"}));
            }
        }
        return tally;
    };
    Tick(3);
    Tick(3);
    Tick(1);  // a new map: PollTicks starts again, at 1 for this hosting tick
    Tick(0);  // idle ticks do not count
    view.autoOn = true;
    view.autoMinutes = 1;
    EXPECT_EQ(run(119),
              (std::map<std::string, int>{
                  {"ReadPlayers", 24}, {"AutoMessage", 2}, {"ReadChat", 119}, {"StatusReport", 4}}));
    EXPECT_EQ(status.PollTicks, 120);

    view.autoMinutes = 2;
    EXPECT_EQ(run(120)["AutoMessage"], 1);
    for (int minutes : {0, -3}) {
        view.autoMinutes = minutes;
        EXPECT_EQ(run(120)["AutoMessage"], 0);
    }
    view.autoOn = false;
    view.autoMinutes = 1;
    EXPECT_EQ(run(120)["AutoMessage"], 0);
}

}  // namespace
