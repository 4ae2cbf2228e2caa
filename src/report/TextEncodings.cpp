#include "TextEncodings.h"

#include <cstdint>
#include <string>

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

bool Base64Decode(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        uint32_t group = 0;
        int pads = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            uint32_t value = 0;
            if (c == '=' && last && k >= 2) {
                ++pads;
            } else {
                // A pad followed by anything but a pad is no Base64.
                if (pads > 0) return false;
                const char* at = std::char_traits<char>::find(kBase64Alphabet, 64, c);
                if (at == nullptr) return false;
                value = static_cast<uint32_t>(at - kBase64Alphabet);
            }
            group = group << 6 | value;
        }
        // The bits under the pad must be zero, as the encoder leaves them.
        if ((pads == 1 && (group & 0xFF) != 0) || (pads == 2 && (group & 0xFFFF) != 0)) return false;
        bytes += static_cast<char>(group >> 16 & 0xFF);
        if (pads < 2) bytes += static_cast<char>(group >> 8 & 0xFF);
        if (pads < 1) bytes += static_cast<char>(group & 0xFF);
    }
    return true;
}

bool FormDecode(std::string_view value, std::string& bytes) {
    bytes.clear();
    bytes.reserve(value.size());
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            bytes += value[i];
            continue;
        }
        if (i + 2 >= value.size()) return false;
        const int high = hex(value[i + 1]), low = hex(value[i + 2]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return true;
}

}  // namespace tovi
