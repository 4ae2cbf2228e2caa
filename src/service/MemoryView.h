#pragma once
// The service's state of the operator's choices when no window holds it (headless): the values
// settings.ini loads, kept as the window's controls would keep them.
#include <functional>
#include <map>
#include <string>

#include "ServiceView.h"

namespace tovi {

class MemoryView : public ServiceView {
public:
    // `autoMessagesToggled` runs when the automatic messages' box changes, as the window's box does.
    explicit MemoryView(std::function<void(bool)> autoMessagesToggled)
        : m_toggled(std::move(autoMessagesToggled)) {}

    // PollView
    bool UseTrackedProcess() override { return false; }
    bool ScoringTimeOn() override { return Checked(SettingsBox::chkScoringTime); }
    int ScoringSeconds() override { return m_scoringSeconds; }
    std::string MinPlayersText() override { return std::to_string(m_minPlayers); }
    bool AutoMessagesOn() override { return m_autoMesEnabled; }
    int AutoMessageMinutes() override { return m_autoMesMinutes; }
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

    // SettingsView
    std::string Text(SettingsText box) override;
    void SetText(SettingsText box, const std::string& text) override;
    bool Checked(SettingsBox box) override { return m_checked[box]; }
    void SetChecked(SettingsBox box, bool ticked) override;
    void SetValue(SettingsNumber control, int value) override;

    // AutoMessageView
    std::string AutoMesText() override { return m_autoMesText; }
    void SetAutoMesText(const std::string& text) override { m_autoMesText = text; }
    void SetAutoMesControlsEnabled(bool enabled) override { m_autoMesEnabled = enabled; }
    int AutoMesInterval() override { return m_autoMesMinutes; }

    int HistoryDays() override { return m_historyDays; }
    void SetHistoryDays(int days) override { m_historyDays = days; }
    std::string SharedStore() override { return m_sharedStore; }
    void SetSharedStore(const std::string& conninfo) override { m_sharedStore = conninfo; }

private:
    std::function<void(bool)> m_toggled;
    std::map<SettingsText, std::string> m_texts;
    std::map<SettingsBox, bool> m_checked;
    // The window's controls start at these values.
    int m_minPlayers = 0;
    int m_scoringSeconds = 25;
    int m_autoMesMinutes = 1;
    bool m_autoMesEnabled = false;
    std::string m_autoMesText;
    int m_historyDays = 0;
    std::string m_sharedStore;
};

}  // namespace tovi
