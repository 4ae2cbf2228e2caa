// The administration against a running simulator with a window: the console keys travel as X
// events to the simulator's window, the lines are written into its memory, and its transcript
// shows what the console carried out. Time runs on the wall clock through a small scheduler that
// sleeps until its next callback is due, as the program's event loop would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "GameAddresses.h"
#include "LogSink.h"
#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "PlayerListLookup.h"
#include "PlayerReader.h"
#include "PuntBan.h"
#include "Scheduler.h"
#include "SimProcess.h"

using namespace tovi;
using tovi::testing::SimProcess;
using tovi::testing::WaitFor;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

namespace fs = std::filesystem;

const std::string kServerName = "C:\\GAMES\\JO\\JOINTOPS.EXE";

// Runs callbacks when they fall due on the wall clock, and keeps how long the longest one held
// the loop: the longest time no other event could have been handled.
class WallClockScheduler : public Scheduler {
public:
    TimerId Schedule(int delayMs, std::function<void()> callback) override {
        const TimerId id = m_nextId++;
        m_due.emplace(Key{Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0)), id},
                      std::move(callback));
        return id;
    }
    void Cancel(TimerId id) override {
        std::erase_if(m_due, [id](const auto& entry) { return entry.first.id == id; });
    }
    // Runs callbacks until `done` holds; false when `limit` passes first.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > end) return false;
            if (m_due.empty() || m_due.begin()->first.at > Clock::now()) {
                std::this_thread::sleep_until(m_due.empty() ? end : std::min(m_due.begin()->first.at, end));
                continue;
            }
            auto first = m_due.begin();
            auto callback = std::move(first->second);
            m_due.erase(first);
            const auto start = Clock::now();
            callback();
            longest = std::max(longest, Clock::now() - start);
            ++callbacks;
        }
        return true;
    }

    Clock::duration longest{};
    int callbacks = 0;

private:
    struct Key {
        Clock::time_point at;
        TimerId id;
        bool operator<(const Key& other) const { return at != other.at ? at < other.at : id < other.id; }
    };
    TimerId m_nextId = 1;
    std::map<Key, std::function<void()>> m_due;
};

class Lines : public LogSink {
public:
    Strings lines;
    void Log(const std::string& message) override { lines.push_back(message); }
    void DebugLog(const std::string&) override {}
};

// The operator answers Yes to every question and gives the same reason in every input box.
class Operator : public Dialogs {
public:
    Strings asked;
    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        asked.push_back(question);
        answer(true);
    }
    void Warn(const std::string& text) override { asked.push_back(text); }
    void Inform(const std::string& text) override { asked.push_back(text); }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        asked.push_back(prompt);
        answer(std::string("camping"));
    }
};

class ListOfRows : public PlayerListView {
public:
    std::vector<PlayerRow> rows;
    std::optional<int> selected;
    int RowCount() override { return static_cast<int>(rows.size()); }
    std::string Text(int row, PlayerColumn column) override {
        const PlayerRow& r = rows.at(static_cast<size_t>(row));
        return column == PlayerColumn::Slot     ? r.Slot
               : column == PlayerColumn::Player ? r.Player
                                                : std::string();
    }
    std::optional<int> SelectedRow() override { return selected; }
    void ClearRows() override { rows.clear(); }
    void AddRow(const PlayerRow& row) override { rows.push_back(row); }
    void SelectRow(int row) override { selected = row; }
    void Select(const std::string& slot) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].Slot == slot) selected = static_cast<int>(i);
        }
    }
};

class PollSwitch : public PollTimer {
public:
    Strings switches;
    void SetPollEnabled(bool enabled) override { switches.push_back(enabled ? "on" : "off"); }
};

std::string PlayerIn(MemoryClass& memory, int slot) {
    const auto first = static_cast<uint32_t>(memory.ReadDWord(game::kSlotTablePointer));
    const uint32_t address = first + static_cast<uint32_t>(slot) * game::kSlotStride + game::slot::kName;
    return CutAtNull(memory.ReadMemory(address, static_cast<int16_t>(game::slot::kNameLength)));
}

