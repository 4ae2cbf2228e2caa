#include "NoticeText.h"

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
    int64_t seconds = unixMs / 1000;
    const int ms = static_cast<int>(unixMs % 1000);
    int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    auto two = [](int64_t v) { return std::string(v < 10 ? "0" : "") + std::to_string(v); };
    const std::string millis = std::to_string(1000 + ms).substr(1);
    std::string year = std::to_string(y);
    while (year.size() < 4) year.insert(0, "0");
    return year + "-" + two(m) + "-" + two(d) + "T" + two(rest / 3600) + ":" + two(rest / 60 % 60) + ":" +
           two(rest % 60) + "." + millis + "Z";
}

}  // namespace tovi
