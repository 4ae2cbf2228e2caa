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

class Service;

class BansStrip : public QWidget {
    Q_OBJECT
public:
    using Clock = BanEnforcer::Clock;
    // The list is the service's, and so are its changes: the tab asks the service to add, edit,
    // lift, import and export in the window's name, as the web panel does in its accounts'.
    BansStrip(Service& service, Clock now, QWidget* parent);

    // The group for the Settings tab.
    QGroupBox* BuildSettingsGroup(QWidget* parent);
    void cmdSaveSettingsBans_Click() { SaveSettings(); }
    // The group's settings as typed, to the service, which checks them and puts them to use.
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

    Service& m_service;
    const BanList& m_list;
    BanActions& m_actions;
    Dialogs& m_dialogs;
    Clock m_now;
    BanSettings m_settingsShown;
    uint64_t m_shownRevision = ~uint64_t{0};
    bool m_columnsFitted = false;
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
