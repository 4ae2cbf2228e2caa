#include "TextEncodings.h"

#include <cstdint>

namespace tovi {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

uint32_t ByteAt(std::string_view text, size_t index) {
    return index < text.size() ? static_cast<unsigned char>(text[index]) : 0U;
}

}  // namespace

std::string Base64Encode(std::string_view text) {
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    for (size_t i = 0; i < text.size(); i += 3) {
        const uint32_t group = ByteAt(text, i) << 16 | ByteAt(text, i + 1) << 8 | ByteAt(text, i + 2);
        for (int shift = 18; shift >= 0; shift -= 6) out += kBase64Alphabet[(group >> shift) & 0x3F];
    }
    // The bytes beyond the end were counted as 0; the pad marks them as absent.
    const size_t rest = text.size() % 3;
    if (rest == 1) out.replace(out.size() - 2, 2, "==");
    if (rest == 2) out.back() = '=';
    return out;
}

int AscOrZero(std::string_view text) { return text.empty() ? 0 : static_cast<unsigned char>(text.front()); }

std::string FormEncode(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const auto b = static_cast<unsigned char>(c);
        const bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
                          b == '.' || b == '_' || b == '~';
        if (keep) {
            out += c;
        } else {
            out += '%';
            out += kHexDigits[b >> 4];
            out += kHexDigits[b & 0x0F];
        }
    }
    return out;
}

}  // namespace tovi
