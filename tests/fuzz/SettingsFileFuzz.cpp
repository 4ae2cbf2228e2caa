// settings.ini as anyone may leave it: start-up reads it, a save writes it back, and the next
// start reads what the save wrote.
#include <cstddef>
#include <cstdint>

#include "DurableFile.h"
#include "FuzzSupport.h"
#include "SettingsFile.h"

using namespace tovi;
using namespace tovi::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteFile(Folder() / "settings.ini", data, size);
    Settings settings;
    OtherSettings other;
    AutoMessageSettings autoMessages;
    QuietDialogs dialogs;
    SettingsFile file(Folder(), settings, dialogs);
    file.LoadServerSettings();
    file.LoadOtherSettings(other, autoMessages);
    TOVI_FUZZ_CHECK(settings.ServerCode.size() <= kSettingsServerCodeBytes &&
                    settings.UpdateURL.size() <= kSettingsUrlBytes && settings.ImportURL.size() <= kSettingsUrlBytes);
    TOVI_FUZZ_CHECK(OtherSettingsProblem(other).empty() && kAutoMessageMinutes.Holds(autoMessages.Minutes));

    // A save keeps every value in use equal to what the file then holds.
    const Settings before = settings;
    file.SaveServerSettings(Settings(settings));
    file.SaveOtherSettings(other);
    Settings again;
    OtherSettings otherAgain;
    AutoMessageSettings autoAgain;
    SettingsFile reread(Folder(), again, dialogs);
    reread.LoadServerSettings();
    reread.LoadOtherSettings(otherAgain, autoAgain);
    if (size <= kMaxInputFileBytes / 2) TOVI_FUZZ_CHECK(otherAgain == other);
    // Every read takes blanks and one pair of quotes off the ends, so values with those are
    // compared without them.
    const auto same = [](const std::string& read, const std::string& held) {
        if (held.find_first_of("\"'") != std::string::npos) return true;
        const auto trim = [](const std::string& v) {
            const size_t first = v.find_first_not_of(" \t\r\v\f");
            return first == std::string::npos ? std::string()
                                              : v.substr(first, v.find_last_not_of(" \t\r\v\f") - first + 1);
        };
        return trim(read) == trim(held);
    };
    if (size <= kMaxInputFileBytes / 2 && before.ServerCode == settings.ServerCode) {
        TOVI_FUZZ_CHECK(same(again.ServerCode, settings.ServerCode));
        TOVI_FUZZ_CHECK(same(again.UpdateURL, settings.UpdateURL));
        TOVI_FUZZ_CHECK(same(again.ImportURL, settings.ImportURL));
    }
    return 0;
}
