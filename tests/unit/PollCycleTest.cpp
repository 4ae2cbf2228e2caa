#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "Fakes.h"
#include "GameAddresses.h"
#include "MatchState.h"
#include "MemoryClass.h"
#include "PollCycle.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace tovi::testing;
using namespace std::literals;
using image::GameImage;
using image::ImageBackend;

namespace {

class RecordingHooks : public PollHooks {
public:
    std::vector<std::string> calls;
    int Count(std::string_view name) const {
        return static_cast<int>(std::ranges::count_if(
            calls, [&](const std::string& c) { return c.substr(0, c.find(' ')) == name; }));
    }

    void ClearPlayerTable() override { calls.push_back("ClearPlayerTable"); }
    void ReadPlayers(bool dedicated, uint8_t maxPlayers) override {
        calls.push_back("ReadPlayers " + std::to_string(dedicated) + " " + std::to_string(maxPlayers));
    }
    void ReadChat() override { calls.push_back("ReadChat"); }
    void SendNextAutoMessage() override { calls.push_back("AutoMessage"); }
    void SendStatusReport() override { calls.push_back("StatusReport"); }
    void WriteStats(bool upload, std::optional<uint8_t> result, int32_t ticks) override {
        calls.push_back("WriteStats " + std::to_string(upload) + " " + (result ? std::to_string(*result) : "-") +
                        " " + std::to_string(ticks));
    }
    void MatchEnding(int32_t ticks) override { calls.push_back("MatchEnding " + std::to_string(ticks)); }
    void Log(const std::string& message) override { calls.push_back("Log " + message); }
    void SendPeriodicChat() override { calls.push_back("PeriodicChat"); }
};

// Counts the access probes that attaching makes.
struct ProbingBackend : ImageBackend {
    int probes = 0;
    bool CanOpen(int32_t pid) override {
        ++probes;
        return ImageBackend::CanOpen(pid);
    }
};

class PollCycleTest : public ::testing::Test {
protected:
    ProbingBackend backend;
    GameImage server;
    MemoryClass memory{backend};
    ServerStatus status;
    FakePollView view;
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

}  // namespace

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

    EXPECT_EQ(view.panels, (Panels{"", "7 of 16", "PID: 100 ", "Hosting mission", "Timer: 10:00:00"}));
    EXPECT_EQ(view.labels, (std::map<StatusLabel, std::string>{
                               {StatusLabel::lblServerName, "Servername: Alpha Base  (AAS)"},
                               {StatusLabel::lblCurrentMap, "Map: Typhoon Ridge (jotr_x.bms)"},
                               {StatusLabel::lblServerMessage, "Server message: Be nice"},
                               {StatusLabel::lblCountryCode, "Country: D\0"s},
                               {StatusLabel::lblDedicated, "Dedicated: Yes"},
                               {StatusLabel::lblHostplayer, "Hostplayer: Host"},
                               {StatusLabel::lblGameTime, "Timer: 10:00:00"}}));
    EXPECT_EQ(status.Expansion, "JOTR");
    EXPECT_EQ(view.enabled.size(), 7u);
    for (auto [control, on] : view.enabled) EXPECT_TRUE(on);
    EXPECT_EQ(view.tip, "Tovi status: Hosting mission");
    EXPECT_EQ(view.picture, TrayPicture::Hosting);

    // Types 10 to 32 have no name; from 33 on the label keeps what it showed.
    server.SetByte(game::kGameType, 32);
    Put(game::kServerName, "   Beta                     "sv);  // the whole field, no zero byte
    Tick(3);
    EXPECT_EQ(view.labels[StatusLabel::lblServerName], "Servername: Beta ()");
    server.SetByte(game::kGameType, 33);
    Put(game::kServerName, "Gamma\0"sv);
    Tick(3);
    EXPECT_EQ(view.labels[StatusLabel::lblServerName], "Servername: Beta ()");
    EXPECT_EQ(status.ServerName, "Gamma");
}

TEST_F(PollCycleTest, IdleTicksBlankTheDisplayAndAGoneServerKeepsItsLastState) {
    server.SetDWord(game::kMatchClock, 5 * 62);
    Tick(3);
    Tick(5);
    EXPECT_EQ(view.panels, (Panels{"", "", "PID: 100 ", "Not hosting", ""}));
    EXPECT_EQ(view.picture, TrayPicture::Idle);

    Tick(3);
    backend.RemoveProcess(100);
    view.cleared.clear();
    poll.Timer_Timer();
    EXPECT_EQ(view.panels, (Panels{"", "", "", "Game not running", ""}));
    EXPECT_EQ(view.tip, "Tovi status: Game not running");
    for (auto& [label, text] : view.labels) {
        EXPECT_EQ(text, label == StatusLabel::lblGameTime ? "Timer: 0:00:05" : "");
    }
    // A hidden game window must stay reachable.
    for (auto [control, on] : view.enabled) EXPECT_EQ(on, control == ServerControl::cmdShow);
    EXPECT_EQ(view.cleared, (std::map<std::string, int>{{"log", 1}, {"players", 1}, {"input", 1}}));
    EXPECT_EQ(status.PreviousState, 3);

    // Back in scoring: compared with the state it had when it went, that is a match end.
    backend.AddServer(100, server);
    Tick(4);
    EXPECT_EQ(hooks.Count("WriteStats"), 1);
    EXPECT_EQ(view.panels[3], "Scoring mission");
}