// The transcript's console outcomes, without their times: chat said, commands run, players removed.
Strings Outcomes(const fs::path& transcript) {
    Strings outcomes;
    std::ifstream file(transcript);
    std::string line;
    while (std::getline(file, line)) {
        const std::string action = line.substr(line.find(' ') + 1);
        for (const char* kind : {"chat ", "command ", "punt ", "ban ", "resetgames"}) {
            if (action.rfind(kind, 0) == 0) outcomes.push_back(action);
        }
    }
    return outcomes;
}

}  // namespace

TEST(AdminWithSimulator, ChatCommandsAndPuntsReachTheServerInOrder) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        GTEST_SKIP() << "keys reach the simulator through its X window";

    const fs::path folder =
        fs::temp_directory_path() / ("tovi-admin-" + std::to_string(Clock::now().time_since_epoch().count()));
    fs::create_directories(folder);
    const fs::path transcript = folder / "transcript.txt";
    SimProcess sim(kServerName, {"--state", "3", "--players", "4", "--transcript", transcript.string()});
    ASSERT_GT(sim.pid(), 0);

    auto backend = MakePlatformBackend();
    MemoryClass memory(*backend);
    ASSERT_TRUE(WaitFor([&] {
        return memory.SetProcID(sim.pid()) && memory.ReadAByte(game::kGameState) == 3 &&
               PlayerIn(memory, 4) == "Player4";
    }));

    WallClockScheduler scheduler;
    Lines log;
    Operator dialogs;
    ServerStatus status;
    PlayerTable table;
    ListOfRows list;
    PlayerReader reader(memory, status, table, list, log);
    reader.ReadPlayers(true, 16);
    ASSERT_EQ(list.rows.size(), 4u);
    PlayerListLookup rows(list);
    PollSwitch poll;
    ConsoleChannel channel(memory, scheduler, log);
    PuntBan puntBan(memory, channel, scheduler, log, dialogs, rows, poll);

    for (const char* typed : {"hello from the admin test", "/resetgames"}) {
        const auto command = ChatLineCommand(typed);
        ASSERT_TRUE(command);
        channel.SendServerCommand(command->Command, command->Argument);
    }
    list.Select("2");
    puntBan.mnuPlayersPunt_Click();
    list.Select("3");
    puntBan.mnuPlayersPuntReason_Click();

    const bool finished = scheduler.RunUntil(
        [&] { return !channel.Busy() && !puntBan.PuntTimerOn() && poll.switches.size() == 4; },
        std::chrono::seconds(40));
    ASSERT_TRUE(finished) << "still sending after 40 s";

    const Strings expected{"chat \"Host: hello from the admin test\"",
                           "command \"resetgames\"",
                           "resetgames",
                           "chat \"Host: Player2 has been punted from this server\"",
                           "command \"punt 2\"",
                           "punt 2 \"Player2\"",
                           "chat \"Host: Punting Player3, camping\"",
                           "command \"punt 3\"",
                           "punt 3 \"Player3\""};
    // The last Enter is posted as the last send ends; the simulator takes it a moment later.
    EXPECT_TRUE(WaitFor([&] { return Outcomes(transcript).size() >= expected.size(); }));
    EXPECT_EQ(Outcomes(transcript), expected);
    EXPECT_EQ(PlayerIn(memory, 2), "");
    EXPECT_EQ(PlayerIn(memory, 3), "");
    EXPECT_EQ(PlayerIn(memory, 1), "Player1");
    EXPECT_EQ(PlayerIn(memory, 4), "Player4");
    // The reason is queued when it is given, while the confirmed punt is still being sent.
    EXPECT_EQ(log.lines, (Strings{"Added player in slot 3 to punt-queue", "Punting player in slot 2",
                                  "Punting player in slot 3"}));
    EXPECT_EQ(poll.switches, (Strings{"off", "on", "off", "on"}));

    // No step of a send holds the event loop longer than its own memory and window calls.
    const auto longestUs = std::chrono::duration_cast<std::chrono::microseconds>(scheduler.longest).count();
    std::cout << "[ measure  ] longest event-loop callback during the sends: " << longestUs << " us over "
              << scheduler.callbacks << " callbacks\n";
    ::testing::Test::RecordProperty("LongestCallbackMicroseconds", static_cast<int>(longestUs));

    sim.Stop();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
