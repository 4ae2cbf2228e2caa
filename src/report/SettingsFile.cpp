#include "SettingsFile.h"

#include <optional>
#include <string_view>

namespace tovi {

namespace {

constexpr size_t kServerCodeCapacity = 30;
constexpr size_t kUrlCapacity = kSettingsUrlBytes + 1;
constexpr size_t kNumberCapacity = 3;
constexpr size_t kFlagCapacity = 2;

std::string TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return std::string(text);
}

// A whole number as stored: an optional sign and decimal digits. The values are two bytes at
// most, so no overflow is possible.
std::optional<int> StoredNumber(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 9) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

// A stored flag is set when its one byte comes after "0": "1" to "9", and letters too.
bool StoredFlag(const std::string& text) {
    return !text.empty() && static_cast<unsigned char>(text.front()) > static_cast<unsigned char>('0');
}

}  // namespace

bool HasControlBytes(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32) return true;
    return false;
}

std::string ServerSettingsProblem(const Settings& settings) {
    // What the next start would cut to fit is refused now rather than saved.
    if (settings.ServerCode.size() > kSettingsServerCodeBytes || settings.UpdateURL.size() > kSettingsUrlBytes ||
        settings.ImportURL.size() > kSettingsUrlBytes)
        return "The server code takes at most " + std::to_string(kSettingsServerCodeBytes) + " characters, each URL at most " +
               std::to_string(kSettingsUrlBytes) + ".";
    if (HasControlBytes(settings.ServerCode) || HasControlBytes(settings.UpdateURL) ||
        HasControlBytes(settings.ImportURL))
        return "A status update setting holds control characters.";
    return {};
}

std::string OtherSettingsProblem(const OtherSettings& settings) {
    if (!kScoringSeconds.Holds(settings.ScoringSeconds) || !kMinPlayers.Holds(settings.MinPlayers) ||
        !kHistoryDays.Holds(settings.HistoryDays))
        return "Scoring time " + std::to_string(kScoringSeconds.min) + " to " + std::to_string(kScoringSeconds.max) +
               " seconds, players " + std::to_string(kMinPlayers.min) + " to " + std::to_string(kMinPlayers.max) +
               ", history " + std::to_string(kHistoryDays.min) + " to " + std::to_string(kHistoryDays.max) +
               " days.";
    if (HasControlBytes(settings.SharedStore))
        return "The shared store's connection string holds control characters.";
    if (settings.PeriodicChatText.size() > kPeriodicChatBytes || HasControlBytes(settings.PeriodicChatText))
        return "The message at every third match end takes at most " + std::to_string(kPeriodicChatBytes) +
               " characters and no control characters.";
    return {};
}

SettingsFile::SettingsFile(const std::filesystem::path& dataDir, Settings& settings, Dialogs& dialogs)
    : m_file(dataDir / "settings.ini"), m_settings(settings), m_dialogs(dialogs) {}

std::string SettingsFile::ReadSettingValue(const std::string& section, const std::string& key,
                                           const std::string& defaultValue, size_t capacity) const {
    return m_file.ReadString(section, key, defaultValue, capacity);
}

std::string SettingsFile::ReadChecked(const std::string& section, const std::string& key,
                                      const std::string& defaultValue, size_t capacity) {
    bool cut = false;
    std::string value = m_file.ReadString(section, key, defaultValue, capacity, &cut);
    if (cut) {
        // A URL cut short would send the stats to a wrong address without a word.
        m_dialogs.Warn("The value of \"" + key + "\" in settings.ini is longer than " +
                       std::to_string(capacity - 1) + " characters; only its first " +
                       std::to_string(capacity - 1) + " are used.");
    }
    return value;
}

