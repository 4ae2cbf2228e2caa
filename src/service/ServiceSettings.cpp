// The operator's settings: loaded from settings.ini, put in effect, checked and saved, whichever
// face changes them.
#include <QDateTime>
#include <charconv>

#include "BanSettings.h"
#include "NoticeService.h"
#include "Service.h"
#include "StoreChoice.h"

namespace tovi {

namespace {

std::string TrimmedStore(std::string store) {
    store.erase(0, std::min(store.size(), store.find_first_not_of(' ')));
    store.erase(store.find_last_not_of(' ') + 1);
    return store;
}

// The messages are lines: their ends are the only control bytes they may hold.
bool HasControlBytesBesideLineEnds(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') return true;
    return false;
}

}  // namespace

// The server values with their warnings, the automatic messages, then every other section.
void Service::LoadSettings() {
    m_settingsFile->LoadServerSettings();
    m_autoMessages->LoadAutoMessages();
    OtherSettings other;
    AutoMessageSettings autoMessages;
    m_settingsFile->LoadOtherSettings(other, autoMessages);
    other.HistoryDays = LoadHistoryDays();
    other.SharedStore = m_settingsFile->ReadSettingValue("store", "postgres", "", kMaxConninfoBytes + 1);
    m_other = m_savedOther = other;
    m_savedAutoMessageMinutes = autoMessages.Minutes;
    m_autoMessageChoice.Minutes = autoMessages.Minutes;
    // Switched as the operator's click switches it, unrecorded.
    if (autoMessages.On != m_autoMessageChoice.On) m_autoMessages->Switch(autoMessages.On);
    LoadBanSettings();
    for (SettingsGroup group : {SettingsGroup::Server, SettingsGroup::Other, SettingsGroup::AutoMessages,
                                SettingsGroup::Bans, SettingsGroup::Notices})
        emit settingsChanged(group);
}

int Service::LoadHistoryDays() {
    const std::string stored = m_settingsFile->ReadSettingValue("history", "keepdays", "0", 16);
    int days = 0;
    const auto [end, error] = std::from_chars(stored.data(), stored.data() + stored.size(), days);
    // Anything but a number of days in range keeps everything: forgetting is never a guess.
    if (error != std::errc() || end != stored.data() + stored.size() || !kHistoryDays.Holds(days)) days = 0;
    return days;
}

void Service::LoadBanSettings() {
    std::vector<std::string> problems;
    const BanSettings loaded = tovi::LoadBanSettings(m_settingsFile->Path(), &problems);
    for (const std::string& problem : problems) Log("settings.ini, [bans]: " + problem);
    m_banActions->SetPresets(loaded.Presets);
    m_banActions->SetLadder(loaded.Ladder);
}

BanSettings Service::BanSettingsInUse() const {
    return {m_banActions->Presets(), m_banActions->Ladder()};
}

bool Service::SetOther(const OtherSettings& other) {
    if (!OtherSettingsProblem(other).empty()) return false;
    if (other == m_other) return true;
    m_other = other;
    emit settingsChanged(SettingsGroup::Other);
    return true;
}

void Service::SetAutoMessageMinutes(int minutes) {
    if (!kAutoMessageMinutes.Holds(minutes) || minutes == m_autoMessageChoice.Minutes) return;
    m_autoMessageChoice.Minutes = minutes;
    emit settingsChanged(SettingsGroup::AutoMessages);
}

void Service::SetAutoMesControlsEnabled(bool enabled) {
    if (m_autoMessageChoice.On == enabled) return;
    m_autoMessageChoice.On = enabled;
    emit settingsChanged(SettingsGroup::AutoMessages);
}

void Service::SwitchAutoMessages(bool on, const std::string& actor) {
    if (m_autoMessageChoice.On != on) m_autoMessages->Switch(on);
    m_history.WindowAction(ActionKind::AutoMessagesChanged, on ? "switched on" : "switched off", true, "",
                           actor);
}

bool Service::SaveAutoMessages(const std::string& text, int minutes, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    if (!kAutoMessageMinutes.Holds(minutes) || HasControlBytesBesideLineEnds(text)) {
        const std::string why = "The automatic messages take " + std::to_string(kAutoMessageMinutes.min) + " to " +
                                std::to_string(kAutoMessageMinutes.max) +
                                " minutes and no control characters but line ends.";
        m_history.WindowAction(ActionKind::AutoMessagesChanged, text, false, why, actor);
        m_context->Questions().Warn(why + " Nothing was saved.");
        return false;
    }
    // The file and the interval are what the save writes; the rotation starts over from them.
    const std::string before = m_autoMessageText;
    const int minutesBefore = m_autoMessageChoice.Minutes;
    m_autoMessageText = text;
    m_autoMessageChoice.Minutes = minutes;
    const bool saved = m_autoMessages->Save();
    if (saved) {
        m_savedAutoMessageMinutes = minutes;
    } else {
        m_autoMessageText = before;
        m_autoMessageChoice.Minutes = minutesBefore;
    }
    m_history.WindowAction(ActionKind::AutoMessagesChanged, text, saved,
                           saved ? "" : "the file could not be written", actor);
    emit settingsChanged(SettingsGroup::AutoMessages);
    return saved;
}

bool Service::SaveServerSettings(const Settings& typed, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    if (const std::string problem = ServerSettingsProblem(typed); !problem.empty()) {
        m_history.WindowAction(ActionKind::SettingsSaved, "status update settings", false, problem, actor);
        m_context->Questions().Warn(problem + " Nothing was saved.");
        return false;
    }
    const std::string before = m_settings.ServerCode;
    const bool saved = m_settingsFile->SaveServerSettings(typed);
    // The server code is the server's password at the web service: it stays out of the record.
    m_history.WindowAction(ActionKind::SettingsSaved, "status update settings", saved,
                           saved ? "" : "the file could not be written", actor);
    // The shared record's rows would be split between two codes in one run: it keeps its own.
    if (saved && m_recordServerCode && m_settings.ServerCode != before &&
        m_settings.ServerCode != *m_recordServerCode) {
        const std::string note =
            "The server code was changed: the stats service hears the new one now, but the shared record "
            "keeps this server's rows under the code it was opened with until the program starts again.";
        Log(note);
        m_context->Questions().Inform(note);
    }
    if (saved) emit settingsChanged(SettingsGroup::Server);
    return saved;
}

std::string Service::OtherSettingsRefusal(const OtherSettings& other) const {
    if (std::string problem = OtherSettingsProblem(other); !problem.empty()) return problem;
    // A new store that cannot be used is refused before anything is saved: it would fail only at the
    // next start. One already saved is left to the operator (the start says what is wrong with it).
    const std::string store = TrimmedStore(other.SharedStore);
    return store != m_savedOther.SharedStore ? ConninfoProblem(store, true) : std::string();
}

bool Service::SaveOtherSettings(const OtherSettings& typed, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    if (const std::string problem = OtherSettingsRefusal(typed); !problem.empty()) {
        m_history.WindowAction(ActionKind::SettingsSaved, "other settings", false, problem, actor);
        m_context->Questions().Warn(problem + " Nothing was saved.");
        return false;
    }
    OtherSettings other = typed;
    other.SharedStore = TrimmedStore(typed.SharedStore);
    const bool storeChanged = other.SharedStore != m_savedOther.SharedStore;
    const std::string& store = other.SharedStore;
    bool saved = m_settingsFile->SaveOtherSettings(other);
    saved = saved && m_settingsFile->WriteSetting("history", "keepdays", std::to_string(other.HistoryDays));
    saved = saved && (!storeChanged || m_settingsFile->WriteSetting("store", "postgres", store));
    m_history.WindowAction(ActionKind::SettingsSaved, "other settings", saved,
                           saved ? "" : "the file could not be written", actor);
    // In effect whether or not the file took them, as an edit at the window is.
    m_other = other;
    if (saved) m_savedOther = other;
    emit settingsChanged(SettingsGroup::Other);
    if (saved && storeChanged) {
        // The connection string may carry a password: the record names only the place.
        m_history.WindowAction(ActionKind::RecordStoreChanged, StoreDescription(store), true, "", actor);
        Log(store == m_storeInUse ? "The record stays in " + StoreDescription(store) + "."
                                  : "The record moves to " + StoreDescription(store) +
                                        " when the program starts again; until then it is kept in " +
                                        StoreDescription(m_storeInUse) + ".");
    }
    // A shorter time takes effect now, not at the next hourly look.
    if (saved) m_retention.Schedule(0);
    return saved;
}

bool Service::SetScoreScreenTime(std::optional<int> seconds, const std::string& actor) {
    OtherSettings other = m_savedOther;
    if (seconds) other.ScoringSeconds = *seconds;
    other.ScoringTimeOn = seconds.has_value();
    return SaveOtherSettings(other, actor);
}

bool Service::SaveNoticeSettings(const NoticeSettings& settings, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    const bool saved = m_notices->Save(settings);
    // The addresses and the webhook's key are secrets: they stay out of the record.
    m_history.WindowAction(ActionKind::SettingsSaved, "notice settings", saved,
                           saved ? "" : "the file could not be written", actor);
    if (saved) emit settingsChanged(SettingsGroup::Notices);
    return saved;
}

bool Service::SaveBanSettings(const std::string& presets, bool warningsOn, const std::string& steps,
                              int windowMinutes, const std::string& actor) {
    ActionContext::Acting acting(*m_context, actor);
    std::string why;
    const std::optional<BanSettings> parsed =
        ParseBanSettings(presets, warningsOn, steps, windowMinutes, why);
    if (!parsed) {
        m_context->Questions().Warn(why);
        return false;
    }
    std::string error;
    const bool saved = tovi::SaveBanSettings(m_settingsFile->Path(), *parsed, error);
    RecordBanAction(ActionKind::SettingsSaved, "", "", "ban settings", saved, error, actor);
    if (!saved) {
        m_context->Questions().Warn("The ban settings could not be saved: " + error);
        return false;
    }
    m_banActions->SetPresets(parsed->Presets);
    m_banActions->SetLadder(parsed->Ladder);
    emit settingsChanged(SettingsGroup::Bans);
    m_context->Questions().Inform("Settings saved");
    return true;
}

}  // namespace tovi
