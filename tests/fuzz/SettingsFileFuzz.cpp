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
    PlainSettingsView view;
    QuietDialogs dialogs;
    SettingsFile file(Folder(), settings, view, dialogs);
    file.LoadSettings();
    TOVI_FUZZ_CHECK(settings.ServerCode.size() <= 29 && settings.UpdateURL.size() <= 99 &&
                    settings.ImportURL.size() <= 99);

    // A save keeps every value in use equal to what the file then holds.
    view.texts[SettingsText::txtServerCode] = settings.ServerCode;
    view.texts[SettingsText::txtUpdateURL] = settings.UpdateURL;
    view.texts[SettingsText::txtImportURL] = settings.ImportURL;
    const Settings before = settings;
    file.SaveServerSettings();
    file.SaveOtherSettings();
    Settings again;
    PlainSettingsView view2;
    SettingsFile(Folder(), again, view2, dialogs).LoadServerSettings();
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