void SettingsFile::LoadServerSettings() {
    if (const std::string why = m_file.Unreadable(); !why.empty()) {
        m_dialogs.Warn("settings.ini was not read (" + why + "). The program starts with default settings.");
    }
    // The length test counts the value as stored, blanks included; the URLs are trimmed after it.
    auto read = [this](const char* key, size_t capacity, const char* warning) {
        std::string value = ReadChecked("server", key, "", capacity);
        if (value.size() < 3) m_dialogs.Warn(warning);
        return value;
    };
    m_settings.ServerCode = read("servercode", kServerCodeCapacity, "No ServerCode defined in settings.ini");
    // An address cut short would send the reports and the stats elsewhere: a URL too long for the
    // program is not used at all, and the stats stay queued until it is corrected.
    auto url = [this](const char* key, const char* warning) {
        bool cut = false;
        std::string value = m_file.ReadString("server", key, "", kUrlCapacity, &cut);
        if (cut) {
            m_dialogs.Warn("The value of \"" + std::string(key) + "\" in settings.ini is longer than " +
                           std::to_string(kSettingsUrlBytes) +
                           " characters and is not used; the stats stay queued until it is corrected.");
            return std::string();
        }
        if (value.size() < 3) m_dialogs.Warn(warning);
        return TrimSpaces(value);
    };
    m_settings.UpdateURL = url("updateurl", "No update url defined in settings.ini");
    m_settings.ImportURL = url("importurl", "No import url defined in settings.ini");
}

void SettingsFile::LoadOtherSettings(OtherSettings& other, AutoMessageSettings& autoMessages) {
    // A value that is no number, or one out of range, leaves the value given.
    const std::optional<int> minutes =
        StoredNumber(ReadChecked("settings", "useautomes", "0", kNumberCapacity));
    if (minutes && *minutes > 0) {
        autoMessages.On = true;
        if (kAutoMessageMinutes.Holds(*minutes)) autoMessages.Minutes = *minutes;
    }

    const std::optional<int> minPlayers =
        StoredNumber(ReadChecked("settings", "minplayers", "0", kNumberCapacity));
    if (minPlayers && kMinPlayers.Holds(*minPlayers)) other.MinPlayers = *minPlayers;

    const std::optional<int> scoring =
        StoredNumber(ReadChecked("settings", "scoringtime", "0", kNumberCapacity));
    if (scoring && *scoring > 0) {
        other.ScoringTimeOn = true;
        if (kScoringSeconds.Holds(*scoring)) other.ScoringSeconds = *scoring;
    }

    if (StoredFlag(ReadChecked("settings", "displaynextmapmsg", "0", kFlagCapacity))) other.DisplayNextMap = true;
    if (StoredFlag(ReadChecked("settings", "keeparchive", "0", kFlagCapacity))) other.KeepArchive = true;
    other.PeriodicChatOn = StoredFlag(ReadChecked("settings", "periodicchat", "1", kFlagCapacity));
    // A longer text is cut as the warning says; one with control bytes is not used.
    const std::string text = ReadChecked("settings", "periodicchattext", "", kPeriodicChatBytes + 1);
    if (!HasControlBytes(text)) other.PeriodicChatText = text;
}

bool SettingsFile::SaveServerSettings(const Settings& typed) {
    std::string error;
    if (!m_file.WriteStrings("server",
                             {{"updateurl", typed.UpdateURL},
                              {"importurl", typed.ImportURL},
                              {"servercode", typed.ServerCode}},
                             error)) {
        m_dialogs.Warn("Settings not saved: " + error);
        return false;
    }
    m_settings = typed;
    m_dialogs.Inform("Settings saved");
    return true;
}

bool SettingsFile::SaveOtherSettings(const OtherSettings& other) {
    std::string error;
    if (!m_file.WriteStrings(
            "settings",
            {{"minplayers", std::to_string(other.MinPlayers)},
             {"scoringtime", other.ScoringTimeOn ? std::to_string(other.ScoringSeconds) : "0"},
             {"displaynextmapmsg", other.DisplayNextMap ? "1" : "0"},
             {"keeparchive", other.KeepArchive ? "1" : "0"},
             {"periodicchat", other.PeriodicChatOn ? "1" : "0"},
             {"periodicchattext", other.PeriodicChatText}},
            error)) {
        m_dialogs.Warn("Settings not saved: " + error);
        return false;
    }
    m_dialogs.Inform("Settings saved");
    return true;
}

bool SettingsFile::WriteSetting(const std::string& section, const std::string& key, const std::string& value,
                                std::string& error) {
    return m_file.WriteString(section, key, value, error);
}

bool SettingsFile::WriteSetting(const std::string& section, const std::string& key, const std::string& value) {
    std::string error;
    if (WriteSetting(section, key, value, error)) return true;
    m_dialogs.Warn("The setting \"" + key + "\" was not saved: " + error);
    return false;
}

}  // namespace tovi
