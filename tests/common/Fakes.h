#pragma once
// Stand-ins that tests of every layer share: a private folder for real files, a log, dialogs the
// test answers, the player list lstPlayers, the chat list, and the main window as the poll sees it.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ChatReader.h"
#include "Dialogs.h"
#include "LogSink.h"
#include "PlayerReader.h"
#include "PollView.h"

namespace tovi::testing {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = fs::temp_directory_path() /
                 ("tovi-test-" + std::to_string(stamp) + "-" + std::to_string(std::random_device()()));
        fs::create_directories(m_path);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& Path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

inline std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

class RecordingLog : public LogSink {
public:
    Strings lines;
    Strings debugLines;
    void Log(const std::string& message) override { lines.push_back(message); }
    void DebugLog(const std::string& message) override { debugLines.push_back(message); }
};

// Questions and input boxes stay open until the test answers them, oldest first.
class FakeDialogs : public Dialogs {
public:
    Strings asked;  // questions and input-box prompts
    std::vector<size_t> limits;  // of the input boxes that had one
    Strings warnings;
    Strings notices;
    std::deque<std::function<void(std::optional<std::string>)>> open;

    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        asked.push_back(question);
        open.push_back([answer](std::optional<std::string> yes) { answer(yes.has_value()); });
    }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        asked.push_back(prompt);
        open.push_back(std::move(answer));
    }
    void LimitedInputBox(const std::string& prompt, const std::string& title, size_t maxLength,
                         std::function<void(std::optional<std::string>)> answer) override {
        limits.push_back(maxLength);
        InputBox(prompt, title, std::move(answer));
    }
    void Warn(const std::string& text) override { warnings.push_back(text); }
    void Inform(const std::string& text) override { notices.push_back(text); }
    // A text for an input box, any text for Yes; nothing for No or Cancel.
    void Answer(std::optional<std::string> text) {
        auto answer = std::move(open.at(0));
        open.pop_front();
        answer(std::move(text));
    }
};

// lstPlayers as a list view keeps it: emptying it loses the selection.
class FakePlayerList : public PlayerListView {
public:
    std::vector<PlayerRow> rows;
    std::optional<int> selected;

    int RowCount() override { return static_cast<int>(rows.size()); }
    std::string Text(int row, PlayerColumn column) override {
        static constexpr std::string PlayerRow::*kCells[] = {
            &PlayerRow::Slot,  &PlayerRow::Player, &PlayerRow::Ping,     &PlayerRow::Team,
            &PlayerRow::Kills, &PlayerRow::Deaths, &PlayerRow::ExpPoints};
        return rows.at(static_cast<size_t>(row)).*kCells[static_cast<int>(column)];
    }
    int SlotPosition(int row) override { return rows.at(static_cast<size_t>(row)).Position; }
    std::optional<int> SelectedRow() override { return selected; }
    void ClearRows() override {
        rows.clear();
        selected.reset();
    }
    void AddRow(const PlayerRow& row) override { rows.push_back(row); }
    void SelectRow(int row) override { selected = row; }

    Strings Players() const {
        Strings names;
        for (const PlayerRow& r : rows) names.push_back(r.Player);
        return names;
    }
};

// The public chat list: the newest line on top.
class FakeChatList : public ChatView {
public:
    std::deque<std::string> rows;  // "Player|Text|Time", the top row first
    void InsertRowAtTop(const std::string& Player, const std::string& Text,
                        const std::string& Time) override {
        rows.push_front(Player + "|" + Text + "|" + Time);
    }
    void RemoveBottomRow() override { rows.pop_back(); }
    int RowCount() override { return static_cast<int>(rows.size()); }
    void Clear() override { rows.clear(); }
};

// A player's record in short: present or not, then this stint's value + the earlier stints' for
// kills, deaths and time.
inline std::string Stint(const PlayerTable& table, const std::string& name) {
    const PlayerClass* r = table.Find(name);
    if (r == nullptr) return "no record";
    const auto pair = [](int32_t p, int32_t b) { return std::to_string(p) + "+" + std::to_string(b); };
    return (r->P_IsPlaying ? "in" : "out") + std::string(" kills ") + pair(r->P_Kills, r->B_Kills) +
           " deaths " + pair(r->P_Deaths, r->B_Deaths) + " time " + pair(r->P_TimePlayed, r->B_TimePlayed);
}

using Panels = std::array<std::string, 5>;  // 1 to 4

// The main window as the poll sees it: the options the operator set, and what it showed last.
class FakePollView : public PollView {
public:
    bool useTracked = false;
    bool scoringOn = false;
    std::string minPlayers = "0";
    bool autoOn = false;
    int autoMinutes = 1;

    Panels panels;
    std::map<StatusLabel, std::string> labels;
    std::map<ServerControl, bool> enabled;
    TrayPicture picture = TrayPicture::Idle;
    std::string tip;
    std::map<std::string, int> cleared;

    bool UseTrackedProcess() override { return useTracked; }
    bool ScoringTimeOn() override { return scoringOn; }
    int ScoringSeconds() override { return 30; }
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

}  // namespace tovi::testing
