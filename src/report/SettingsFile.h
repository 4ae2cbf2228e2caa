#pragma once
// settings.ini: the server values the web reporting uses, held in the Settings record, and the
// operator's other choices (OtherSettings, AutoMessageSettings).
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "Dialogs.h"
#include "ProfileFile.h"

namespace tovi {

// The persisted server values, as in effect while the program runs.
struct Settings {
    std::string ServerCode;  // at most 29 bytes
    std::string UpdateURL;   // where the status report goes, at most 99 bytes
    std::string ImportURL;   // where the stats file goes, at most 99 bytes
    bool operator==(const Settings&) const = default;
};

struct ValueRange {
    int min;
    int max;
    bool Holds(int value) const { return value >= min && value <= max; }
};
inline constexpr ValueRange kAutoMessageMinutes{1, 20};
inline constexpr ValueRange kMinPlayers{0, 15};
inline constexpr ValueRange kScoringSeconds{10, 80};
inline constexpr ValueRange kHistoryDays{0, 36500};
// What settings.ini holds without cutting: the server code 29 bytes, each URL 99.
inline constexpr size_t kSettingsServerCodeBytes = 29;
inline constexpr size_t kSettingsUrlBytes = 2000;
// A line said to all players: what one console line holds.
inline constexpr size_t kPeriodicChatBytes = 123;

// The operator's other choices: in effect as soon as they change, kept once saved.
struct OtherSettings {
    int MinPlayers = 0;  // statistics are written only with at least this many players; 0: always
    bool ScoringTimeOn = false;
    int ScoringSeconds = 25;  // the score screen's time, when ScoringTimeOn
    bool DisplayNextMap = false;
    bool KeepArchive = false;
    int HistoryDays = 0;      // days the record keeps; 0: everything
    std::string SharedStore;  // the shared database's connection string (a secret); empty: the local file
    // The chat line said to all players at every third match end; empty: the program's own.
    bool PeriodicChatOn = true;
    std::string PeriodicChatText;
    bool operator==(const OtherSettings&) const = default;
};

// Whether automatic messages go out, and how often. Switching on is in effect at once.
struct AutoMessageSettings {
    bool On = false;
    int Minutes = 1;
    bool operator==(const AutoMessageSettings&) const = default;
};

// Why values cannot be kept as they are; empty when they can. One rule for every face.
std::string ServerSettingsProblem(const Settings& settings);
std::string OtherSettingsProblem(const OtherSettings& settings);
// Text with bytes below 32 never reaches the console, a file line or a URL.
bool HasControlBytes(std::string_view text);

class SettingsFile {
public:
    // `dataDir` is the folder that holds settings.ini (the program's folder unless moved).
    SettingsFile(const std::filesystem::path& dataDir, Settings& settings, Dialogs& dialogs);

    // One bounded read: the stored value cut to `capacity` - 1 bytes, or `defaultValue` when the
    // file, the section or the key is missing. Its length is the answer's size().
    std::string ReadSettingValue(const std::string& section, const std::string& key, const std::string& defaultValue,
                                 size_t capacity) const;

    // Start-up reads the "server" section (with its three warnings) and, a little later, the
    // "settings" section. A value that is not sound leaves the one given as it was.
    void LoadServerSettings();
    void LoadOtherSettings(OtherSettings& other, AutoMessageSettings& autoMessages);

    // The server values as typed (kept exactly so; the next start trims the URLs), and the other
    // settings; true when saved. The server values in use change only when the file took them.
    bool SaveServerSettings(const Settings& typed);
    bool SaveOtherSettings(const OtherSettings& other);

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
    Dialogs& m_dialogs;
};

}  // namespace tovi
