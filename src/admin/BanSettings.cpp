#include "BanSettings.h"

#include <charconv>

#include "ProfileFile.h"

namespace tovi {

namespace {

constexpr const char* kSection = "bans";
constexpr size_t kCapacity = 1024;
constexpr int kMaxPresets = 30;

int Whole(const std::string& text, int fallback) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0 ? value : fallback;
}

}  // namespace

BanSettings DefaultBanSettings() {
    BanSettings s;
    s.Presets = {{"Team killing", 86400}, {"Abusive language", 3 * 86400}, {"Cheating", 0}};
    s.Ladder.On = false;
    s.Ladder.WindowMinutes = 0;
    s.Ladder.Steps = {{2, false, 0}, {3, true, 86400}};
    return s;
}

BanSettings LoadBanSettings(const std::filesystem::path& settingsFile, std::vector<std::string>* problems) {
    BanSettings s = DefaultBanSettings();
    const ProfileFile file(settingsFile);
    auto read = [&](const std::string& key) { return file.ReadString(kSection, key, "", kCapacity); };
    const std::string count = read("presets");
    if (!count.empty()) {
        s.Presets.clear();
        const int n = std::min(Whole(count, 0), kMaxPresets);
        for (int i = 1; i <= n; ++i) {
            std::vector<std::string> bad;
            const std::string line = read("preset" + std::to_string(i));
            std::vector<BanPreset> one = ParseBanPresets(line, &bad);
            if (one.size() == 1) {
                s.Presets.push_back(std::move(one[0]));
            } else if (problems) {
                problems->push_back("preset" + std::to_string(i) + " is not a duration and a reason");
            }
        }
    }
    s.Ladder.On = read("warnings") == "1";
    s.Ladder.WindowMinutes = Whole(read("warnwindow"), 0);
    const std::string ladder = read("warnladder");
    if (!ladder.empty()) {
        if (auto steps = ParseWarningSteps(ladder)) {
            s.Ladder.Steps = std::move(*steps);
        } else if (problems) {
            problems->push_back("warnladder is not like \"2 punt, 3 ban 1d\"");
        }
    }
    return s;
}

bool SaveBanSettings(const std::filesystem::path& settingsFile, const BanSettings& settings,
                     std::string& error) {
    std::vector<std::pair<std::string, std::string>> values;
    const size_t n = std::min(settings.Presets.size(), static_cast<size_t>(kMaxPresets));
    values.emplace_back("presets", std::to_string(n));
    for (size_t i = 0; i < n; ++i) {
        const BanPreset& p = settings.Presets[i];
        values.emplace_back("preset" + std::to_string(i + 1), DurationText(p.Seconds) + " " + p.Reason);
    }
    values.emplace_back("warnings", settings.Ladder.On ? "1" : "0");
    values.emplace_back("warnwindow", std::to_string(settings.Ladder.WindowMinutes));
    values.emplace_back("warnladder", WarningStepsText(settings.Ladder.Steps));
    ProfileFile file(settingsFile);
    return file.WriteStrings(kSection, values, error);
}

std::optional<BanSettings> ParseBanSettings(std::string_view presets, bool warningsOn, std::string_view steps,
                                            int windowMinutes, std::string& why) {
    std::vector<std::string> bad;
    BanSettings s;
    s.Presets = ParseBanPresets(presets, &bad);
    const auto parsedSteps = ParseWarningSteps(steps);
    const bool windowSound = windowMinutes >= 0 && windowMinutes <= kMaxWarnWindowMinutes;
    if (!bad.empty() || !parsedSteps || !windowSound) {
        why = "The ban settings were not saved:";
        for (const std::string& line : bad) why += "\r\nBan for, " + line;
        if (!parsedSteps) why += "\r\nWarnings lead to: write for instance 2 punt, 3 ban 1d";
        if (!windowSound)
            why += "\r\nCounted within: 0 to " + std::to_string(kMaxWarnWindowMinutes) + " minutes";
        return std::nullopt;
    }
    s.Ladder = {warningsOn, windowMinutes, *parsedSteps};
    return s;
}

}  // namespace tovi
