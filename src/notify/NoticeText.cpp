#include "NoticeText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Windows1252.h"

namespace tovi {

namespace {

constexpr std::string_view kZeroWidthSpace = "\xE2\x80\x8B";

bool StartsWith(std::string_view text, size_t at, std::string_view what) {
    return text.substr(at, what.size()) == what;
}

}  // namespace

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += kHex[u >> 4];
                    out += kHex[u & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string PlainUtf8(std::string_view bytes1252) {
    std::string cleaned(bytes1252);
    for (char& c : cleaned) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n') || u == 0x7F) c = ' ';
    }
    return Windows1252ToUtf8(cleaned);
}

std::string DiscordPlain(std::string_view bytes1252, size_t maxChars) {
    const std::string text = PlainUtf8(bytes1252);
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool lead = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (lead && ++chars > maxChars) {
            out += "\xE2\x80\xA6";  // an ellipsis
            break;
        }
        switch (c) {
            // Markdown, quotes, headings, lists, spoilers, masked links, and the <@id> <#id> <t:..>
            // forms: a backslash shows each as itself.
            case '\\':
            case '*':
            case '_':
            case '~':
            case '`':
            case '|':
            case '>':
            case '<':
            case '[':
            case ']':
            case '(':
            case ')':
            case '#':
            case '-':
            case '+':
            case '.':
            case '!':
            case ':':
                // "://" is broken below instead, so that links stay readable text.
                if (c == ':' && StartsWith(text, i, "://")) {
                    out += ':';
                    out += kZeroWidthSpace;
                    break;
                }
                out += '\\';
                out += c;
                break;
            case '@':
                // @everyone, @here and <@id>: no mention survives a zero-width space after the sign.
                out += '@';
                out += kZeroWidthSpace;
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string IsoTime(int64_t unixMs) {
    using namespace std::chrono;
    // Notices carry the clock's time; a time outside four-digit years (a clock gone wild) is
    // shown as the nearest one that is not.
    const int64_t ms = std::clamp<int64_t>(unixMs, 0, 253402300799999);
    const sys_time<milliseconds> time{milliseconds{ms}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{time - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

}  // namespace tovi
