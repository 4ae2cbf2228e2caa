#pragma once
// The line said to all players at every third match end. It is kept enciphered (hexadecimal
// pairs, one per character, each XORed with one key byte) so that it is not edited in the binary.
#include <cstdint>
#include <string>
#include <string_view>

namespace tovi {

inline constexpr std::string_view kPeriodicChatCipher =
    "0E323B3431297A3C35287A2A363B2333343D7A35347A2E3233297A293F282C3F287B7A093F3F7A23352F287A292E3B2E33292E3339297A"
    "3B343E7A283B343133343D297A35347A352F287A292E3B2E297A2A3B3D3F2974";
inline constexpr uint8_t kPeriodicChatKey = 0x5A;

// Deciphers hexadecimal pairs; a pair that is not hexadecimal ends the text.
inline std::string DecipherHexText(std::string_view hex, uint8_t key) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) break;
        text.push_back(static_cast<char>((high * 16 + low) ^ key));
    }
    return text;
}

}  // namespace tovi
