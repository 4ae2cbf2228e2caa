#pragma once
// The server-wide values of the latest poll tick, and the counters the poll keeps.
#include <array>
#include <cstdint>
#include <string>

namespace tovi {

struct ServerStatus {
    uint8_t State = 0;          // match state of this tick
    uint8_t PreviousState = 0;  // State of the last tick on which the attach succeeded
    bool Dedicated = false;
    uint8_t MaxPlayers = 0;
    uint8_t PlayerCount = 0;
    uint8_t GameType = 0;       // index into GameTypes
    std::string ServerName;
    std::string MapName;
    std::string MapFile;
    std::string ServerMessage;
    std::string HostPlayer;
    std::string CountryCode;    // two bytes as read
    std::string Expansion;
    int32_t ClockSeconds = 0;   // the match clock as last read
    int32_t PollTicks = 0;      // hosting ticks since the last map-cycle reset
    int16_t MatchEndCount = 0;  // match ends since the last periodic announcement, 0 to 2
    std::string LastChatLine;
    std::string PlayerNames;    // CR LF separated, latest player read
    std::string PlayerTeams;    // parallel to PlayerNames
};

// The game's game-type byte as text: "DM" to "AAS" at 0 to 9, empty from 10 to 32.
inline constexpr size_t kGameTypeCount = 33;
const std::array<std::string, kGameTypeCount>& GameTypes();

// Seconds as days, hours, minutes and seconds. Style 1: "1 day, 1:01:01"; style 2:
// "1hr 01min 01sec "; any other: "1h 02m 05s".
std::string FormatDuration(int32_t Seconds, int16_t Style);

}  // namespace tovi
