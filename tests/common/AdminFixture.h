#pragma once
// What the administration tests share: a hosting game server in memory whose keys and writes are
// recorded with the virtual time they happen at, a log, dialogs the test answers, and a console
// channel over them; and punt and ban over that, from the player list.
#include <gtest/gtest.h>

#include <string>

#include "ConsoleChannel.h"
#include "Fakes.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlayerListLookup.h"
#include "PuntBan.h"
#include "Scheduler.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

namespace tovi::testing {

// Every keystroke and memory write, as "<ms> key console" or "<ms> write ConsoleLine \"gtalk\\x00\"".
class RecordingBackend : public image::ImageBackend {
public:
    explicit RecordingBackend(const VirtualScheduler& clock) : m_clock(clock) {}
    Strings events;

    bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) override {
        const std::string where = address == game::kConsoleLine ? "ConsoleLine" : std::to_string(address);
        events.push_back(Stamp() + "write " + where + " " +
                         image::Quote(std::string(data.begin(), data.end())));
        return ImageBackend::Write(pid, address, data);
    }
    bool PostKeystroke(int32_t window, GameKeystroke key) override {
        events.push_back(Stamp() + (key == GameKeystroke::Console ? "key console" : "key enter"));
        return ImageBackend::PostKeystroke(window, key);
    }

private:
    std::string Stamp() const { return std::to_string(m_clock.Now()) + " "; }
    const VirtualScheduler& m_clock;
};

class AdminTest : public ::testing::Test {
protected:
    VirtualScheduler clock;
    RecordingBackend backend{clock};
    image::GameImage server;
    MemoryClass memory{backend};
    RecordingLog log;
    FakeDialogs dialogs;
    ConsoleChannel channel{memory, clock, log};
    Strings console;  // what the game's console did: "key console", "line \"gtalk\"", ...

    void SetUp() override {
        backend.AddServer(100, server);
        server.onConsoleAction = [this](const std::string& action) { console.push_back(action); };
        server.SetByte(game::kGameState, 3);
        ASSERT_TRUE(memory.SetWindow(std::string(game::kDefaultCaption)));
    }
    // What the console carried out: chat said, and players punted or banned, and games reset.
    Strings Effects() const {
        Strings effects;
        for (const std::string& action : console) {
            for (const char* kind : {"chat ", "punt ", "ban ", "resetgames"}) {
                if (action.rfind(kind, 0) == 0) effects.push_back(action);
            }
        }
        return effects;
    }
    void PutPlayer(int slot, const std::string& name) {
        server.SetText(image::GameImage::SlotAddress(slot) + game::slot::kName, game::slot::kNameLength,
                       name);
    }
};

// The poll timer as punt and ban switch it: "<ms> off", "<ms> on".
class RecordingPoll : public PollTimer {
public:
    explicit RecordingPoll(const VirtualScheduler& clock) : m_clock(clock) {}
    Strings switches;
    void SetPollEnabled(bool on) override {
        switches.push_back(std::to_string(m_clock.Now()) + (on ? " on" : " off"));
    }

private:
    const VirtualScheduler& m_clock;
};

class PuntBanTestBase : public AdminTest {
protected:
    FakePlayerList list;
    PlayerListLookup rows{list};
    RecordingPoll poll{clock};
    PuntBan puntBan{memory, channel, clock, log, dialogs, rows, poll};
};

}  // namespace tovi::testing
