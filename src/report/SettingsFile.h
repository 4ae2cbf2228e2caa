#pragma once
// settings.ini: the server values the web reporting uses, held in the Settings record, and the
// operator's other choices, which live in the Settings tab's controls (SettingsView).
#include <cstddef>
#include <filesystem>
#include <string>

#include "Dialogs.h"
#include "ProfileFile.h"

namespace tovi {

// The persisted server values, as in effect while the program runs.
struct Settings {
    std::string ServerCode;  // at most 29 bytes
    std::string UpdateURL;   // where the status report goes, at most 99 bytes
    std::string ImportURL;   // where the stats file goes, at most 99 bytes
};

// The Settings tab's controls that the settings are loaded into and saved from.
enum class SettingsText { txtServerCode, txtUpdateURL, txtImportURL, txtMinPlayers, txtScoringSeconds };
enum class SettingsBox { chkEnableAutoMessages, chkScoringTime, chkDisplayNextMap, chkKeepArchive };
enum class SettingsNumber { slideAutoMes, UpDown, UpDown1 };

class SettingsView {
public:
    virtual ~SettingsView() = default;
    // A text box's text as typed, in Windows-1252 bytes.
    virtual std::string Text(SettingsText box) = 0;
    virtual void SetText(SettingsText box, const std::string& text) = 0;
    // A check box is ticked (a greyed box is not).
    virtual bool Checked(SettingsBox box) = 0;
    // Ticks or clears a box with the effect of the operator's click: ticking
    // chkEnableAutoMessages enables the automatic-message controls.
    virtual void SetChecked(SettingsBox box, bool ticked) = 0;
    // Sets a slider or spinner; the value is always within the control's range (kAutoMessageMinutes,
    // kMinPlayers, kScoringSeconds). A spinner shows its value in its text box.
    virtual void SetValue(SettingsNumber control, int value) = 0;
};

struct ValueRange {
    int min;
    int max;
    bool Holds(int value) const { return value >= min && value <= max; }
};
inline constexpr ValueRange kAutoMessageMinutes{1, 20};  // slideAutoMes
inline constexpr ValueRange kMinPlayers{0, 15};          // UpDown, shown in txtMinPlayers
inline constexpr ValueRange kScoringSeconds{10, 80};     // UpDown1, shown in txtScoringSeconds

class SettingsFile {
public:
    // `dataDir` is the folder that holds settings.ini (the program's folder unless moved).
    SettingsFile(const std::filesystem::path& dataDir, Settings& settings, SettingsView& view, Dialogs& dialogs);

    // One bounded read: the stored value cut to `capacity` - 1 bytes, or `defaultValue` when the
    // file, the section or the key is missing. Its length is the answer's size().
    std::string ReadSettingValue(const std::string& section, const std::string& key, const std::string& defaultValue,
                                 size_t capacity) const;

    // Start-up reads the "server" section (with its three warnings) and, a little later, the
    // "settings" section; LoadSettings does both at once.
    void LoadSettings();
    void LoadServerSettings();
    void LoadOtherSettings();

    // The save buttons of the "Status update settings" and "Other settings" frames; true when saved.
    bool SaveServerSettings();
    bool SaveOtherSettings();

    // One key, for the other parts of the program that keep a value here ("useautomes").
    // False, with `error` saying why (or, without `error`, the operator warned), when the file
    // could not be written.
    bool WriteSetting(const std::string& section, const std::string& key, const std::string& value,
                      std::string& error);
    bool WriteSetting(const std::string& section, const std::string& key, const std::string& value);

    const std::filesystem::path& Path() const { return m_file.Path(); }

private:
    // ReadSettingValue, warning the operator when the stored value was cut to fit.
    std::string ReadChecked(const std::string& section, const std::string& key,
                            const std::string& defaultValue, size_t capacity);

    ProfileFile m_file;
    Settings& m_settings;
    SettingsView& m_view;
    Dialogs& m_dialogs;
};

}  // namespace tovi
