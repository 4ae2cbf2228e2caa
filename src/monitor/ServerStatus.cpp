#include "ServerStatus.h"

#include <cstdlib>

namespace tovi {

const std::array<std::string, kGameTypeCount>& GameTypes() {
    static const std::array<std::string, kGameTypeCount> types{"DM", "TDM", "COOP", "TKOTH", "KOTH",
                                                               "SD", "AD",  "CTF",  "FB",    "AAS"};
    return types;
}

namespace {

void AppendTwoDigits(std::string& text, int64_t value) {
    if (value < 10) text += '0';
    text += std::to_string(value);
}

}  // namespace

std::string FormatDuration(int32_t Seconds, int16_t Style) {
    // The match clock is signed and a bogus game value can make it negative. Splitting a
    // negative count part by part would print every part with its own minus sign, so a negative
    // duration is its magnitude with one "-" in front: -3725 in style 1 is "-1:02:05". The
    // magnitude is 64-bit so that the lowest 32-bit value has one too.
    const int64_t total = std::llabs(static_cast<int64_t>(Seconds));
    const int64_t s = total % 60;
    const int64_t m = (total / 60) % 60;
    const int64_t h = (total / 3600) % 24;
    const int64_t d = (total / 3600) / 24;

    const char* dayUnit;
    const char* hourUnit;
    const char* minuteUnit;
    const char* secondUnit;
    if (Style == 1) {
        dayUnit = d == 1 ? " day, " : " days, ";
        hourUnit = ":";
        minuteUnit = ":";
        secondUnit = "";
    } else if (Style == 2) {
        dayUnit = d == 1 ? " day " : " days, ";
        hourUnit = h == 1 ? "hr " : "hrs ";
        minuteUnit = m == 1 ? "min " : "mins ";
        secondUnit = s == 1 ? "sec " : "secs";
    } else {
        dayUnit = "d ";
        hourUnit = "h ";
        minuteUnit = "m ";
        secondUnit = "s";
    }

    std::string text = Seconds < 0 ? "-" : "";
    if (d != 0) {
        text += std::to_string(d);
        text += dayUnit;
    }
    text += std::to_string(h);
    text += hourUnit;
    AppendTwoDigits(text, m);
    text += minuteUnit;
    AppendTwoDigits(text, s);
    text += secondUnit;
    return text;
}

}  // namespace tovi