TEST_F(PollCycleTest, TicksProbeNoAccessYetARefusedProcessIsLostOnTheSameTick) {
    Tick(3);
    const int probes = backend.probes;
    for (int i = 0; i < 5; ++i) Tick(3);
    EXPECT_EQ(backend.probes, probes);

    backend.Find(100)->accessible = false;
    poll.Timer_Timer();
    EXPECT_EQ(view.panels[3], "Game not running");
    EXPECT_EQ(memory.GetProcID(), -1);
    EXPECT_EQ(memory.LastFailure(), AccessFailure::PermissionDenied);

    backend.Find(100)->accessible = true;
    Tick(3);
    EXPECT_EQ(view.panels[3], "Hosting mission");
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
    const int backendCalls = backend.calls;
    poll.Timer_Timer();  // due during the pause: skipped
    clock.Advance(199);
    EXPECT_EQ(backend.calls, backendCalls);
    // The match as last read is on its way to disk before the pause.
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"MatchEnding 70000"}));

    clock.Advance(1);
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"MatchEnding 70000", "ReadPlayers 1 16",
                                                     "WriteStats 1 9 70000", "ReadChat"}));
    EXPECT_EQ(view.tip, "Tovi status: Scoring mission");
    Tick(4);  // still scoring: no second match end
    EXPECT_EQ(hooks.Count("WriteStats"), 1);

    // The server goes away during the pause: nothing it did not answer is written as read.
    Tick(3);
    hooks.calls.clear();
    server.SetByte(game::kGameState, 4);
    poll.Timer_Timer();
    backend.RemoveProcess(100);
    clock.Advance(200);
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{
                               "MatchEnding 70003", "Log The game server went away at the match end: its final scores and result could "
                               "not be read",
                               "WriteStats 1 - 70003", "ReadChat"}));
}

TEST_F(PollCycleTest, AMatchEndWhosePauseEndsWhileThePollIsStoppedWaitsForItToRunAgain) {
    Tick(3);
    hooks.calls.clear();
    server.SetByte(game::kGameState, 4);
    poll.Timer_Timer();
    clock.Advance(100);
    poll.SetRunning(false);  // a punt starts sending
    clock.Advance(5000);     // and the pause ends meanwhile
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"MatchEnding 1"}));
    hooks.calls.clear();
    EXPECT_TRUE(poll.Busy());
    poll.SetRunning(true);  // started, and stopped at once by the next punt
    poll.SetRunning(false);
    clock.Advance(1000);
    EXPECT_TRUE(hooks.calls.empty());

    poll.SetRunning(true);
    EXPECT_TRUE(hooks.calls.empty());  // on the next turn, not inside the call
    clock.Advance(0);
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"ReadPlayers 1 16", "WriteStats 1 9 1", "ReadChat"}));
    EXPECT_FALSE(poll.Busy());
}

TEST_F(PollCycleTest, MinimumPlayersDecidesAndEveryThirdMatchEndAnnounces) {
    // "8" against the 7 players of the last hosting tick; "5x" is no number and holds nothing back.
    const std::pair<std::string, bool> cases[] = {{"0", true}, {"7", true}, {"8", false}, {"5x", true}};
    int matchEnds = 0;
    for (const auto& [text, written] : cases) {
        SCOPED_TRACE("MinPlayers \"" + text + "\"");
        view.minPlayers = text;
        server.SetByte(game::kPlayerCount, 7);
        Tick(3);
        server.SetByte(game::kPlayerCount, 20);
        hooks.calls.clear();
        Tick(4);
        const bool announced = ++matchEnds == 3;
        EXPECT_EQ(hooks.Count("PeriodicChat"), announced ? 1 : 0);
        EXPECT_EQ(status.MatchEndCount, matchEnds % 3);
        EXPECT_EQ(hooks.Count("ReadPlayers"), 1);
        EXPECT_EQ(hooks.Count("WriteStats"), written ? 1 : 0);
        EXPECT_EQ(hooks.Count("MatchEnding"), written ? 1 : 0);
        // Without the scoring option the game's own scoring time stays.
        EXPECT_EQ(server.DWord(game::kScoringTime), game::kDefaultScoringTime);
    }
}

TEST_F(PollCycleTest, OnlyTheMatchTransitionsResetOrEndAMatch) {
    struct Case {
        uint8_t from, to;
        bool reset, matchEnd;
    };
    const Case cases[] = {{3, 1, true, false},  {4, 1, true, false},  {3, 2, true, false},
                          {3, 4, false, true},  {4, 3, false, false}, {3, 0, false, false},
                          {2, 4, false, false}, {5, 1, false, false}};
    view.scoringOn = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        Tick(c.from);
        hooks.calls.clear();
        view.cleared.clear();
        server.SetDWord(game::kScoringTime, 0);
        const int32_t ticks = status.PollTicks;

        Tick(c.to);
        EXPECT_EQ(hooks.Count("ClearPlayerTable"), c.reset ? 1 : 0);
        EXPECT_EQ(view.cleared["debug"] + view.cleared["chat"], c.reset ? 2 : 0);
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
    EXPECT_EQ(run(119),
              (std::map<std::string, int>{
                  {"ReadPlayers", 24}, {"AutoMessage", 2}, {"ReadChat", 119}, {"StatusReport", 4}}));
    EXPECT_EQ(status.PollTicks, 120);

    view.autoMinutes = 2;
    EXPECT_EQ(run(120)["AutoMessage"], 1);
    view.autoMinutes = 0;
    EXPECT_EQ(run(120)["AutoMessage"], 0);
    view.autoOn = false;
    view.autoMinutes = 1;
    EXPECT_EQ(run(120)["AutoMessage"], 0);
}
