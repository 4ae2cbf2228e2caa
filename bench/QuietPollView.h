#pragma once
// What the poll shows, taken and dropped: the benches measure the poll, not a window.
#include <benchmark/benchmark.h>

#include <string>

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

}  // namespace tovi::bench
