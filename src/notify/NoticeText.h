#pragma once
// Texts for the sinks: JSON strings, and the game's texts made inert for Discord.
#include <cstdint>
#include <string>
#include <string_view>

namespace tovi {

// `utf8` as a JSON string with its quotes: quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view utf8);

// The game's bytes (Windows-1252) as UTF-8 that Discord shows as plain text: control bytes
// become spaces, markdown characters are escaped, and mentions and links are broken with a
// zero-width space so that neither pings nor previews anything. At most `maxChars` characters.
std::string DiscordPlain(std::string_view bytes1252, size_t maxChars = 1000);

// The game's bytes as UTF-8 with control bytes turned to spaces (line ends kept).
std::string PlainUtf8(std::string_view bytes1252);

// A Unix time in ms as ISO 8601 in UTC, e.g. 2026-12-06T15:54:27.000Z.
std::string IsoTime(int64_t unixMs);

}  // namespace tovi
