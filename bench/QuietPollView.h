#pragma once
// What the poll shows, taken and dropped: the benches measure the poll, not a window. The player
// list keeps its rows as a window's list would, so that rebuilding it and looking names up in it
// cost something like what they cost in the program.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <vector>

#include "LogSink.h"
#include "PlayerReader.h"
#include "PollView.h"

namespace tovi::bench {

class QuietPollView : public PollView {
public:
    // `tracked`: the server picked from the list is followed by its id, as the program does with
    // the box ticked, so that no other simulator on the machine with the default caption is taken.
    explicit QuietPollView(bool tracked = true) : m_tracked(tracked) {}
    bool UseTrackedProcess() override { return m_tracked; }
    bool ScoringTimeOn() override { return false; }
    int ScoringSeconds() override { return 0; }
    std::string MinPlayersText() override { return "0"; }
    bool AutoMessagesOn() override { return false; }
    int AutoMessageMinutes() override { return 0; }
    void SetPanel(int, const std::string& text) override { benchmark::DoNotOptimize(text.data()); }
    void SetLabel(StatusLabel, const std::string& text) override { benchmark::DoNotOptimize(text.data()); }
    void SetControlEnabled(ServerControl, bool) override {}
    void SetTrayPicture(TrayPicture) override {}
    void UpdateTray(const std::string& tip) override { benchmark::DoNotOptimize(tip.data()); }
    void ClearLog() override {}
    void ClearDebugLog() override {}
    void ClearChatInput() override {}
    void ClearPlayerList() override {}
    void ClearPublicChat() override {}

private:
    bool m_tracked;
};

class QuietPlayerList : public PlayerListView {
public:
    std::vector<PlayerRow> rows;
    std::optional<int> selected;
    int RowCount() override { return static_cast<int>(rows.size()); }
    std::string Text(int row, PlayerColumn column) override {
        const PlayerRow& r = rows[static_cast<size_t>(row)];
        return column == PlayerColumn::Slot ? r.Slot : r.Player;
    }
    int SlotPosition(int row) override { return rows[static_cast<size_t>(row)].Position; }
    std::optional<int> SelectedRow() override { return selected; }
    void ClearRows() override { rows.clear(); }
    void AddRow(const PlayerRow& row) override { rows.push_back(row); }
    void SelectRow(int row) override { benchmark::DoNotOptimize(row); }
};

class QuietLog : public LogSink {
public:
    void Log(const std::string& message) override { benchmark::DoNotOptimize(message.data()); }
    void DebugLog(const std::string& message) override { benchmark::DoNotOptimize(message.data()); }
};

}  // namespace tovi::bench
