#pragma once
// The stats file's marks: the separator between a line's fields, the end of a player's name, the
// line end and the two kinds of line. The program writes them; the stats service reads them.
#include <string_view>

namespace tovi::stats_format {

constexpr std::string_view kTag = "|**QX**|";
constexpr std::string_view kNameEnd = "&end& ";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kServerLine = "ServerInfo ";
constexpr std::string_view kPlayerLine = "  PlayerStats ";

}  // namespace tovi::stats_format
