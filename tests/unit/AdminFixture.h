#pragma once
// What the administration tests share: a hosting game server in memory whose keys and writes are
// recorded with the virtual time they happen at, a log, dialogs the test answers, a console
// channel over them, and a poll view for tests that run the real poll.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "GameAddresses.h"
#include "LogSink.h"
#include "MemoryClass.h"
#include "PollView.h"
#include "Scheduler.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

namespace tovi::admin_test {

using Strings = std::vector<std::string>;

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

class RecordingLog : public LogSink {
public:
    Strings lines;
    void Log(const std::string& message) override { lines.push_back(message); }
    void DebugLog(const std::string&) override {}
};

// Questions and input boxes stay open until the test answers them, oldest first.
class FakeDialogs : public Dialogs {
public:
    Strings asked;  // questions and input-box prompts
    Strings warnings;
    Strings notices;

    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        asked.push_back(question);
        m_asks.push_back(std::move(answer));
    }
    void Warn(const std::string& text) override { warnings.push_back(text); }
    void Inform(const std::string& text) override { notices.push_back(text); }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        asked.push_back(prompt);
        m_inputs.push_back(std::move(answer));
    }
    size_t Open() const { return m_asks.size() + m_inputs.size(); }
    void Answer(bool yes) { Take(m_asks)(yes); }
    void Answer(std::optional<std::string> text) { Take(m_inputs)(std::move(text)); }

private:
    template <typename F>
    static F Take(std::deque<F>& open) {
        if (open.empty()) throw std::logic_error("nothing of that kind is open");
        F answer = std::move(open.front());
        open.pop_front();
        return answer;
    }
    std::deque<std::function<void(bool)>> m_asks;
    std::deque<std::function<void(std::optional<std::string>)>> m_inputs;
};

// The poll's view with automatic messages on every `minutes`; whatever the poll shows is dropped.
class QuietPollView : public PollView {
public:
    explicit QuietPollView(int minutes) : m_minutes(minutes) {}
    bool UseTrackedProcess() override { return false; }
    bool ScoringTimeOn() override { return false; }
    int ScoringSeconds() override { return 0; }
    std::string MinPlayersText() override { return "0"; }
    bool AutoMessagesOn() override { return true; }
    int AutoMessageMinutes() override { return m_minutes; }
    void SetPanel(int, const std::string&) override {}
    void SetLabel(StatusLabel, const std::string&) override {}
    void SetControlEnabled(ServerControl, bool) override {}
    void SetTrayPicture(TrayPicture) override {}
    void UpdateTray(const std::string&) override {}
    void ClearLog() override {}
    void ClearDebugLog() override {}
    void ClearChatInput() override {}
    void ClearPlayerList() override {}
    void ClearPublicChat() override {}

private:
    int m_minutes;
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
    std::string PlayerIn(int slot) const {
        return server.Text(image::GameImage::SlotAddress(slot) + game::slot::kName, game::slot::kNameLength);
    }
};

}  // namespace tovi::admin_test
