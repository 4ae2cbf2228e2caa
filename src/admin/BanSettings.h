#pragma once
// The ban list's settings in settings.ini, section "bans": the preset reasons with their
// durations (presets=N, preset1 to presetN, each "7d Cheating"), and the warning ladder
// (warnings=0|1, off unless switched on; warnwindow=minutes, 0 for the current match;
// warnladder="2 punt, 3 ban 1d").
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BanList.h"

namespace tovi {

struct BanSettings {
    std::vector<BanPreset> Presets;
    WarningLadder Ladder;
};

// What a settings file without a "bans" section gives.
BanSettings DefaultBanSettings();
// Values that are not sound are passed over, each said in `problems`.
BanSettings LoadBanSettings(const std::filesystem::path& settingsFile,
                            std::vector<std::string>* problems = nullptr);
bool SaveBanSettings(const std::filesystem::path& settingsFile, const BanSettings& settings,
                     std::string& error);

// The longest window the warnings are counted in, in minutes (a week).
inline constexpr int kMaxWarnWindowMinutes = 7 * 24 * 60;
// The settings as typed into the window's boxes; nothing, with every fault said in `why`, when
// one of them is not sound.
std::optional<BanSettings> ParseBanSettings(std::string_view presets, bool warningsOn, std::string_view steps,
                                            int windowMinutes, std::string& why);

}  // namespace tovi
