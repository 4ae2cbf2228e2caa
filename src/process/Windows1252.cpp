#include "Windows1252.h"

#include <algorithm>
#include <array>

namespace tovi {

namespace {

// Bytes 0x80 to 0x9F; 0 where the code page leaves a byte unassigned.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

char32_t Windows1252ToUnicode(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) {
        const char32_t c = kHighControls[byte - 0x80u];
        return c != 0 ? c : byte;  // unassigned bytes keep their value, as Windows does
    }
    return byte;
}

char UnicodeToWindows1252(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == c || (kHighControls[i] == 0 && c == 0x80 + i)) return static_cast<char>(0x80 + i);
    }
    return '?';
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const char32_t c = Windows1252ToUnicode(static_cast<unsigned char>(ch));
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf8ToWindows1252(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
            out.push_back('?');
            ++i;
            continue;
        }
        auto c = static_cast<char32_t>(extra == 0 ? lead : lead & (0x3F >> extra));
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80) valid = false;
            c = (c << 6) | (next & 0x3Fu);
        }
        if (!valid) {
            out.push_back('?');
            ++i;
            continue;
        }
        out.push_back(UnicodeToWindows1252(c));
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

char LowerCase1252(char c) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) return static_cast<char>(b + 0x20);
    if (b == 0x8A || b == 0x8C || b == 0x8E) return static_cast<char>(b + 0x10);  // Š Œ Ž
    if (b == 0x9F) return static_cast<char>(0xFF);                                // Ÿ
    return c;
}

std::string LowerCase1252(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = LowerCase1252(c);
    return lower;
}

char BaseLetter1252(char c) {
    // 0xE0 to 0xFF, the small accented letters, each by the plain letter it is made from.
    static constexpr std::string_view kSmall =
        "aaaaaa\xE6"
        "ceeeeiiii\xF0nooooo\xF7\xF8uuuuy\xFEy";
    static_assert(kSmall.size() == 32);
    const auto b = static_cast<unsigned char>(LowerCase1252(c));
    if (b >= 0xE0) return kSmall[b - 0xE0];
    if (b == 0x9A) return 's';  // š
    if (b == 0x9E) return 'z';  // ž
    return static_cast<char>(b);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return LowerCase1252(x) == LowerCase1252(y); });
}

}  // namespace tovi
