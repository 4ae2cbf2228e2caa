#pragma once
// The Bans tab: the ban list with a search and filters (active, expired, lifted), adding, editing
// and lifting entries, CSV import and export; and the Settings tab's group of preset reasons and
// the warning ladder. Names and reasons are game texts: shown as plain text only.
#include <QWidget>
#include <filesystem>
#include <functional>
#include <string>

#include "BanEnforcer.h"
#include "BanList.h"
#include "BanSettings.h"
#include "Dialogs.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QTreeWidget;

namespace tovi {

class BansStrip : public QWidget {
    Q_OBJECT
public:
    using Clock = BanEnforcer::Clock;
    BansStrip(BanList& list, BanActions& actions, Dialogs& dialogs, Clock now, BanActions::Record record,
              QWidget* parent);

    // Who lifts a ban once the operator gave the reason: the service, which the web panel uses too.
    void SetLifter(std::function<void(int64_t id, const std::string& reason)> lift) { m_lift = std::move(lift); }

    // The group for the Settings tab.
    QGroupBox* BuildSettingsGroup(QWidget* parent);
    // Who saves the group's settings as typed: the service, which checks them and puts them to use.
    using SettingsSaver = std::function<bool(const std::string& presets, bool warningsOn, const std::string& steps,
                                             int windowMinutes)>;
    void SetSettingsSaver(SettingsSaver save) { m_saveSettings = std::move(save); }
    void cmdSaveSettingsBans_Click() { SaveSettings(); }
    bool SaveSettings();
    // The settings in use into the group's controls.
    void ShowSettings(const BanSettings& settings);
    // The group's controls hold edits not saved.
    bool SettingsChanged() const;

    // Lists what the search and filter select, if the list changed or `always`.
    void Refresh(bool always = false);
    // The file's entries into the list (all or none), said to the operator; the list into a file.
    bool ImportFile(const QString& path);
    bool ExportFile(const QString& path);

    void cmdBanAdd_Click();
    void cmdBanEdit_Click();
    void cmdBanLift_Click();

private:
    void OpenEditor(const BanEntry& entry);
    int64_t SelectedId() const;

    BanList& m_list;
    BanActions& m_actions;
    Dialogs& m_dialogs;
    Clock m_now;
    BanActions::Record m_record;
    std::function<void(int64_t id, const std::string& reason)> m_lift;
    SettingsSaver m_saveSettings;
    BanSettings m_settingsShown;
    uint64_t m_shownRevision = ~uint64_t{0};
    size_t m_shownActive = 0;

    QLineEdit* m_txtBanSearch = nullptr;
    QComboBox* m_cboBanFilter = nullptr;
    QTreeWidget* m_lstBans = nullptr;
    QPlainTextEdit* m_txtBanPresets = nullptr;
    QCheckBox* m_chkWarnings = nullptr;
    QLineEdit* m_txtWarnLadder = nullptr;
    QSpinBox* m_spnWarnWindow = nullptr;
};

}  // namespace tovi
